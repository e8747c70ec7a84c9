// The payload pipeline: resource to "tmp_inst.bz2", decompressed to "tmp_inst.sta", extracted.
#include "payload.h"

#include "parallel_decode.h"
#include "platform.h"
#include "star.h"
#include "transaction.h"

namespace {

const char kCompressed[] = "tmp_inst.bz2";
const char kArchive[] = "tmp_inst.sta";

// The archive is written a decoded stretch at a time and read back by the reader a line or a run at
// a time: a buffer of its own takes a system call per 64 KiB, where the C library's would take one
// per 4 KiB.
char archive_buffer[1 << 16];

// The temporary files are held for as long as they are used (os_hold_at): a second installer
// started from the same folder would otherwise empty them under the first, whose extraction could
// then end early at an entry's boundary and look complete. A file another run holds is left to
// it: that run fails with STAR_ERR_IN_USE, and removes nothing. Each is removed only while its
// name still stands for it: installed into the current folder, a file of the payload may have
// taken the name, and it stays.
star_result hold_temporary(os_dir *here, const char *name, os_file **f) {
    int held = 0;
    *f = os_hold_at(here, name, 1, &held);
    return *f ? STAR_OK : held ? STAR_ERR_IN_USE : STAR_ERR_WRITE;
}

// Writes the compressed bytes out whole, to be read back from the start. A short write or a
// failed flush (a full disk) is a failure: the file is removed again.
star_result write_compressed(os_dir *here, const void *data, unsigned long size, os_file **f) {
    star_result r = hold_temporary(here, kCompressed, f);
    if (r != STAR_OK) return r;
    if (os_fwrite(data, size, *f) == size && os_fflush(*f) == 0 && os_fseek(*f, 0) == 0) return STAR_OK;
    os_remove_held(*f, here, kCompressed);
    *f = nullptr;
    return STAR_ERR_WRITE;
}

// The payload resource's bytes.
star_result payload_bytes(const void **data, unsigned long *size) {
    os_resource res = os_find_resource(ZORV_PAYLOAD_ID, ZORV_RESOURCE_TYPE);
    if (!res) return STAR_ERR_NO_PAYLOAD;
    *size = os_sizeof_resource(res);
    void *loaded = os_load_resource(res);
    *data = loaded ? os_lock_resource(loaded) : nullptr;
    return *data ? STAR_OK : STAR_ERR_NO_PAYLOAD;
}

}  // namespace

star_result decode_payload(decoded_payload *p) {
    p->here = nullptr;
    p->archive = nullptr;
    const void *data;
    unsigned long size;
    star_result r = payload_bytes(&data, &size);
    if (r != STAR_OK) return r;
    // The temporary files live in the current folder, held by handle as any folder a run writes in.
    os_dir *here = os_open_dir(".");
    if (!here) return STAR_ERR_WRITE;
    os_file *in = nullptr, *archive = nullptr;
    r = write_compressed(here, data, size, &in);
    if (r == STAR_OK) r = hold_temporary(here, kArchive, &archive);
    if (r == STAR_OK) {
        os_setvbuf(archive, archive_buffer, sizeof archive_buffer);
        bool parallel;
        r = decode_bzip2(in, archive, decoding_workers(), &parallel);
        // The repositioning also switches the file from writing to reading.
        p->size = r == STAR_OK ? os_file_size(archive) : -1;
        if (r == STAR_OK && (p->size < 0 || os_fseek(archive, 0) != 0)) r = STAR_ERR_READ;
    }
    if (in) os_remove_held(in, here, kCompressed);
    if (r != STAR_OK) {
        if (archive) os_remove_held(archive, here, kArchive);
        os_close_dir(here);
        return r;
    }
    p->here = here;
    p->archive = archive;
    return STAR_OK;
}

star_result install_decoded(decoded_payload *p, const char *target_dir) {
    star_result r = target_dir ? install_archive(p->archive, target_dir, (unsigned long long)p->size) : STAR_OK;
    os_end_write_outs();
    os_remove_held(p->archive, p->here, kArchive);
    os_close_dir(p->here);
    p->archive = nullptr;
    p->here = nullptr;
    return r;
}

star_result install_payload(const char *target_dir) {
    decoded_payload p;
    star_result r = decode_payload(&p);
    return r == STAR_OK ? install_decoded(&p, target_dir) : r;
}
