// Linux stand-in for the resource calls: resources appended to the program's own executable.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "resource_image_format.h"

struct os_resource_ {
    char type[kResImageTypeMax + 1];
    uint32_t id;
    uint64_t offset, size;
};

namespace {

// The image's directory, read again by every find, so that a changed ZORV_RESOURCE_IMAGE takes
// effect at once; a found resource and its loaded bytes stay valid until the next find. Loading
// copies the bytes into memory of exactly their size, so that a reader that strays past the end
// of a resource is caught by the memory checkers rather than reading the next one.
struct Image {
    int fd = -1;
    unsigned char *loaded = nullptr;
    size_t count = 0;
    os_resource_ entries[kResImageMaxEntries];
};
Image image;

uint64_t le(const unsigned char *p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

bool read_at(int fd, void *buf, size_t n, uint64_t at) {
    return pread(fd, buf, n, (off_t)at) == (ssize_t)n;
}

// Fills the table from the trailer and directory; a file without a well-formed trailer, or with
// an entry that points outside its data area, has no resources at all.
bool read_directory(int fd, uint64_t file_size) {
    unsigned char t[kResImageTrailerSize];
    if (file_size < sizeof t || !read_at(fd, t, sizeof t, file_size - sizeof t)) return false;
    if (memcmp(t, kResImageMagic, sizeof kResImageMagic) != 0) return false;
    uint64_t dir = le(t + 8, 8), count = le(t + 16, 4);
    uint64_t dir_end = file_size - sizeof t;
    if (count > kResImageMaxEntries || dir > dir_end || dir_end - dir > 64 * 1024) return false;
    unsigned char d[64 * 1024];
    size_t n = size_t(dir_end - dir), at = 0;
    if (!read_at(fd, d, n, dir)) return false;
    for (uint64_t i = 0; i < count; i++) {
        const unsigned char *nul = static_cast<const unsigned char *>(memchr(d + at, 0, n - at));
        if (!nul || size_t(nul - (d + at)) > kResImageTypeMax || size_t(nul + 1 - d) + 24 > n) return false;
        os_resource_ &e = image.entries[i];
        memcpy(e.type, d + at, size_t(nul - (d + at)) + 1);
        at = size_t(nul + 1 - d);
        e.id = uint32_t(le(d + at, 4));
        e.offset = le(d + at + 8, 8);
        e.size = le(d + at + 16, 8);
        at += 24;
        if (e.offset > dir || e.size > dir - e.offset) return false;
    }
    image.count = size_t(count);
    return true;
}

void open_image() {
    free(image.loaded);
    if (image.fd >= 0) close(image.fd);
    image = Image();
    const char *path = getenv("ZORV_RESOURCE_IMAGE");
    int fd = open(path && *path ? path : "/proc/self/exe", O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !read_directory(fd, uint64_t(st.st_size))) {
        image.count = 0;
        if (fd >= 0) close(fd);
        return;
    }
    image.fd = fd;
}

}  // namespace

os_resource os_find_resource(int id, const char *type) {
    open_image();
    for (size_t i = 0; i < image.count; i++)
        if (image.entries[i].id == uint32_t(id) && strcmp(image.entries[i].type, type) == 0) return &image.entries[i];
    return nullptr;
}

unsigned long os_sizeof_resource(os_resource res) { return res ? (unsigned long)res->size : 0; }

void *os_load_resource(os_resource res) {
    if (!res || image.fd < 0) return nullptr;
    free(image.loaded);
    image.loaded = static_cast<unsigned char *>(malloc(res->size ? size_t(res->size) : 1));
    if (image.loaded && !read_at(image.fd, image.loaded, size_t(res->size), res->offset)) {
        free(image.loaded);
        image.loaded = nullptr;
    }
    return image.loaded;
}

const void *os_lock_resource(void *loaded) { return loaded; }
