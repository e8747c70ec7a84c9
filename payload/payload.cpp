// The payload pipeline: resource to "tmp_inst.bz2", decompressed to "tmp_inst.sta", extracted.
#include "payload.h"

#include <bzlib.h>
#include <string.h>

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
os_file *hold_temporary(os_dir *here, const char *name) {
    int held = 0;
    os_file *f = os_hold_at(here, name, 1, &held);
    if (!f) star_fail(held ? STAR_ERR_IN_USE : STAR_ERR_WRITE);
    return f;
}

// Writes the compressed bytes out whole, to be read back from the start. A short write or a
// failed flush (a full disk) is a failure: the file is removed again.
os_file *write_compressed(os_dir *here, const void *data, unsigned long size) {
    os_file *f = hold_temporary(here, kCompressed);
    if (!f) return nullptr;
    if (os_fwrite(data, size, f) == size && os_fflush(f) == 0 && os_fseek(f, 0) == 0) return f;
    star_fail(STAR_ERR_WRITE);
    os_remove_held(f, here, kCompressed);
    return nullptr;
}

// Decodes the first bzip2 stream of in into archive in one pass, reading and writing through the
// seam in pieces of 64 KiB: a call through the seam costs more under Wine than natively. Only a stream decoded to
// its end mark, every block and the stream CRC checked, and written whole counts; bytes after the
// end mark are never read. Otherwise nothing may be extracted from it, because the pieces written
// before a failing block would carry damaged bytes into the target.
star_result decompress_in_one_pass(os_file *in, os_file *archive) {
    bz_stream s;
    memset(&s, 0, sizeof s);
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return STAR_ERR_READ;
    static char input[1 << 16], piece[1 << 16];
    bool input_ended = false;
    star_result why = STAR_OK;
    for (;;) {
        if (s.avail_in == 0 && !input_ended) {
            s.next_in = input;
            s.avail_in = unsigned(os_fread(input, sizeof input, in));
            if (s.avail_in == 0) {
                if (os_ferror(in)) {
                    why = STAR_ERR_READ;
                    break;
                }
                input_ended = true;
            }
        }
        s.next_out = piece;
        s.avail_out = sizeof piece;
        int r = BZ2_bzDecompress(&s);
        if (r != BZ_OK && r != BZ_STREAM_END) {
            why = r == BZ_MEM_ERROR ? STAR_ERR_READ : STAR_ERR_DAMAGED;
            break;
        }
        size_t n = sizeof piece - s.avail_out;
        if (n > 0 && os_fwrite(piece, n, archive) != n) {
            why = STAR_ERR_WRITE;
            break;
        }
        if (r == BZ_STREAM_END) break;
        // All the input is in and the decoder wants more without having filled its output.
        if (input_ended && s.avail_in == 0 && s.avail_out > 0) {
            why = STAR_ERR_CUT_SHORT;
            break;
        }
    }
    BZ2_bzDecompressEnd(&s);
    return why;
}

// The decoding on every processor; whatever that cannot prove right (a damaged stream among it)
// is decoded again in one pass from the start, over what it wrote, so that every stream ends as
// one pass ends it.
bool decompress(os_file *in, os_file *archive) {
    star_result why = STAR_OK;
    switch (decompress_in_parallel(in, archive, decoding_workers())) {
    case parallel_decoded:
        break;
    case parallel_failed:
        return false;
    case parallel_fall_back:
        if (os_fseek(in, 0) != 0) why = STAR_ERR_READ;
        else if (os_fseek(archive, 0) != 0) why = STAR_ERR_WRITE;
        else why = decompress_in_one_pass(in, archive);
        break;
    }
    if (why == STAR_OK && os_fflush(archive) != 0) why = STAR_ERR_WRITE;
    if (why != STAR_OK) star_fail(why);
    return why == STAR_OK;
}

}  // namespace

int decode_payload(decoded_payload *p) {
    p->here = nullptr;
    p->archive = nullptr;
    os_resource res = os_find_resource(ZORV_PAYLOAD_ID, ZORV_RESOURCE_TYPE);
    if (!res) return star_fail(STAR_ERR_NO_PAYLOAD);
    unsigned long size = os_sizeof_resource(res);
    void *loaded = os_load_resource(res);
    if (!loaded) return star_fail(STAR_ERR_NO_PAYLOAD);
    const void *data = os_lock_resource(loaded);
    if (!data) return star_fail(STAR_ERR_NO_PAYLOAD);

    // The temporary files live in the current folder, held by handle as any folder a run writes in.
    os_dir *here = os_open_dir(".");
    if (!here) return star_fail(STAR_ERR_WRITE);
    os_file *in = write_compressed(here, data, size);
    os_file *archive = in ? hold_temporary(here, kArchive) : nullptr;
    if (!archive) {
        star_result why = star_last_error();
        if (in) os_remove_held(in, here, kCompressed);
        os_close_dir(here);
        return star_fail(why);
    }
    os_setvbuf(archive, archive_buffer, sizeof archive_buffer);
    bool whole = decompress(in, archive);
    os_remove_held(in, here, kCompressed);
    // The repositioning also switches the file from writing to reading.
    p->size = whole ? os_file_size(archive) : -1;
    if (whole && (p->size < 0 || os_fseek(archive, 0) != 0)) whole = false, star_fail(STAR_ERR_READ);
    if (!whole) {
        star_result why = star_last_error();
        os_remove_held(archive, here, kArchive);
        os_close_dir(here);
        return star_fail(why);
    }
    p->here = here;
    p->archive = archive;
    return 0;
}

int install_decoded(decoded_payload *p, const char *target_dir) {
    int result = target_dir && install_archive(p->archive, target_dir, (unsigned long long)p->size) == 0 ? 0 : -1;
    os_remove_held(p->archive, p->here, kArchive);
    os_close_dir(p->here);
    p->archive = nullptr;
    p->here = nullptr;
    return result;
}

int install_payload(const char *target_dir) {
    decoded_payload p;
    return decode_payload(&p) == 0 ? install_decoded(&p, target_dir) : -1;
}
