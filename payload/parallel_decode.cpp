// The payload's bzip2 stream decoded block by block on worker threads, and written in order.
//
// The calling thread reads the compressed file, finds the blocks and writes what the workers
// decoded. The workers are started once per run, as their first jobs come, and each keeps its
// decoder's memory from one job to the next. A job is a stretch of consecutive blocks decoded as
// one stream: a block of ordinary size alone, small ones together, since each job costs a handing
// over and a decoder's set-up whatever its size. Job k goes to worker k modulo their number, and
// jobs are waited for in their order, so that at most one job a worker is decoded at a time and
// the next one is read meanwhile. Only whole jobs that decoded with every CRC right are written.
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
// Consecutive blocks go to one job until they hold this many compressed bytes: a block of
// ordinary size (a few hundred kilobytes) goes alone, blocks of a few bytes by the thousand.
const size_t kJobBytes = 1 << 16;
// The compressed bytes held at most: a job's blocks, the block being found, a piece being read.
const size_t kMostBytes = kJobBytes + kMaxBlockBytes + 2 * kReadPiece;
// A job's decoded bytes are kept for writing up to this size. A job that decodes to more (a block
// of long runs can hold 45 MB) is only checked by its worker and decoded again as it is written,
// so that nothing unchecked is ever written.
const size_t kMaxOutput = 4 << 20;
const size_t kFirstOutput = 1 << 16;
// What libbzip2 allocates to decode blocks of 900 000 bytes, a little more than 4 bytes a byte.
const size_t kDecoderMemory = 3700000;
const size_t kBudget32 = 64 << 20;

// A decoder's memory, kept from one stream to the next: libbzip2 asks for the same sizes at every
// stream (its state, then the arrays of the block size), and gets them back at once, so that a
// job's BZ2_bzDecompressInit and BZ2_bzDecompressEnd make no system call and touch no fresh page.
struct arena {
    struct piece {
        void *memory;
        size_t size;
        bool in_use;
    } pieces[4];
};

void *arena_alloc(void *opaque, int items, int size) {
    arena *a = static_cast<arena *>(opaque);
    size_t n = size_t(items) * size_t(size);
    arena::piece *spare = nullptr;
    for (arena::piece &p : a->pieces) {
        if (p.in_use) continue;
        if (p.memory && p.size == n) {
            p.in_use = true;
            return p.memory;
        }
        if (!spare || !p.memory) spare = &p;
    }
    if (!spare) return nullptr;  // libbzip2 then reports BZ_MEM_ERROR
    free(spare->memory);
    spare->memory = malloc(n);
    spare->size = n;
    spare->in_use = spare->memory != nullptr;
    return spare->memory;
}

void arena_free(void *opaque, void *memory) {
    for (arena::piece &p : static_cast<arena *>(opaque)->pieces)
        if (p.memory == memory) p.in_use = false;
}

void arena_release(arena &a) {
    for (arena::piece &p : a.pieces) free(p.memory);
}

int open_decoder(bz_stream *s, arena *memory) {
    memset(s, 0, sizeof *s);
    s->bzalloc = arena_alloc;
    s->bzfree = arena_free;
    s->opaque = memory;
    return BZ2_bzDecompressInit(s, 0, 0);
}

struct block_job {
    unsigned char *stream;  // its blocks as a stream of their own
    size_t stream_cap, stream_size;
    unsigned char *out;  // their decoded bytes
    size_t out_cap, out_size;
    arena *memory;   // the decoder's: its worker's
    unsigned on;     // that worker
    bool whole;      // decoded to its end mark, every CRC right, every input byte used
    bool too_large;  // whole, but more than kMaxOutput bytes: out holds none of them
};

bool reserve(unsigned char **buffer, size_t *cap, size_t size) {
    if (*cap >= size) return true;
    void *bigger = realloc(*buffer, size);
    if (!bigger) return false;
    *buffer = static_cast<unsigned char *>(bigger);
    *cap = size;
    return true;
}

// A worker's job: decodes the stream into out, or, once more than kMaxOutput, only to the end.
void decode_job(void *arg) {
    block_job *job = static_cast<block_job *>(arg);
    job->whole = job->too_large = false;
    job->out_size = 0;
    bz_stream s;
    if (open_decoder(&s, job->memory) != BZ_OK) return;
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

struct worker {
    os_worker thread;
    arena memory;
};

// The workers, the jobs in flight and the compressed bytes read ahead. Whatever way the decoding
// ends, every job in flight is waited for and every worker stopped before the memory they use goes.
struct pipeline {
    os_file *in = nullptr;
    unsigned workers = 0, started = 0;
    worker *crew = nullptr;
    arena own = {};  // the calling thread's decoder, for jobs decoded again as they are written
    unsigned slots = 0, head = 0, running = 0;
    unsigned long long handed = 0;
    block_job *jobs = nullptr;
    unsigned char *bytes = nullptr;  // the compressed file from some byte on
    size_t cap = 0, size = 0;
    bool ended = false;

    ~pipeline() {
        for (; running > 0; running--, head = (head + 1) % slots) os_worker_wait(crew[jobs[head].on].thread);
        for (unsigned i = 0; i < started; i++) {
            os_worker_stop(crew[i].thread);
            arena_release(crew[i].memory);
        }
        arena_release(own);
        for (unsigned i = 0; jobs && i < slots; i++) {
            free(jobs[i].stream);
            free(jobs[i].out);
        }
        free(jobs);
        free(crew);
        free(bytes);
    }
};

enum read_result { read_ok, read_error, read_no_memory };

// Reads until p holds at least want bytes or the file has ended, after dropping the bytes before
// byte keep; *dropped says how many went.
read_result read_until(pipeline &p, size_t keep, size_t want, size_t *dropped) {
    *dropped = keep;
    if (keep > 0) memmove(p.bytes, p.bytes + keep, p.size - keep);
    p.size -= keep;
    want -= keep;
    while (p.size < want && !p.ended) {
        if (p.size + kReadPiece > p.cap) {
            size_t bigger = p.cap == 0 ? 2 * kReadPiece : 2 * p.cap;
            if (bigger > kMostBytes) bigger = kMostBytes;
            if (p.size + kReadPiece > bigger || !reserve(&p.bytes, &p.cap, bigger)) return read_no_memory;
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

// Writes a job the worker found whole; one beyond kMaxOutput is decoded again, piece by piece.
parallel_result write_job(block_job &job, os_file *archive, arena *memory) {
    if (!job.too_large) {
        if (os_fwrite(job.out, job.out_size, archive) == job.out_size) return parallel_decoded;
        star_fail(STAR_ERR_WRITE);
        return parallel_failed;
    }
    bz_stream s;
    if (open_decoder(&s, memory) != BZ_OK) return parallel_fall_back;
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

// Waits for the oldest job in flight and writes it.
parallel_result finish_oldest(pipeline &p, os_file *archive) {
    block_job &job = p.jobs[p.head];
    os_worker_wait(p.crew[job.on].thread);
    p.head = (p.head + 1) % p.slots;
    p.running--;
    return job.whole ? write_job(job, archive, &p.own) : parallel_fall_back;
}

// Hands job to the next worker in turn, which has none in hand: the oldest job was its last.
// False when that worker, on its first job, cannot be started.
bool hand_out(pipeline &p, block_job &job) {
    unsigned w = unsigned(p.handed % p.workers);
    if (w == p.started) {
        p.crew[w].thread = os_worker_start();
        if (!p.crew[w].thread) return false;
        p.started++;
    }
    job.memory = &p.crew[w].memory;
    job.on = w;
    os_worker_give(p.crew[w].thread, decode_job, &job);
    p.handed++;
    p.running++;
    return true;
}

}  // namespace

unsigned decoding_workers(void) {
    unsigned workers = os_processor_count();
    if (sizeof(void *) == 4) {
        // Each worker's decoder and job buffers, and one more job's and the read-ahead's buffers.
        const size_t job = bz_wrapped_size(8 * uint64_t(kJobBytes + kMaxBlockBytes)) + kMaxOutput;
        size_t fit = (kBudget32 - job - kMostBytes) / (job + kDecoderMemory);
        if (workers > fit) workers = unsigned(fit);
    }
    return workers > 0 ? workers : 1;
}

parallel_result decompress_in_parallel(os_file *in, os_file *archive, unsigned workers) {
    pipeline p;
    p.in = in;
    p.workers = workers;
    p.slots = workers + 1;
    p.jobs = static_cast<block_job *>(calloc(p.slots, sizeof(block_job)));
    p.crew = static_cast<worker *>(calloc(workers, sizeof(worker)));
    if (!p.jobs || !p.crew) return parallel_fall_back;
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
    uint64_t job_start = start;  // the first block not yet handed out
    uint32_t crc = 0, job_crc = 0;
    while (!is_end) {
        bool next_is_end = false;
        uint64_t next = bz_find_magic(p.bytes, p.size, scan, &next_is_end);
        if (next == kBzNone) {
            if (p.ended) return parallel_fall_back;  // no end: the stream is cut short
            if (p.size - size_t(start / 8) > kMaxBlockBytes + 64) return parallel_fall_back;
            // Every window that lies wholly within the bytes has been looked at.
            if (8 * uint64_t(p.size) > scan + 47) scan = 8 * uint64_t(p.size) - 47;
            read_result r = read_until(p, size_t(job_start / 8), p.size + kReadPiece, &dropped);
            if (r == read_error) return star_fail(STAR_ERR_READ), parallel_failed;
            if (r == read_no_memory) return parallel_fall_back;
            start -= 8 * dropped;
            scan -= 8 * dropped;
            job_start -= 8 * dropped;
            continue;
        }
        // The block from start to next, with its CRC.
        if (next - start < kBzMagicBits + kBzCrcBits) return parallel_fall_back;
        uint32_t block_crc = uint32_t(bz_get_bits(p.bytes, start + kBzMagicBits, kBzCrcBits));
        crc = bz_combine_crc(crc, block_crc);
        job_crc = bz_combine_crc(job_crc, block_crc);
        start = next;
        scan = next + 1;
        is_end = next_is_end;
        if (!is_end && (next - job_start) / 8 < kJobBytes) continue;
        // The blocks from job_start to next, into a free job and onto a worker.
        block_job &job = p.jobs[(p.head + p.running) % p.slots];
        if (!reserve(&job.stream, &job.stream_cap, bz_wrapped_size(next - job_start))) return parallel_fall_back;
        job.stream_size = bz_wrap_blocks(job.stream, level, p.bytes, job_start, next, job_crc);
        if (p.running == p.workers) {
            parallel_result r = finish_oldest(p, archive);
            if (r != parallel_decoded) return r;
        }
        if (!hand_out(p, job)) return parallel_fall_back;
        job_start = next;
        job_crc = 0;
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
