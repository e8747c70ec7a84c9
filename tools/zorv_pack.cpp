// zorv-pack: turns an application folder into a self-extracting installer for Windows or Linux.
#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "star_names.h"
#include "zorv_pack.h"

namespace {

const char kUsage[] =
    "usage: zorv-pack APP_DIR -o INSTALLER.exe [--arch i686|x86_64|linux] [--settings FILE] [--icon FILE.ico]\n"
    "Packs APP_DIR (which holds zorv.exe at its top level) into an installer for the chosen platform\n"
    "(default i686, the delivered 32-bit Windows installer; x86_64 is its twin for tests under Wine).\n"
    "--settings embeds FILE as the settings block; --icon replaces the program icon (one image).\n"
    "The boundary lines carry SOURCE_DATE_EPOCH, else the current time: the same folder and the\n"
    "same SOURCE_DATE_EPOCH give the same installer, byte for byte.\n";

// The kits that the build trees write (see zorv_pack_installer.cpp), fixed when the packer is built.
struct arch_kit {
    const char *arch;
    const char *kit;
};
const arch_kit kKits[] = {
    {"i686", ZORV_PACK_KIT_I686},
    {"x86_64", ZORV_PACK_KIT_X86_64},
    {"linux", ZORV_PACK_KIT_LINUX},
};

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

bool is_regular_file(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The work folder and everything in it.
struct work_dir {
    std::string path;
    ~work_dir() {
        if (!path.empty())
            nftw(path.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
                 FTW_DEPTH | FTW_PHYS);
    }
};

// Copies the finished installer beside out_path and renames it into place, so that a failure
// never leaves a half-written installer nor damages one that was there before.
bool place_output(const std::string &built, const std::string &out_path, std::string &error) {
    std::string data;
    if (!read_whole_file(built, data)) {
        error = built + ": cannot be read";
        return false;
    }
    std::string tmp = out_path + ".tmpXXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) {
        error = out_path + ": " + strerror(errno);
        return false;
    }
    bool ok = write(fd, data.data(), data.size()) == ssize_t(data.size()) && fchmod(fd, 0755) == 0;
    ok = close(fd) == 0 && ok && rename(tmp.c_str(), out_path.c_str()) == 0;
    if (!ok) {
        error = out_path + ": " + strerror(errno);
        unlink(tmp.c_str());
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    std::string app_dir, out_path, arch = "i686";
    installer_inputs in;
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
        if (a == "-o" || a == "--arch" || a == "--settings" || a == "--icon") {
            if (++i >= argc) return usage_error(a + " needs a value");
            std::string &slot = a == "-o" ? out_path : a == "--arch" ? arch : a == "--settings" ? in.settings : in.icon;
            slot = argv[i];
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
    if (out_path.empty()) return usage_error("no installer named (-o INSTALLER.exe)");
    for (const arch_kit &k : kKits)
        if (arch == k.arch) in.kit = k.kit;
    if (in.kit.empty()) return usage_error("unknown --arch " + arch + " (i686, x86_64 or linux)");
    if (arch == "linux" && !in.icon.empty()) return usage_error("--icon is for the Windows installers");

    long long stamp = (long long)time(nullptr);
    const char *epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch && !parse_epoch_seconds(epoch, stamp)) return fail("SOURCE_DATE_EPOCH is not a number of seconds");

    // Everything that can be refused is refused before the output is touched.
    struct stat st;
    if (stat(app_dir.c_str(), &st) != 0) return fail(app_dir + ": " + strerror(errno));
    if (!S_ISDIR(st.st_mode)) return fail(app_dir + ": not a folder");
    if (!is_regular_file(app_dir + "/zorv.exe"))
        return fail(app_dir + ": no \"zorv.exe\" at its top level; the installer starts that program when it is done");
    if (!in.settings.empty() && !is_regular_file(in.settings)) return fail(in.settings + ": not a readable file");
    std::string error;
    if (!in.icon.empty() && !check_icon(in.icon, error)) return fail(error);
    std::vector<folder_file> files;
    if (!collect_folder(app_dir, "", files, error)) return fail(error);
    if (arch != "linux")
        for (const folder_file &f : files)
            if (!windows_can_hold(f.name) || !star_name_is_safe_on_windows(f.name.c_str()))
                return fail(f.path + ": Windows cannot hold a file by this name (\"" + f.name + "\")");

    const char *tmp_root = getenv("TMPDIR");
    work_dir work;
    std::string pattern = std::string(tmp_root && *tmp_root == '/' ? tmp_root : "/tmp") + "/zorv-pack.XXXXXX";
    if (!mkdtemp(&pattern[0])) return fail(pattern + ": " + strerror(errno));
    work.path = pattern;

    in.payload = work.path + "/payload.bz2";
    std::string archive = work.path + "/payload.sta";
    if (!write_app_archive(files, stamp, archive, error) || !compress_bzip2(archive, in.payload, error)) return fail(error);
    bool built = arch == "linux" ? build_linux_installer(in, work.path, error)
                                 : build_windows_installer(in, work.path, error);
    if (!built || !place_output(work.path + "/" + kBuiltInstaller, out_path, error)) return fail(error);
    return 0;
}
