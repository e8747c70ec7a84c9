// zorv-pack: turns an application folder into a self-extracting installer for Windows or Linux.
//
// The command line and the environment read into the packer's options, and the packer called (packer.h).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>

#include "code_pages.h"
#include "packer.h"
#include "tool_files.h"

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
// wherever it was installed; kits_where says which, for the message when a kit is missing.
void find_kits(const std::string &option, const char *argv0, pack_options &o) {
    const char *env = getenv("ZORV_KIT_DIR");
    if (!option.empty()) {
        o.kits_dir = option, o.kits_where = "given by --kit";
    } else if (env && *env) {
        o.kits_dir = env, o.kits_where = "given by ZORV_KIT_DIR";
    } else {
        std::error_code ec;
        fs::path up = own_program(argv0).parent_path().parent_path(), resolved = fs::weakly_canonical(up, ec);
        o.kits_dir = ((ec ? up : resolved) / "share" / "zorvana").string();
        o.kits_where = "../share/zorvana beside zorv-pack; --kit DIR or ZORV_KIT_DIR names another folder of kits";
    }
}

// The command line as given, before it becomes the packer's options.
struct command_line {
    pack_options o;
    std::string code_page, kit;
    bool have_app = false, help = false, version = false;
};

// Reads the arguments into c, stopping at --help or --version. False with the usage error.
bool read_arguments(int argc, char **argv, command_line &c, std::string &error) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        c.help = a == "--help" || a == "-h";
        c.version = a == "--version";
        if (c.help || c.version) return true;
        std::string *slot = a == "-o"                   ? &c.o.out_path
                            : a == "--arch"               ? &c.o.arch
                            : a == "--codepage"           ? &c.code_page
                            : a == "--settings"           ? &c.o.settings
                            : a == "--icon"               ? &c.o.icon
                            : a == "--kit"                ? &c.kit
                            : a == "--sign-cert"          ? &c.o.sign.cert
                            : a == "--sign-key"           ? &c.o.sign.key
                            : a == "--sign-pkcs12"        ? &c.o.sign.pkcs12
                            : a == "--sign-password-file" ? &c.o.sign.password_file
                                                          : nullptr;
        if (slot && (++i >= argc || !*argv[i])) return failed(error, a + " needs a value");
        if (slot) *slot = argv[i];
        else if (a.size() > 1 && a[0] == '-') return failed(error, "unknown option " + a);
        else if (c.have_app) return failed(error, "one application folder only");
        else c.o.app_dir = a, c.have_app = true;
    }
    return true;
}

// Checks that the options given go together, and reads the code page. False with the usage error.
bool check_arguments(command_line &c, std::string &error) {
    pack_options &o = c.o;
    if (!c.have_app) return failed(error, "no application folder given");
    if (o.out_path.empty()) return failed(error, "no installer named (-o INSTALLER)");
    if (std::find(std::begin(kArches), std::end(kArches), o.arch) == std::end(kArches))
        return failed(error, "unknown --arch " + o.arch + " (i686, x86_64 or linux)");
    if (o.arch == "linux" && !o.icon.empty()) return failed(error, "--icon is for the Windows installers");
    if (o.arch == "linux" && !c.code_page.empty())
        return failed(error, "--codepage is for the Windows installers; the Linux one takes names as they are");
    o.code_page = c.code_page.empty() ? kDefaultCodePage : c.code_page.size() <= 5 ? atoi(c.code_page.c_str()) : 0;
    if (!c.code_page.empty() && (std::to_string(o.code_page) != c.code_page || !code_page_offered(o.code_page)))
        return failed(error, "--codepage " + c.code_page + " is not offered: " + offered_code_pages() +
                                 ", the code pages of one byte a character");
    if (o.arch == "linux" && o.sign.wanted()) return failed(error, "signing is for the Windows installers");
    if (!o.sign.wanted() && !o.sign.password_file.empty())
        return failed(error, "--sign-password-file without a key to open");
    return true;
}

// Reads what the environment adds to the options: the stamp, a lower i686 payload limit, the
// key's password. False with the reason.
bool read_environment(pack_options &o, std::string &error) {
    o.stamp = (long long)time(nullptr);
    const char *epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch && !parse_epoch_seconds(epoch, o.stamp))
        return failed(error, "SOURCE_DATE_EPOCH is not a number of seconds");
    const char *lower = getenv("ZORV_PACK_I686_LIMIT");
    if (o.arch == "i686" && lower && *lower) {
        char *end;
        errno = 0;
        o.i686_limit = strtoull(lower, &end, 10);
        if (errno || *end || *lower < '0' || *lower > '9')
            return failed(error, "ZORV_PACK_I686_LIMIT is not a number of bytes");
    }
    const char *password = getenv("ZORV_SIGN_PASSWORD");
    if (password && o.sign.wanted() && o.sign.password_file.empty()) o.sign.password = password;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    command_line c;
    std::string error;
    if (!read_arguments(argc, argv, c, error) || (!c.help && !c.version && !check_arguments(c, error))) {
        fprintf(stderr, "zorv-pack: %s\n%s", error.c_str(), kUsage);
        return 1;
    }
    if (c.help) fputs(kUsage, stdout);
    if (c.version) puts("zorv-pack " ZORV_VERSION);
    if (c.help || c.version) return 0;
    find_kits(c.kit, argv[0], c.o);
    // Progress only where someone watches: a pipe or a CI log gets the result and errors alone.
    c.o.progress = isatty(STDERR_FILENO);
    if (read_environment(c.o, error) && pack(c.o, error)) return 0;
    fprintf(stderr, "zorv-pack: %s\n", error.c_str());
    return 1;
}
