// The payload's bzip2 stream decoded block by block on worker threads, or else in one pass.
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

#include "bzip2_decoder.h"
#include "bzip2_stream.h"

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

struct block_job {
    unsigned char *stream;  // its blocks as a stream of their own
    size_t stream_cap, stream_size;
    unsigned char *out;  // their decoded bytes
    size_t out_cap, out_size;
    bz_arena *memory;  // the decoder's: its worker's
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
    bz_decoder d;
    if (bz_decoder_open(&d, job->memory) != STAR_OK) return;
    d.s.next_in = reinterpret_cast<char *>(job->stream);
    d.s.avail_in = unsigned(job->stream_size);
    d.input_ended = true;
    char scratch[1 << 14];
    star_result r = STAR_OK;
    while (r == STAR_OK && !d.finished) {
        if (!job->too_large && job->out_size == job->out_cap) {
            size_t bigger = job->out_cap < kFirstOutput ? kFirstOutput : 2 * job->out_cap;
            if (job->out_cap >= kMaxOutput) job->too_large = true;
            else if (!reserve(&job->out, &job->out_cap, bigger < kMaxOutput ? bigger : kMaxOutput)) break;
        }
        size_t got;
        if (job->too_large) r = bz_decode(&d, scratch, sizeof scratch, &got);
        else r = bz_decode(&d, reinterpret_cast<char *>(job->out + job->out_size), job->out_cap - job->out_size, &got);
        if (!job->too_large) job->out_size += got;
    }
    job->whole = d.finished && d.s.avail_in == 0;
    bz_decoder_close(&d);
}

struct worker {
    os_worker thread;
    bz_arena memory;
};

// The workers, the jobs in flight and the compressed bytes read ahead. Whatever way the decoding
// ends, every job in flight is waited for and every worker stopped before the memory they use goes.
struct pipeline {
    os_file *in = nullptr;
    unsigned workers = 0, started = 0;
    worker *crew = nullptr;
    bz_arena own = {};  // the calling thread's decoder, for jobs decoded again as they are written
    unsigned slots = 0, head = 0, running = 0;
    unsigned long long handed = 0;
    block_job *jobs = nullptr;
    unsigned char *bytes = nullptr;  // the compressed file from some byte on
    size_t cap = 0, size = 0;
    bool ended = false;
    star_result failure = STAR_OK;  // a read or write that failed: no falling back from that

    ~pipeline() {
        for (; running > 0; running--, head = (head + 1) % slots) os_worker_wait(crew[jobs[head].on].thread);
        for (unsigned i = 0; i < started; i++) {
            os_worker_stop(crew[i].thread);
            bz_arena_release(&crew[i].memory);
        }
        bz_arena_release(&own);
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

// Writes a job the worker found whole; one beyond kMaxOutput is decoded again, piece by piece. False
// when the job is not written whole: a write that failed (p.failure says so), or a job to fall back
// from.
bool write_job(pipeline &p, block_job &job, os_file *archive) {
    if (!job.too_large) {
        if (os_fwrite(job.out, job.out_size, archive) == job.out_size) return true;
        p.failure = STAR_ERR_WRITE;
        return false;
    }
    bz_decoder d;
    if (bz_decoder_open(&d, &p.own) != STAR_OK) return false;
    d.s.next_in = reinterpret_cast<char *>(job.stream);
    d.s.avail_in = unsigned(job.stream_size);
    d.input_ended = true;
    star_result r = STAR_OK;
    while (r == STAR_OK && !d.finished) {
        size_t got;
        r = bz_decode(&d, reinterpret_cast<char *>(job.out), job.out_cap, &got);
        if (got > 0 && os_fwrite(job.out, got, archive) != got) r = p.failure = STAR_ERR_WRITE;
    }
    bz_decoder_close(&d);
    return r == STAR_OK;
}

// Waits for the oldest job in flight and writes it.
bool finish_oldest(pipeline &p, os_file *archive) {
    block_job &job = p.jobs[p.head];
    os_worker_wait(p.crew[job.on].thread);
    p.head = (p.head + 1) % p.slots;
    p.running--;
    return job.whole && write_job(p, job, archive);
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

namespace {

// Decodes the stream's blocks on the workers: true when every one decoded whole, false to fall back
// (or, with p.failure set, on a read or write that failed).
bool in_parallel(pipeline &p, os_file *archive) {
    p.slots = p.workers + 1;
    p.jobs = static_cast<block_job *>(calloc(p.slots, sizeof(block_job)));
    p.crew = static_cast<worker *>(calloc(p.workers, sizeof(worker)));
    if (!p.jobs || !p.crew) return false;
    size_t dropped;
    // The header, then the first block's magic (or the end's, for an empty stream) right after it.
    if (read_until(p, 0, kBzFirstBlockBytes, &dropped) != read_ok) return p.failure = STAR_ERR_READ, false;
    if (p.size < kBzFirstBlockBytes || memcmp(p.bytes, "BZh", 3) != 0 || p.bytes[3] < '1' || p.bytes[3] > '9')
        return false;
    const char level = char(p.bytes[3]);
    uint64_t start = kBzHeaderBits;  // the current block's magic, in bits of p.bytes
    bool is_end = bz_get_bits(p.bytes, start, kBzMagicBits) == kBzEndMagic;
    if (!is_end && bz_get_bits(p.bytes, start, kBzMagicBits) != kBzBlockMagic) return false;
    uint64_t scan = start + 1;
    uint64_t job_start = start;  // the first block not yet handed out
    uint32_t crc = 0, job_crc = 0;
    while (!is_end) {
        bool next_is_end = false;
        uint64_t next = bz_find_magic(p.bytes, p.size, scan, &next_is_end);
        if (next == kBzNone) {
            if (p.ended) return false;  // no end: the stream is cut short
            if (p.size - size_t(start / 8) > kMaxBlockBytes + 64) return false;
            // Every window that lies wholly within the bytes has been looked at.
            if (8 * uint64_t(p.size) > scan + kBzMagicBits - 1) scan = 8 * uint64_t(p.size) - (kBzMagicBits - 1);
            read_result r = read_until(p, size_t(job_start / 8), p.size + kReadPiece, &dropped);
            if (r == read_error) return p.failure = STAR_ERR_READ, false;
            if (r == read_no_memory) return false;
            start -= 8 * dropped;
            scan -= 8 * dropped;
            job_start -= 8 * dropped;
            continue;
        }
        // The block from start to next, with its CRC.
        if (next - start < kBzMagicBits + kBzCrcBits) return false;
        uint32_t block_crc = uint32_t(bz_get_bits(p.bytes, start + kBzMagicBits, kBzCrcBits));
        crc = bz_combine_crc(crc, block_crc);
        job_crc = bz_combine_crc(job_crc, block_crc);
        start = next;
        scan = next + 1;
        is_end = next_is_end;
        if (!is_end && (next - job_start) / 8 < kJobBytes) continue;
        // The blocks from job_start to next, into a free job and onto a worker.
        block_job &job = p.jobs[(p.head + p.running) % p.slots];
        if (!reserve(&job.stream, &job.stream_cap, bz_wrapped_size(next - job_start))) return false;
        job.stream_size = bz_wrap_blocks(job.stream, level, p.bytes, job_start, next, job_crc);
        if ((p.running == p.workers && !finish_oldest(p, archive)) || !hand_out(p, job)) return false;
        job_start = next;
        job_crc = 0;
    }
    // The stream CRC follows the end magic.
    if (read_until(p, size_t(start / 8), size_t(start / 8) + kBzEndBytes, &dropped) != read_ok)
        return p.failure = STAR_ERR_READ, false;
    start -= 8 * dropped;
    if (8 * uint64_t(p.size) < start + kBzMagicBits + kBzCrcBits) return false;
    while (p.running > 0)
        if (!finish_oldest(p, archive)) return false;
    return bz_get_bits(p.bytes, start + kBzMagicBits, kBzCrcBits) == crc;
}

// Decodes the stream in one pass, reading and writing through the seam in pieces of 64 KiB.
star_result in_one_pass(os_file *in, os_file *archive) {
    bz_decoder d;
    star_result r = bz_decoder_open(&d, nullptr);
    static char input[1 << 16], piece[1 << 16];
    while (r == STAR_OK && !d.finished) {
        if (d.s.avail_in == 0 && !d.input_ended) {
            d.s.next_in = input;
            d.s.avail_in = unsigned(os_fread(input, sizeof input, in));
            if (d.s.avail_in == 0 && os_ferror(in)) r = STAR_ERR_READ;
            d.input_ended = d.s.avail_in == 0;
        }
        size_t got = 0;
        if (r == STAR_OK) r = bz_decode(&d, piece, sizeof piece, &got);
        if (got > 0 && os_fwrite(piece, got, archive) != got) r = STAR_ERR_WRITE;
    }
    bz_decoder_close(&d);
    return r;
}

}  // namespace

star_result decode_bzip2(os_file *in, os_file *archive, unsigned workers, bool *parallel) {
    star_result r;
    {
        pipeline p;
        p.in = in;
        p.workers = workers;
        *parallel = in_parallel(p, archive);
        r = p.failure;
    }
    if (*parallel || r != STAR_OK) return r;
    // Over what the blocks' way wrote, from the start, so that every stream ends as one pass ends it.
    if (os_fseek(in, 0) != 0) return STAR_ERR_READ;
    if (os_fseek(archive, 0) != 0) return STAR_ERR_WRITE;
    return in_one_pass(in, archive);
}
