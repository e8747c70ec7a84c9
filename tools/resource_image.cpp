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

bool write_all(int fd, const std::string &data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

// The parts are written one after the other, so that no copy of a large payload is made.
bool write_resource_image(const std::string &program, const std::vector<resource_entry> &resources,
                          const std::string &out_path, std::string &error) {
    if (resources.size() > kResImageMaxEntries) {
        error = "too many resources";
        return false;
    }
    std::string directory;
    uint64_t offset = program.size();
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
        put_le(directory, offset, 8);
        put_le(directory, r.data.size(), 8);
        offset += r.data.size();
    }
    std::string trailer = directory;
    trailer.append(kResImageMagic, sizeof kResImageMagic);
    put_le(trailer, offset, 8);
    put_le(trailer, resources.size(), 4);
    put_le(trailer, 0, 4);

    std::string tmp = out_path + ".tmpXXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) {
        error = out_path + ": " + strerror(errno);
        return false;
    }
    bool ok = write_all(fd, program);
    for (const resource_entry &r : resources) ok = ok && write_all(fd, r.data);
    ok = ok && write_all(fd, trailer) && fchmod(fd, 0755) == 0;
    ok = close(fd) == 0 && ok && rename(tmp.c_str(), out_path.c_str()) == 0;
    if (!ok) {
        error = out_path + ": " + strerror(errno);
        unlink(tmp.c_str());
    }
    return ok;
}
