// Writes Linux executables that carry resources, as the Linux stand-in of the platform reads them.
#include "resource_image.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "resource_image_format.h"

namespace {

void put_le(std::string &out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) out += char((v >> (8 * i)) & 0xff);
}

}  // namespace

bool write_resource_image(const std::string &program, const std::vector<resource_entry> &resources,
                          const std::string &out_path, std::string &error) {
    if (resources.size() > kResImageMaxEntries) {
        error = "too many resources";
        return false;
    }
    std::string image = program, directory;
    for (size_t i = 0; i < resources.size(); i++) {
        const resource_entry &r = resources[i];
        if (r.type.empty() || r.type.size() > kResImageTypeMax || r.type.find('\0') != std::string::npos) {
            error = "bad resource type \"" + r.type + "\"";
            return false;
        }
        for (size_t j = 0; j < i; j++)
            if (resources[j].type == r.type && resources[j].id == r.id) {
                error = "resource " + r.type + "/" + std::to_string(r.id) + " given twice";
                return false;
            }
        directory += r.type;
        directory += '\0';
        put_le(directory, r.id, 4);
        put_le(directory, kResImageLanguage, 4);
        put_le(directory, image.size(), 8);
        put_le(directory, r.data.size(), 8);
        image += r.data;
    }
    uint64_t dir_offset = image.size();
    image += directory;
    image.append(kResImageMagic, sizeof kResImageMagic);
    put_le(image, dir_offset, 8);
    put_le(image, resources.size(), 4);
    put_le(image, 0, 4);

    std::string tmp = out_path + ".tmpXXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) {
        error = out_path + ": " + strerror(errno);
        return false;
    }
    bool ok = write(fd, image.data(), image.size()) == (ssize_t)image.size() && fchmod(fd, 0755) == 0;
    ok = close(fd) == 0 && ok && rename(tmp.c_str(), out_path.c_str()) == 0;
    if (!ok) {
        error = out_path + ": " + strerror(errno);
        unlink(tmp.c_str());
    }
    return ok;
}
