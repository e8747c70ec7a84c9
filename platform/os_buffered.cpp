// The seam's buffered files, the same on every system: reads, writes, lines, the buffer shown in place.
#include <stdlib.h>
#include <string.h>

#include "os_file.h"

namespace {

// A buffer of this size turns the archive reader's single bytes and the extraction's pieces of at
// most 63 bytes into one call of the system per 64 KiB.
const size_t kBufferSize = 1 << 16;

// Every open file, so that a file a caller leaves open (a C stream wrapped once and closed as a
// stream) stays reachable rather than lost.
os_file_ *open_files = nullptr;

bool have_buffer(os_file *f) {
    if (f->buf) return true;
    f->buf = static_cast<unsigned char *>(malloc(kBufferSize));
    if (!f->buf) return f->error = true, false;
    f->cap = kBufferSize;
    f->own = true;
    return true;
}

// Reads the next buffer's worth: false at the end of the file or on an error.
bool fill(os_file *f) {
    if (f->writing && os_write_out(f) != 0) return false;
    f->writing = false;
    f->pos = f->len = 0;
    if (f->ended || f->error || !have_buffer(f)) return false;
    long long n = os_native_read(f, f->buf, f->cap);
    if (n < 0) f->error = true;
    else if (n == 0) f->ended = true;
    else f->len = size_t(n);
    return n > 0;
}

}  // namespace

os_file *os_file_over(intptr_t handle, FILE *stream) {
    os_file *f = static_cast<os_file *>(calloc(1, sizeof(os_file)));
    if (!f) return nullptr;
    f->handle = handle;
    f->stream = stream;
    f->next = open_files;
    if (open_files) open_files->prev = f;
    open_files = f;
    return f;
}

os_file *os_stdio(FILE *stream) { return stream ? os_file_over(0, stream) : nullptr; }

int os_write_out(os_file *f) {
    if (!f->writing || f->len == 0) return 0;
    size_t n = f->len;
    f->len = 0;
    if (os_native_write(f, f->buf, n) == 0) return 0;
    f->error = true;
    return -1;
}

void os_file_forget(os_file *f) {
    if (f->prev) f->prev->next = f->next;
    else open_files = f->next;
    if (f->next) f->next->prev = f->prev;
    if (f->own) free(f->buf);
    free(f);
}

int os_fclose(os_file *f) {
    int result = os_write_out(f);
    if (os_native_close(f) != 0) result = -1;
    os_file_forget(f);
    return result;
}

int os_setvbuf(os_file *f, char *buffer, size_t size) {
    if (f->len > 0 || size == 0) return -1;
    if (f->own) free(f->buf);
    f->buf = reinterpret_cast<unsigned char *>(buffer);
    f->cap = size;
    f->own = false;
    return 0;
}

size_t os_fread(void *buffer, size_t n, os_file *f) {
    unsigned char *out = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < n) {
        if (f->pos < f->len && !f->writing) {
            size_t take = f->len - f->pos < n - done ? f->len - f->pos : n - done;
            memcpy(out + done, f->buf + f->pos, take);
            f->pos += take, done += take;
            continue;
        }
        // What would fill the buffer and more goes straight into the caller's memory.
        if (n - done >= kBufferSize && !f->ended && !f->error && (!f->writing || os_write_out(f) == 0)) {
            f->writing = false;
            f->pos = f->len = 0;
            long long got = os_native_read(f, out + done, n - done);
            if (got <= 0) {
                if (got < 0) f->error = true;
                else f->ended = true;
                break;
            }
            done += size_t(got);
            continue;
        }
        if (!fill(f)) break;
    }
    return done;
}

int os_getc(os_file *f) {
    if (f->pos < f->len && !f->writing) return f->buf[f->pos++];
    return fill(f) ? f->buf[f->pos++] : -1;
}

char *os_fgets(char *buffer, int size, os_file *f) {
    int n = 0;
    while (n + 1 < size) {
        if ((f->pos >= f->len || f->writing) && !fill(f)) break;
        // The rest of the line, or of the buffer, at once.
        size_t room = size_t(size - 1 - n), have = f->len - f->pos;
        size_t take = have < room ? have : room;
        const unsigned char *lf = static_cast<const unsigned char *>(memchr(f->buf + f->pos, '\n', take));
        if (lf) take = size_t(lf - (f->buf + f->pos)) + 1;
        memcpy(buffer + n, f->buf + f->pos, take);
        f->pos += take, n += int(take);
        if (lf) break;
    }
    if (n == 0) return nullptr;
    buffer[n] = '\0';
    return buffer;
}

int os_ferror(os_file *f) { return f->error ? 1 : 0; }

size_t os_peek(os_file *f, const unsigned char **bytes) {
    *bytes = f->buf + f->pos;
    return f->writing || !f->buf ? 0 : f->len - f->pos;
}

void os_skip(os_file *f, size_t n) { f->pos += n; }

size_t os_fwrite(const void *data, size_t n, os_file *f) {
    if (!f->writing) {
        f->writing = true;
        f->pos = f->len = 0;
    }
    if (!have_buffer(f)) return 0;
    if (f->len + n > f->cap && os_write_out(f) != 0) return 0;
    if (n >= f->cap) {
        if (os_native_write(f, data, n) == 0) return n;
        f->error = true;
        return 0;
    }
    memcpy(f->buf + f->len, data, n);
    f->len += n;
    return n;
}

int os_fflush(os_file *f) {
    if (os_write_out(f) != 0) return -1;
    return f->stream && fflush(f->stream) != 0 ? (f->error = true, -1) : 0;
}

int os_fseek(os_file *f, long offset) {
    if (offset < 0 || os_write_out(f) != 0) return -1;
    f->writing = false;
    f->pos = f->len = 0;
    f->ended = false;
    return os_native_seek(f, offset);
}
