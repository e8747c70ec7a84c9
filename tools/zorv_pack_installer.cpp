// The packer's installers: a Windows one written from a kit's prebuilt program, or the Linux one.
//
// A kit is a folder (share/zorvana/ARCH beside the packer, as cmake/installers.cmake lays it out)
// with a text file of "key=value" lines; every value names a file of the kit folder, so that a
// kit works wherever it is installed. A Windows kit holds the installer program, linked when the
// project was built with no resources, and its default icon: the packer adds the resource section
// itself (windows_image.h), so packing needs no compiler, linker or any other program. The Linux
// kit holds the Linux installer program, to which the resources are appended.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>

#include "payload.h"
#include "resource_image.h"
#include "tool_os.h"
#include "windows_image.h"
#include "zorv_pack.h"

namespace fs = std::filesystem;

namespace {

// The values of a kit that name its files.
const char *const kFileKeys[] = {"program", "icon"};

// Resource types of a Windows image that are numbers: "#N", as Windows' resource calls take them.
const char kIconType[] = "#3", kIconGroupType[] = "#14";
const uint32_t kIconId = 1, kIconGroupId = 102;

bool kit_value(const kit &k, const char *key, std::string &value, std::string &error) {
    auto it = k.one.find(key);
    if (it == k.one.end() || it->second.empty()) {
        error = k.dir + "/" + kKitFile + ": names no " + key;
        return false;
    }
    value = it->second;
    return true;
}

}  // namespace

bool load_kit(const std::string &kits_dir, const std::string &arch, const std::string &where, kit &k,
              std::string &error) {
    k.dir = kits_dir + "/" + arch;
    std::string path = k.dir + "/" + kKitFile, text;
    if (!read_whole_file(path, text)) {
        error = "no " + arch + " installer kit: " + path + " cannot be read (" + where + ")";
        return false;
    }
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq + 1 == line.size()) {
            error = path + ": not a kit line: " + line;
            return false;
        }
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        for (const char *file_key : kFileKeys) {
            if (key != file_key) continue;
            if (!fs::path(value).is_absolute()) value = k.dir + "/" + value;
            std::error_code ec;
            if (!fs::is_regular_file(value, ec)) {
                error = path + ": the kit is incomplete: " + value + ": " +
                        (ec ? ec.message() : std::string("not a file"));
                return false;
            }
        }
        k.one[key] = value;
    }
    return true;
}

bool run_tool(const std::vector<std::string> &argv, const std::string &dir, const char *what, bool own_session,
              std::string &output, std::string &error) {
    std::string log = dir + "/tool-output.txt";
    int status = tool_run(argv, dir, log, own_session, error);
    output.clear();
    read_whole_file(log, output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    if (status == 0) return true;
    if (status > 0) error = std::string(what) + " failed (" + argv[0] + ")" + (output.empty() ? "" : ":\n" + output);
    return false;
}

bool build_windows_installer(const installer_inputs &in, const std::string &out_path, std::string &error) {
    std::string program, icon_file, ico;
    if (!kit_value(in.k, "program", program, error) || !kit_value(in.k, "icon", icon_file, error)) return false;
    if (!in.icon.empty()) icon_file = in.icon;
    if (!check_icon(icon_file, error) || !read_whole_file(icon_file, ico)) {
        if (error.empty()) error = icon_file + ": cannot be read";
        return false;
    }
    // The icon file's one image becomes icon 1; the group names it with the file's own entry (its
    // size, colours, planes and bits), the image's number in place of the file offset.
    const size_t entry = 6, entry_size = 16;
    uint32_t image_size = uint8_t(ico[entry + 8]) | uint8_t(ico[entry + 9]) << 8 | uint8_t(ico[entry + 10]) << 16 |
                          uint32_t(uint8_t(ico[entry + 11])) << 24;
    uint32_t image_at = uint8_t(ico[entry + 12]) | uint8_t(ico[entry + 13]) << 8 | uint8_t(ico[entry + 14]) << 16 |
                        uint32_t(uint8_t(ico[entry + 15])) << 24;
    std::string group = ico.substr(0, entry) + ico.substr(entry, entry_size - 4);
    group += char(kIconId & 0xff), group += char(kIconId >> 8);
    std::vector<resource_entry> resources = {
        {ZORV_RESOURCE_TYPE, ZORV_PAYLOAD_ID, "", in.payload},
        {kIconType, kIconId, ico.substr(image_at, image_size), ""},
        {kIconGroupType, kIconGroupId, group, ""},
    };
    if (!in.settings.empty()) resources.push_back({ZORV_RESOURCE_TYPE, ZORV_SETTINGS_ID, "", in.settings});
    return write_windows_image(program, resources, out_path, error);
}

bool build_linux_installer(const installer_inputs &in, const std::string &out_path, std::string &error) {
    std::string stub, program;
    if (!kit_value(in.k, "program", stub, error)) return false;
    if (!read_whole_file(stub, program)) {
        error = stub + ": cannot be read";
        return false;
    }
    std::vector<resource_entry> resources = {{ZORV_RESOURCE_TYPE, ZORV_PAYLOAD_ID, "", in.payload}};
    if (!in.settings.empty()) resources.push_back({ZORV_RESOURCE_TYPE, ZORV_SETTINGS_ID, "", in.settings});
    return write_resource_image(program, resources, out_path, error);
}
