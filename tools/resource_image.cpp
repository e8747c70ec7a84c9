// Writes Linux executables that carry resources, as the Linux stand-in of the platform reads them.
#include "resource_image.h"

#include <stdio.h>

#include <filesystem>

#include "resource_image_format.h"
#include "tool_files.h"

bool resource_size(const resource_entry &r, uint64_t &size, std::string &error) {
    if (r.path.empty()) {
        size = r.data.size();
        return true;
    }
    std::error_code ec;
    size = std::filesystem::file_size(r.path, ec);
    if (ec) error = r.path + ": " + ec.message();
    return !ec;
}

bool write_resource_image(const std::string &program, const std::vector<resource_entry> &resources,
                          const std::string &out_path, std::string &error) {
    if (resources.size() > kResImageMaxEntries) return failed(error, "too many resources");
    // The directory first, from the sizes alone; the bytes then follow the program one by one.
    std::string directory;
    std::vector<uint64_t> sizes(resources.size());
    uint64_t at = program.size();
    for (size_t i = 0; i < resources.size(); i++) {
        const resource_entry &r = resources[i];
        if (r.type.empty() || r.type.size() > kResImageTypeMax || r.type.find('\0') != std::string::npos)
            return failed(error, "bad resource type \"" + r.type + "\"");
        for (size_t j = 0; j < i; j++)
            if (resources[j].type == r.type && resources[j].id == r.id)
                return failed(error, "resource " + r.type + "/" + std::to_string(r.id) + " given twice");
        uint64_t &size = sizes[i];
        if (!resource_size(r, size, error)) return false;
        directory += r.type;
        directory += '\0';
        put_le(directory, r.id, 4);
        put_le(directory, kResImageLanguage, 4);
        put_le(directory, at, 8);
        put_le(directory, size, 8);
        at += size;
    }
    std::string trailer(kResImageMagic, sizeof kResImageMagic);
    put_le(trailer, at, 8);
    put_le(trailer, resources.size(), 4);
    put_le(trailer, 0, 4);

    return write_file_in_place(out_path, true, error, [&](FILE *out, std::string &why) {
        bool ok = fwrite(program.data(), 1, program.size(), out) == program.size();
        for (size_t i = 0; ok && i < resources.size(); i++) {
            const resource_entry &r = resources[i];
            if (!r.path.empty()) {
                uint64_t copied = 0;
                if (!append_file(r.path, out, why, [&](const char *, size_t n) { copied += n; })) return false;
                if (copied != sizes[i]) return failed(why, r.path + ": changed while it was copied");
            } else {
                ok = fwrite(r.data.data(), 1, r.data.size(), out) == r.data.size();
            }
        }
        ok = ok && fwrite(directory.data(), 1, directory.size(), out) == directory.size() &&
             fwrite(trailer.data(), 1, trailer.size(), out) == trailer.size();
        if (!ok) why = out_path + ": cannot be written";
        return ok;
    });
}
