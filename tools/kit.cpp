// An installer kit: the folder of one platform's prebuilt installer program, read from its description.
#include "kit.h"

#include <filesystem>
#include <sstream>

#include "tool_files.h"

namespace fs = std::filesystem;

namespace {

// The file in every kit folder that describes it.
const char kKitFile[] = "zorv-installer.kit";

// The values of a kit that name its files.
const char *const kFileKeys[] = {"program", "icon"};

}  // namespace

bool load_kit(const std::string &kits_dir, const std::string &arch, const std::string &where, kit &k,
              std::string &error) {
    k.dir = kits_dir + "/" + arch;
    std::string path = k.dir + "/" + kKitFile, text;
    if (!read_whole_file(path, text))
        return failed(error, "no " + arch + " installer kit: " + path + " cannot be read (" + where + ")");
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq + 1 == line.size()) return failed(error, path + ": not a kit line: " + line);
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        for (const char *file_key : kFileKeys) {
            if (key != file_key) continue;
            if (!fs::path(value).is_absolute()) value = k.dir + "/" + value;
            std::error_code ec;
            if (!fs::is_regular_file(value, ec))
                return failed(error, path + ": the kit is incomplete: " + value + ": " +
                                         (ec ? ec.message() : std::string("not a file")));
        }
        k.values[key] = value;
    }
    return true;
}

bool kit_value(const kit &k, const char *key, std::string &value, std::string &error) {
    auto it = k.values.find(key);
    if (it == k.values.end() || it->second.empty()) return failed(error, k.dir + "/" + kKitFile + ": names no " + key);
    value = it->second;
    return true;
}
