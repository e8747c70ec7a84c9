// zorv-pack: turns an application folder into a self-extracting installer for Windows or Linux.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "code_pages.h"
#include "compress.h"
#include "star_names.h"
#include "zorv_pack.h"

namespace {

const char kUsage[] =
    "usage: zorv-pack APP_DIR -o INSTALLER [--arch i686|x86_64|linux] [--codepage N] [--settings FILE]\n"
    "                 [--icon FILE.ico] [--kit DIR] [--sign-cert CERT.pem --sign-key KEY.pem | --sign-pkcs12 FILE]\n"
    "                 [--sign-password-file FILE]\n"
    "       zorv-pack --help | --version\n"
    "Packs APP_DIR (which holds zorv.exe at its top level) into a self-extracting installer.\n"
    "  -o INSTALLER               the installer to write; replaced only by a complete one\n"
    "  --arch ARCH                i686 (default, 32-bit Windows), x86_64 (64-bit Windows) or linux\n"
    "  --codepage N               the ANSI code page of the Windows the installer will run on, in which\n"
    "                             it reads the names (default 1252)\n"
    "  --settings FILE            embeds FILE as the settings block\n"
    "  --icon FILE.ico            the program icon of a Windows installer (one image)\n"
    "  --kit DIR                  the installer kits are DIR/ARCH (default: ZORV_KIT_DIR, else\n"
    "                             ../share/zorvana beside this program)\n"
    "  --sign-cert CERT.pem       signs a Windows installer with this certificate (and its chain)\n"
    "  --sign-key KEY.pem         and its private key, using osslsigncode; the signature is verified\n"
    "  --sign-pkcs12 FILE         signs with the certificate and key of a PKCS#12 file instead\n"
    "  --sign-password-file FILE  the key's password is the first line of FILE (else ZORV_SIGN_PASSWORD)\n"
    "The boundary lines carry SOURCE_DATE_EPOCH, else the current time: the same folder and the\n"
    "same SOURCE_DATE_EPOCH give the same unsigned installer, byte for byte. On a terminal, one line\n"
    "shows the progress of the compression.\n";

namespace fs = std::filesystem;

// The platforms, each with the folder of its kit under the kits folder.
const char *const kArches[] = {"i686", "x86_64", "linux"};

// The packer's own executable: what Linux says it is, else what it was started as (Windows gives
// programs their whole path as the first argument), else the program of that name on PATH.
fs::path own_program(const char *argv0) {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) return self;
    std::string found, ignored;
    if (find_program(argv0, "zorv-pack", found, ignored)) return fs::absolute(found, ec);
    return fs::absolute(argv0, ec);
}

// Where the kits are: --kit, else ZORV_KIT_DIR, else ../share/zorvana beside the program itself,
// wherever it was installed. where says which, for the message when a kit is missing.
std::string kits_dir(const std::string &option, const char *argv0, std::string &where) {
    const char *env = getenv("ZORV_KIT_DIR");
    if (!option.empty()) {
        where = "given by --kit";
        return option;
    }
    if (env && *env) {
        where = "given by ZORV_KIT_DIR";
        return env;
    }
    where = "../share/zorvana beside zorv-pack; --kit DIR or ZORV_KIT_DIR names another folder of kits";
    std::error_code ec;
    fs::path up = own_program(argv0).parent_path().parent_path();
    fs::path resolved = fs::weakly_canonical(up, ec);
    return ((ec ? up : resolved) / "share" / "zorvana").string();
}

// The largest compressed payload packed into the i686 installer. The loader maps its whole image,
// payload resource included, into the 32-bit address space before any of its code runs. Measured
// under Wine (bench/payload_limit.py): an image of 2 085 MB installs; one of 2 089 MB maps, but
// then fails with the failure message and installs nothing; one of 2 100 MB is refused by the
// loader ("Not enough memory") before the installer starts. Windows loads no image of 2 GiB or
// more. 2 000 000 000 bytes keeps the image some 85 MB below the line found under Wine, where the
// address space of a real Windows process may well be more crowded. The settings block counts
// against it too. ZORV_PACK_I686_LIMIT (bytes) can lower it, so that tests can show the refusal
// without a gigabyte of input; it can never raise it.
const unsigned long long kI686PayloadLimit = 2000000000ULL;

int fail(const std::string &what) {
    fprintf(stderr, "zorv-pack: %s\n", what.c_str());
    return 1;
}

int usage_error(const std::string &what) {
    fprintf(stderr, "zorv-pack: %s\n%s", what.c_str(), kUsage);
    return 1;
}

// A name Windows can create: no control characters nor any of < > " | ? *, and no level ending in
// a dot or a space (Windows drops those, so the file would land under another name). A Windows
// installer with such a name in its payload could only fail halfway through.
bool windows_can_hold(const std::string &name) {
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = (unsigned char)name[i];
        if (c < 32 || strchr("<>\"|?*", c)) return false;
        bool level_end = i + 1 == name.size() || name[i + 1] == '/';
        if (level_end && (c == '.' || c == ' ')) return false;
    }
    return true;
}

// Two names of the folder that Windows takes for one, since it compares names without regard to
// case: "Leeme.txt" beside "leeme.txt", or a file "lib" beside a folder "LIB". Installed, the
// later entry would replace the earlier one and the application would lose a file. Folders
// spelled two ways merge harmlessly and pass. Only ASCII letters are folded here; Windows also
// folds other letters, which an application folder made on Linux seldom spells two ways.
bool windows_names_clash(const std::vector<folder_file> &files, std::string &one, std::string &other) {
    std::map<std::string, std::pair<std::string, bool>> seen;  // folded name: as written, is a file
    auto fold = [](std::string name) {
        for (char &c : name)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return name;
    };
    auto add = [&](const std::string &name, bool is_file) {
        auto [at, fresh] = seen.emplace(fold(name), std::make_pair(name, is_file));
        if (fresh || at->second.first == name || (!is_file && !at->second.second)) return false;
        one = at->second.first;
        other = name;
        return true;
    };
    for (const folder_file &f : files) {
        for (size_t slash = f.name.find('/'); slash != std::string::npos; slash = f.name.find('/', slash + 1))
            if (add(f.name.substr(0, slash), false)) return true;
        if (add(f.name, true)) return true;
    }
    return false;
}

bool is_regular_file(const std::string &path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// Copies the finished installer beside out_path and renames it into place, so that a failure
// never leaves a half-written installer nor damages one that was there before. The copy goes a
// piece at a time: the installer is as large as its payload.
bool place_output(const std::string &built, const std::string &out_path, std::string &error) {
    return write_file_in_place(out_path, true, error,
                               [&](FILE *out, std::string &why) { return append_file(built, out, why); });
}

}  // namespace

int main(int argc, char **argv) {
    std::string app_dir, out_path, arch = "i686", kit_option, code_page_option;
    installer_inputs in;
    signing sign;
    bool have_app = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            puts("zorv-pack " ZORV_VERSION);
            return 0;
        }
        std::string *slot = a == "-o"                   ? &out_path
                            : a == "--arch"               ? &arch
                            : a == "--codepage"           ? &code_page_option
                            : a == "--settings"           ? &in.settings
                            : a == "--icon"               ? &in.icon
                            : a == "--kit"                ? &kit_option
                            : a == "--sign-cert"          ? &sign.cert
                            : a == "--sign-key"           ? &sign.key
                            : a == "--sign-pkcs12"        ? &sign.pkcs12
                            : a == "--sign-password-file" ? &sign.password_file
                                                          : nullptr;
        if (slot) {
            if (++i >= argc || !*argv[i]) return usage_error(a + " needs a value");
            *slot = argv[i];
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (have_app) {
            return usage_error("one application folder only");
        } else {
            app_dir = a;
            have_app = true;
        }
    }
    if (!have_app) return usage_error("no application folder given");
    if (out_path.empty()) return usage_error("no installer named (-o INSTALLER)");
    bool known = false;
    for (const char *a : kArches) known = known || arch == a;
    if (!known) return usage_error("unknown --arch " + arch + " (i686, x86_64 or linux)");
    if (arch == "linux" && !in.icon.empty()) return usage_error("--icon is for the Windows installers");
    if (arch == "linux" && !code_page_option.empty())
        return usage_error("--codepage is for the Windows installers; the Linux one takes names as they are");
    int code_page = kDefaultCodePage;
    if (!code_page_option.empty()) {
        code_page = code_page_option.size() <= 5 ? atoi(code_page_option.c_str()) : 0;
        if (std::to_string(code_page) != code_page_option || !code_page_offered(code_page))
            return usage_error("--codepage " + code_page_option + " is not offered: " + offered_code_pages() +
                               ", the code pages of one byte a character");
    }
    if (arch == "linux" && sign.wanted()) return usage_error("signing is for the Windows installers");
    if (!sign.wanted() && !sign.password_file.empty()) return usage_error("--sign-password-file without a key to open");

    long long stamp = (long long)time(nullptr);
    const char *epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch && !parse_epoch_seconds(epoch, stamp)) return fail("SOURCE_DATE_EPOCH is not a number of seconds");

    // Everything that can be refused is refused before the output is touched, and before a large
    // folder is compressed for minutes.
    std::error_code ec;
    fs::file_status app = fs::status(app_dir, ec);
    if (!fs::exists(app)) return fail(app_dir + ": " + (ec ? ec.message() : "not found"));
    if (!fs::is_directory(app)) return fail(app_dir + ": not a folder");
    if (!is_regular_file(app_dir + "/zorv.exe"))
        return fail(app_dir + ": no \"zorv.exe\" at its top level; the installer starts that program when it is done");
    if (!in.settings.empty() && !is_regular_file(in.settings)) return fail(in.settings + ": not a readable file");
    unsigned long long payload_limit = ~0ULL;
    if (arch == "i686") {
        payload_limit = kI686PayloadLimit;
        if (const char *lower = getenv("ZORV_PACK_I686_LIMIT"); lower && *lower) {
            char *end;
            errno = 0;
            unsigned long long v = strtoull(lower, &end, 10);
            if (errno || *end || *lower < '0' || *lower > '9')
                return fail("ZORV_PACK_I686_LIMIT is not a number of bytes");
            if (v < payload_limit) payload_limit = v;
        }
        if (!in.settings.empty()) {
            unsigned long long settings_size = fs::file_size(in.settings, ec);
            if (!ec) payload_limit = settings_size < payload_limit ? payload_limit - settings_size : 0;
        }
    }
    std::string error, where;
    if (!in.icon.empty() && !check_icon(in.icon, error)) return fail(error);
    if (!load_kit(kits_dir(kit_option, argv[0], where), arch, where, in.k, error)) return fail(error);
    if (sign.wanted()) {
        const char *password = getenv("ZORV_SIGN_PASSWORD");
        if (password && sign.password_file.empty()) sign.password = password;
        if (!check_signing(sign, error)) return fail(error);
    }
    std::vector<folder_file> files;
    if (!collect_folder(app_dir, "", files, error)) return fail(error);
    // Both installers, the Linux stand-in too, read '\' in a name as the end of a folder's name.
    for (const folder_file &f : files)
        if (f.name.find('\\') != std::string::npos)
            return fail(shown_path(f.path) + ": its name holds '\\', which separates folders on Windows: it would" +
                        " install as a folder and a file (\"" + f.name + "\")");
    if (arch != "linux")
        for (const folder_file &f : files)
            if (!windows_can_hold(f.name) || !star_name_is_safe_on_windows(f.name.c_str()))
                return fail(shown_path(f.path) + ": Windows cannot hold a file by this name (\"" + f.name + "\")");
    if (std::string one, other; arch != "linux" && windows_names_clash(files, one, other))
        return fail(app_dir + ": \"" + one + "\" and \"" + other + "\" are one name on Windows, which ignores case");
    // The names in the bytes the installer will read them as: Windows' A calls read the ANSI code page.
    if (arch != "linux")
        for (folder_file &f : files) {
            std::string written, why;
            if (!to_code_page(f.name, code_page, written, why)) return fail(shown_path(f.path) + ": " + why);
            f.name = written;
        }

    work_folder work;
    if (!work.make("zorv-pack.", error)) return fail(error);

    in.payload = work.path + "/payload.bz2";
    std::string archive = work.path + "/payload.sta";
    // Progress only where someone watches: a pipe or a CI log gets the result and errors alone.
    bool progress = isatty(STDERR_FILENO);
    if (!write_app_archive(files, stamp, archive, error)) return fail(error);
    output_limit limit{payload_limit, app_dir + ": compresses to more than " + std::to_string(payload_limit) +
                                          " bytes, the largest payload the 32-bit installer carries (its whole image"
                                          " must fit a 32-bit address space); pack it with --arch x86_64 for 64-bit"
                                          " Windows"};
    if (!compress_bzip2(archive, in.payload, limit, progress, error)) return fail(error);
    // An installer to be signed is built in the work folder, signed there and then copied out.
    std::string built = sign.wanted() ? work.path + "/" + kBuiltInstaller : out_path;
    bool ok = arch == "linux" ? build_linux_installer(in, built, error) : build_windows_installer(in, built, error);
    if (!ok || (sign.wanted() && (!sign_installer(sign, work.path, error) || !place_output(built, out_path, error))))
        return fail(error);
    return 0;
}
