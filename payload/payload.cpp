// The payload pipeline: resource to "tmp_inst.bz2", decompressed to "tmp_inst.sta", extracted.
#include "payload.h"

#include <bzlib.h>
#include <stdio.h>

#include "platform.h"
#include "star.h"

namespace {

const char kCompressed[] = "tmp_inst.bz2";
const char kArchive[] = "tmp_inst.sta";

// The archive is written in pieces of 4096 bytes and read back by the reader: a larger buffer
// than stdio's default takes a system call per 64 KiB instead of one per piece.
char archive_buffer[1 << 16];

// Writes the compressed bytes out whole. A short write or a failed close (a full disk) is a
// failure: the file is removed again.
bool write_compressed(const void *data, unsigned long size) {
    FILE *f = os_fopen(kCompressed, "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    if (!ok) os_remove(kCompressed);
    return ok;
}

// Decompresses "tmp_inst.bz2" into archive. Only a stream decoded to its end mark, every block and
// the stream CRC checked, and written whole counts: otherwise nothing may be extracted from it,
// because the pieces written before a failing block would carry damaged bytes into the target.
bool decompress(BZFILE *in, FILE *archive) {
    char buffer[4096];
    int n;
    while ((n = BZ2_bzread(in, buffer, sizeof buffer)) > 0)
        if (fwrite(buffer, 1, size_t(n), archive) != size_t(n)) return false;
    return n == 0 && fflush(archive) == 0;
}

}  // namespace

int install_payload(const char *target_dir) {
    os_resource res = os_find_resource(ZORV_PAYLOAD_ID, ZORV_RESOURCE_TYPE);
    if (!res) return -1;
    unsigned long size = os_sizeof_resource(res);
    void *loaded = os_load_resource(res);
    if (!loaded) return -1;
    const void *data = os_lock_resource(loaded);
    if (!data) return -1;

    if (!write_compressed(data, size)) return -1;
    FILE *archive = os_fopen(kArchive, "w+b");
    if (!archive) {
        os_remove(kCompressed);
        return -1;
    }
    setvbuf(archive, archive_buffer, _IOFBF, sizeof archive_buffer);
    BZFILE *in = BZ2_bzopen(kCompressed, "rb");
    if (!in) {
        fclose(archive);
        os_remove(kArchive);
        os_remove(kCompressed);
        return -1;
    }
    bool whole = decompress(in, archive);
    BZ2_bzclose(in);
    os_remove(kCompressed);

    int result = -1;
    // The repositioning also switches the "w+b" stream from writing to reading.
    if (whole && fseek(archive, 0, SEEK_SET) == 0) result = star_extract_all(archive, target_dir) == 0 ? 0 : -1;
    fclose(archive);
    os_remove(kArchive);
    return result;
}
