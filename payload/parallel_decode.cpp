// The payload's bzip2 stream decoded block by block on worker threads, and written in order.
//
// The calling thread reads the compressed file, finds the blocks and writes what the workers
// decoded; each worker decodes one block handed to it, started as its own thread and joined in
// the order of the blocks, so that at most `workers` blocks are decoded at a time and the next
// one is read meanwhile. Only whole blocks that decoded with their CRC right are written.
//
// An inconsistency that libbzip2 finds inside itself still ends the process with status 3 after
// its message, from whichever thread meets it: exit ends every thread of the process, on Windows
// and on Linux alike.
#include "parallel_decode.h"

#include <bzlib.h>
#include <stdlib.h>
#include <string.h>

#include "bzip2_stream.h"
#include "star_result.h"

namespace {

const size_t kReadPiece = 1 << 16;
// The longest stretch taken for one block: libbzip2 writes a block in under 2 MB (900 000 bytes at
// codes of up to 17 bits). A longer stretch between two magics is left to the one-pass decoding.
const size_t kMaxBlockBytes = 5 << 19;
// A block's decoded bytes are kept for writing up to this size. A block that decodes to more (a
// block of long runs can hold 45 MB) is only checked by its worker and decoded again as it is
// written, so that nothing unchecked is ever written.
const size_t kMaxOutput = 4 << 20;
const size_t kFirstOutput = 1 << 16;
// What libbzip2 allocates to decode blocks of 900 000 bytes, a little more than 4 bytes a byte.
const size_t kDecoderMemory = 3700000;
const size_t kBudget32 = 64 << 20;

struct block_job {
    unsigned char *stream;  // the block as a stream of its own
    size_t stream_cap, stream_size;
    unsigned char *out;  // its decoded bytes
    size_t out_cap, out_size;
    bool whole;      // decoded to its end mark, its CRC right, every input byte used
    bool too_large;  // whole, but more than kMaxOutput bytes: out holds none of them
    os_thread thread;
};

bool reserve(unsigned char **buffer, size_t *cap, size_t size) {
    if (*cap >= size) return true;
    void *bigger = realloc(*buffer, size);
    if (!bigger) return false;
    *buffer = static_cast<unsigned char *>(bigger);
    *cap = size;
    return true;
}

// A worker: decodes its job's stream into out, or, once more than kMaxOutput, only to the end.
void decode_block(void *arg) {
    block_job *job = static_cast<block_job *>(arg);
    job->whole = job->too_large = false;
    job->out_size = 0;
    bz_stream s;
    memset(&s, 0, sizeof s);
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return;
    s.next_in = reinterpret_cast<char *>(job->stream);
    s.avail_in = unsigned(job->stream_size);
    char scratch[1 << 14];
    for (;;) {
        if (!job->too_large && job->out_size == job->out_cap) {
            size_t bigger = job->out_cap < kFirstOutput ? kFirstOutput : 2 * job->out_cap;
            if (job->out_cap >= kMaxOutput) job->too_large = true;
            else if (!reserve(&job->out, &job->out_cap, bigger < kMaxOutput ? bigger : kMaxOutput)) break;
        }
        unsigned room = unsigned(job->too_large ? sizeof scratch : job->out_cap - job->out_size);
        s.next_out = job->too_large ? scratch : reinterpret_cast<char *>(job->out + job->out_size);
        s.avail_out = room;
        int r = BZ2_bzDecompress(&s);
        if (!job->too_large) job->out_size += room - s.avail_out;
        if (r == BZ_STREAM_END) {
            job->whole = s.avail_in == 0;
            break;
        }
        // An error, or all the input taken and more wanted.
        if (r != BZ_OK || (s.avail_in == 0 && s.avail_out > 0)) break;
    }
    BZ2_bzDecompressEnd(&s);
}

// The blocks in flight and the compressed bytes read ahead. Whatever way the decoding ends, every
// worker is joined before the memory it uses goes.
struct pipeline {
    os_file *in = nullptr;
    unsigned slots = 0, head = 0, running = 0;
    block_job *jobs = nullptr;
    unsigned char *bytes = nullptr;  // the compressed file from some byte on
    size_t cap = 0, size = 0;
    bool ended = false;

    ~pipeline() {
        for (; running > 0; running--, head = (head + 1) % slots) os_thread_join(jobs[head].thread);
        for (unsigned i = 0; jobs && i < slots; i++) {
            free(jobs[i].stream);
            free(jobs[i].out);
        }
        free(jobs);
        free(bytes);
    }
};

enum read_result { read_ok, read_error, read_too_long };

// Reads until p holds at least want bytes or the file has ended, after dropping the bytes before
// byte keep; *dropped says how many went.
read_result read_until(pipeline &p, size_t keep, size_t want, size_t *dropped) {
    *dropped = keep;
    if (keep > 0) memmove(p.bytes, p.bytes + keep, p.size - keep);
    p.size -= keep;
    want -= keep;
    while (p.size < want && !p.ended) {
        if (p.size + kReadPiece > p.cap) {
            const size_t most = kMaxBlockBytes + 2 * kReadPiece;
            size_t bigger = p.cap == 0 ? 2 * kReadPiece : 2 * p.cap;
            if (p.size > kMaxBlockBytes + 64 || !reserve(&p.bytes, &p.cap, bigger < most ? bigger : most))
                return read_too_long;
        }
        size_t got = os_fread(p.bytes + p.size, kReadPiece, p.in);
        p.size += got;
        if (got < kReadPiece) {
            if (os_ferror(p.in)) return read_error;
            p.ended = true;
        }
    }
    return read_ok;
}

// Writes a block the worker found whole; one beyond kMaxOutput is decoded again, piece by piece.
parallel_result write_block(block_job &job, os_file *archive) {
    if (!job.too_large) {
        if (os_fwrite(job.out, job.out_size, archive) == job.out_size) return parallel_decoded;
        star_fail(STAR_ERR_WRITE);
        return parallel_failed;
    }
    bz_stream s;
    memset(&s, 0, sizeof s);
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return parallel_fall_back;
    s.next_in = reinterpret_cast<char *>(job.stream);
    s.avail_in = unsigned(job.stream_size);
    parallel_result result = parallel_fall_back;
    for (;;) {
        s.next_out = reinterpret_cast<char *>(job.out);
        s.avail_out = unsigned(job.out_cap);
        int r = BZ2_bzDecompress(&s);
        size_t n = job.out_cap - s.avail_out;
        if (n > 0 && os_fwrite(job.out, n, archive) != n) {
            star_fail(STAR_ERR_WRITE);
            result = parallel_failed;
            break;
        }
        if (r != BZ_OK) {
            if (r == BZ_STREAM_END) result = parallel_decoded;
            break;
        }
    }
    BZ2_bzDecompressEnd(&s);
    return result;
}

// Joins the oldest block in flight and writes it.
parallel_result finish_oldest(pipeline &p, os_file *archive) {
    block_job &job = p.jobs[p.head];
    os_thread_join(job.thread);
    p.head = (p.head + 1) % p.slots;
    p.running--;
    return job.whole ? write_block(job, archive) : parallel_fall_back;
}

}  // namespace

unsigned decoding_workers(void) {
    unsigned workers = os_processor_count();
    if (sizeof(void *) == 4) {
        // Each worker's decoder and buffers, and one more job's and the read-ahead's buffers.
        const size_t job = kMaxBlockBytes + 16 + kMaxOutput;
        size_t fit = (kBudget32 - job - kMaxBlockBytes - 2 * kReadPiece) / (job + kDecoderMemory);
        if (workers > fit) workers = unsigned(fit);
    }
    return workers > 0 ? workers : 1;
}

parallel_result decompress_in_parallel(os_file *in, os_file *archive, unsigned workers) {
    pipeline p;
    p.in = in;
    p.slots = workers + 1;
    p.jobs = static_cast<block_job *>(calloc(p.slots, sizeof(block_job)));
    if (!p.jobs) return parallel_fall_back;
    size_t dropped;
    // The header, then the first block's magic (or the end's, for an empty stream) right after it.
    if (read_until(p, 0, 14, &dropped) != read_ok) return star_fail(STAR_ERR_READ), parallel_failed;
    if (p.size < 14 || memcmp(p.bytes, "BZh", 3) != 0 || p.bytes[3] < '1' || p.bytes[3] > '9')
        return parallel_fall_back;
    const char level = char(p.bytes[3]);
    uint64_t start = kBzHeaderBits;  // the current block's magic, in bits of p.bytes
    bool is_end = bz_get_bits(p.bytes, start, 48) == kBzEndMagic;
    if (!is_end && bz_get_bits(p.bytes, start, 48) != kBzBlockMagic) return parallel_fall_back;
    uint64_t scan = start + 1;
    uint32_t crc = 0;
    while (!is_end) {
        bool next_is_end = false;
        uint64_t next = bz_find_magic(p.bytes, p.size, scan, &next_is_end);
        if (next == kBzNone) {
            if (p.ended) return parallel_fall_back;  // no end: the stream is cut short
            // Every window that lies wholly within the bytes has been looked at.
            if (8 * uint64_t(p.size) > scan + 47) scan = 8 * uint64_t(p.size) - 47;
            read_result r = read_until(p, size_t(start / 8), p.size + kReadPiece, &dropped);
            if (r == read_error) return star_fail(STAR_ERR_READ), parallel_failed;
            if (r == read_too_long) return parallel_fall_back;
            start -= 8 * dropped;
            scan -= 8 * dropped;
            continue;
        }
        // The block from start to next, with its CRC; then into a free job and onto a thread.
        if (next - start < kBzMagicBits + kBzCrcBits) return parallel_fall_back;
        crc = bz_combine_crc(crc, uint32_t(bz_get_bits(p.bytes, start + kBzMagicBits, kBzCrcBits)));
        block_job &job = p.jobs[(p.head + p.running) % p.slots];
        if (!reserve(&job.stream, &job.stream_cap, bz_wrapped_size(next - start))) return parallel_fall_back;
        job.stream_size = bz_wrap_block(job.stream, level, p.bytes, start, next);
        if (p.running == workers) {
            parallel_result r = finish_oldest(p, archive);
            if (r != parallel_decoded) return r;
        }
        job.thread = os_thread_start(decode_block, &job);
        if (!job.thread) return parallel_fall_back;
        p.running++;
        start = next;
        scan = next + 1;
        is_end = next_is_end;
    }
    // The stream CRC follows the end magic.
    if (read_until(p, size_t(start / 8), size_t(start / 8) + 10 + 1, &dropped) != read_ok)
        return star_fail(STAR_ERR_READ), parallel_failed;
    start -= 8 * dropped;
    if (8 * uint64_t(p.size) < start + kBzMagicBits + kBzCrcBits) return parallel_fall_back;
    while (p.running > 0) {
        parallel_result r = finish_oldest(p, archive);
        if (r != parallel_decoded) return r;
    }
    return bz_get_bits(p.bytes, start + kBzMagicBits, kBzCrcBits) == crc ? parallel_decoded : parallel_fall_back;
}
