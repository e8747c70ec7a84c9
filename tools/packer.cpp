// The packer: an application folder checked, archived, compressed and built into an installer, signed when asked.
//
// The same code is built for Linux and for Windows, so that both packers write the same bytes.
#include "packer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <vector>

#include "code_pages.h"
#include "compress.h"
#include "icon.h"
#include "kit.h"
#include "payload.h"
#include "resource_image.h"
#include "star_names.h"
#include "tool_files.h"
#include "windows_image.h"

namespace fs = std::filesystem;

namespace {

// The largest compressed payload packed into the i686 installer. The loader maps its whole image,
// payload resource included, into the 32-bit address space before any of its code runs. Measured
// under Wine (bench/payload_limit.py): an image of 2 085 MB installs; one of 2 089 MB maps, but
// then fails with the failure message and installs nothing; one of 2 100 MB is refused by the
// loader ("Not enough memory") before the installer starts. Windows loads no image of 2 GiB or
// more. 2 000 000 000 bytes keeps the image some 85 MB below the line found under Wine, where the
// address space of a real Windows process may well be more crowded. The settings block counts
// against it too. pack_options::i686_limit (ZORV_PACK_I686_LIMIT) can lower it, so that tests can
// show the refusal without a gigabyte of input; it can never raise it.
const unsigned long long kI686PayloadLimit = 2000000000ULL;

// What an installer is built from.
struct installer_inputs {
    kit k;                             // the kit of the chosen platform
    std::string payload;               // the compressed archive
    std::string settings;              // the settings block, or empty for none
    std::vector<resource_entry> icon;  // the icon given, or none for the kit's own
};

// The folder must hold the program that the installer starts when it is done.
bool check_folder(const pack_options &o, std::string &error) {
    std::error_code ec;
    fs::file_status app = fs::status(o.app_dir, ec);
    if (!fs::exists(app)) return failed(error, o.app_dir + ": " + (ec ? ec.message() : "not found"));
    if (!fs::is_directory(app)) return failed(error, o.app_dir + ": not a folder");
    if (!fs::is_regular_file(o.app_dir + "/zorv.exe", ec))
        return failed(error, o.app_dir + ": no \"zorv.exe\" at its top level; the installer starts that program when"
                                         " it is done");
    if (!o.settings.empty() && !fs::is_regular_file(o.settings, ec))
        return failed(error, o.settings + ": not a readable file");
    return true;
}

// How large the compressed payload may grow: for the i686 installer its limit less the settings
// block, which counts against it too; for the others, without bound.
output_limit payload_limit(const pack_options &o) {
    output_limit limit;
    if (o.arch != "i686") return limit;
    limit.bytes = std::min(kI686PayloadLimit, o.i686_limit);
    std::error_code ec;
    unsigned long long settings_size = o.settings.empty() ? 0 : fs::file_size(o.settings, ec);
    if (!ec) limit.bytes = settings_size < limit.bytes ? limit.bytes - settings_size : 0;
    limit.refusal = o.app_dir + ": compresses to more than " + std::to_string(limit.bytes) +
                    " bytes, the largest payload the 32-bit installer carries (its whole image must fit a 32-bit"
                    " address space); pack it with --arch x86_64 for 64-bit Windows";
    return limit;
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

// Checks the names of files for the installer of o.arch, and writes a Windows installer's in the
// bytes it will read them as: Windows' A calls read the ANSI code page.
bool check_names(const pack_options &o, std::vector<folder_file> &files, std::string &error) {
    // Both installers, the Linux stand-in too, read '\' in a name as the end of a folder's name.
    for (const folder_file &f : files)
        if (f.name.find('\\') != std::string::npos)
            return failed(error, shown_path(f.path) + ": its name holds '\\', which separates folders on Windows: it" +
                                     " would install as a folder and a file (\"" + f.name + "\")");
    if (o.arch == "linux") return true;
    for (const folder_file &f : files)
        if (!windows_can_hold(f.name) || !star_name_is_safe_on_windows(f.name.c_str()))
            return failed(error, shown_path(f.path) + ": Windows cannot hold a file by this name (\"" + f.name + "\")");
    if (std::string one, other; windows_names_clash(files, one, other))
        return failed(error, o.app_dir + ": \"" + one + "\" and \"" + other + "\" are one name on Windows, which" +
                                 " ignores case");
    for (folder_file &f : files) {
        std::string written, why;
        if (!to_code_page(f.name, o.code_page, written, why)) return failed(error, shown_path(f.path) + ": " + why);
        f.name = written;
    }
    return true;
}

// Writes files as a SIMPLE-TAR archive (LF line breaks, stamp in every boundary line) to
// archive_path. A body holding the archive's magic is refused, naming the file.
bool write_app_archive(const std::vector<folder_file> &files, long long stamp, const std::string &archive_path,
                       std::string &error) {
    FILE *out = fopen(archive_path.c_str(), "wb");
    if (!out) return failed(error, archive_path + ": " + strerror(errno));
    bool ok = write_folder_archive(out, files, STAR_LF, stamp, error);
    if (fclose(out) != 0 && ok) ok = failed(error, archive_path + ": " + strerror(errno));
    return ok;
}

// The builders write out_path through a temporary file beside it (write_file_in_place), so that
// an unsigned installer goes where it belongs in one pass and only a complete one replaces an
// earlier file.

// The Windows installer: the kit's installer program with a resource section added, holding the
// payload RCDATA_RAW/101, the settings RCDATA_RAW/103 when there are any, and the icon (the kit's
// or the one given), all in language 1033.
bool build_windows_installer(const installer_inputs &in, const std::string &out_path, std::string &error) {
    std::string program, icon;
    if (!kit_value(in.k, "program", program, error) || !kit_value(in.k, "icon", icon, error)) return false;
    std::vector<resource_entry> resources = in.icon;
    if (resources.empty() && !icon_resources(icon, resources, error)) return false;
    resources.push_back({ZORV_RESOURCE_TYPE, ZORV_PAYLOAD_ID, "", in.payload});
    if (!in.settings.empty()) resources.push_back({ZORV_RESOURCE_TYPE, ZORV_SETTINGS_ID, "", in.settings});
    return write_windows_image(program, resources, out_path, error);
}

// The Linux installer: the kit's Linux installer program with the payload (and settings) appended
// as the Linux stand-in of the platform reads them.
bool build_linux_installer(const installer_inputs &in, const std::string &out_path, std::string &error) {
    std::string stub, program;
    if (!kit_value(in.k, "program", stub, error)) return false;
    if (!read_whole_file(stub, program)) return failed(error, stub + ": cannot be read");
    std::vector<resource_entry> resources = {{ZORV_RESOURCE_TYPE, ZORV_PAYLOAD_ID, "", in.payload}};
    if (!in.settings.empty()) resources.push_back({ZORV_RESOURCE_TYPE, ZORV_SETTINGS_ID, "", in.settings});
    return write_resource_image(program, resources, out_path, error);
}

// Copies the finished installer beside out_path and renames it into place, so that a failure
// never leaves a half-written installer nor damages one that was there before. The copy goes a
// piece at a time: the installer is as large as its payload.
bool place_output(const std::string &built, const std::string &out_path, std::string &error) {
    return write_file_in_place(out_path, true, error,
                               [&](FILE *out, std::string &why) { return append_file(built, out, why); });
}

}  // namespace

bool pack(const pack_options &o, std::string &error) {
    installer_inputs in;
    in.settings = o.settings;
    signing sign = o.sign;
    std::vector<folder_file> files;
    if (!check_folder(o, error) || (!o.icon.empty() && !icon_resources(o.icon, in.icon, error)) ||
        !load_kit(o.kits_dir, o.arch, o.kits_where, in.k, error) || (sign.wanted() && !check_signing(sign, error)) ||
        !collect_folder(o.app_dir, "", files, error) || !check_names(o, files, error))
        return false;

    work_folder work;
    if (!work.make("zorv-pack.", error)) return false;
    in.payload = work.path + "/payload.bz2";
    std::string archive = work.path + "/payload.sta";
    if (!write_app_archive(files, o.stamp, archive, error) ||
        !compress_bzip2(archive, in.payload, payload_limit(o), o.progress, error))
        return false;
    // An installer to be signed is built in the work folder, signed there and then copied out.
    std::string built = sign.wanted() ? work.path + "/" + kBuiltInstaller : o.out_path;
    bool ok = o.arch == "linux" ? build_linux_installer(in, built, error) : build_windows_installer(in, built, error);
    return ok && (!sign.wanted() || (sign_installer(sign, work.path, error) && place_output(built, o.out_path, error)));
}
