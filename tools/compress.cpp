// The packer's compression on every core, cut where bzip2 cuts its blocks and spliced into one stream.
//
// bzip2 codes runs of equal bytes first (a run of 4 to 255 bytes takes 5, shorter runs their
// length) and ends a block once it holds 899 981 such bytes, before it takes the next byte; the
// run then still open begins the next block. A piece of the input cut at exactly those places,
// compressed by libbzip2 on its own, is one block with the same bits as in the whole stream. So
// this thread counts the runs and cuts, workers compress the pieces, and this thread splices the
// blocks, in order, bit by bit between one header and one end, with the stream CRC of theirs.
#include "compress.h"

#include <bzlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "bzip2_stream.h"

namespace {

const long long kBlockLimit = 100000 * 9 - 19;
const size_t kChunk = 1 << 20;

// libbzip2's tables for one compression (some 7.6 MB), kept for the next piece: allocating them
// afresh for every piece costs the system a new page for each 4 KiB of them.
struct kept_memory {
    struct block {
        size_t size;
        void *memory;
        bool used;
    };
    std::vector<block> blocks;
    ~kept_memory() {
        for (block &b : blocks) free(b.memory);
    }
    static void *take(void *self, int items, int size) {
        auto &blocks = static_cast<kept_memory *>(self)->blocks;
        size_t n = size_t(items) * size_t(size);
        for (block &b : blocks)
            if (!b.used && b.size == n) return b.used = true, b.memory;
        void *memory = malloc(n);
        if (memory) blocks.push_back({n, memory, true});
        return memory;
    }
    static void give_back(void *self, void *memory) {
        for (block &b : static_cast<kept_memory *>(self)->blocks)
            if (b.memory == memory) b.used = false;
    }
};

struct piece {
    long long begin = 0, size = 0;  // bytes of the input
    kept_memory *memory = nullptr;  // no other piece in flight has the same
    std::string stream;             // compressed as a stream of their own
    bool ok = false;
    std::thread worker;
};

// A worker: the piece's bytes, read from the input file, compressed as bzip2 -9 compresses.
void compress_piece(const std::string &path, piece *p) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(p->begin);
    bz_stream s;
    memset(&s, 0, sizeof s);
    s.bzalloc = kept_memory::take;
    s.bzfree = kept_memory::give_back;
    s.opaque = p->memory;
    if (!in || BZ2_bzCompressInit(&s, 9, 0, 0) != BZ_OK) return;
    std::vector<char> input(1 << 18), output(1 << 16);
    long long left = p->size;
    int action = BZ_RUN;
    bool ok = true;
    while (ok) {
        if (s.avail_in == 0 && action == BZ_RUN) {
            if (left == 0) {
                action = BZ_FINISH;
            } else {
                size_t n = size_t(left < (long long)input.size() ? left : (long long)input.size());
                ok = bool(in.read(input.data(), std::streamsize(n)));
                left -= (long long)n;
                s.next_in = input.data();
                s.avail_in = unsigned(n);
            }
        }
        s.next_out = output.data();
        s.avail_out = unsigned(output.size());
        int r = BZ2_bzCompress(&s, action);
        p->stream.append(output.data(), output.size() - s.avail_out);
        if (r == BZ_STREAM_END) break;
        if (r != BZ_RUN_OK && r != BZ_FINISH_OK) ok = false;
    }
    BZ2_bzCompressEnd(&s);
    p->ok = ok;
}

// The stream as it is written: whole bytes go to the file, the bits of a last part byte wait.
struct spliced {
    std::ofstream file;
    std::vector<unsigned char> buffer;
    bz_bit_writer bits{};
    uint32_t crc = 0;
    unsigned long long written = 0;

    bool flush() {
        size_t n = size_t(bits.out - buffer.data());
        file.write(reinterpret_cast<const char *>(buffer.data()), std::streamsize(n));
        written += n;
        return bool(file);
    }
    unsigned char *room(size_t n) {
        if (buffer.size() < n) buffer.resize(n);
        return bits.out = buffer.data();
    }
    void put(uint64_t value, unsigned n) {
        if (n > 32) put(value >> 32, n - 32);
        bz_put_bits(&bits, value & 0xffffffffu, n > 32 ? 32 : n);
    }
};

// Appends a piece's block, the bits between its stream's header and end.
bool splice(spliced &out, const piece &p) {
    const unsigned char *stream = reinterpret_cast<const unsigned char *>(p.stream.data());
    uint64_t end;
    uint32_t crc;
    if (!p.ok || !bz_single_block(stream, p.stream.size(), &end, &crc)) return false;
    out.crc = bz_combine_crc(out.crc, crc);
    out.room(p.stream.size() + 8);
    bz_copy_bits(&out.bits, stream, kBzHeaderBits, end - kBzHeaderBits);
    return out.flush();
}

// The pieces in flight, oldest first, and the stream they are spliced into in that order. One
// piece more than workers is in flight, so that no core waits while the oldest piece, the next to
// be spliced, is still being compressed. Piece k takes memory k % in_flight: the piece in_flight
// before it has been joined by then.
struct pipeline {
    const std::string &in_path;
    const output_limit &limit;
    const std::function<void(long long done)> &progress;
    size_t in_flight;
    std::vector<kept_memory> memory = std::vector<kept_memory>(in_flight);
    std::deque<std::unique_ptr<piece>> running{};
    spliced out{};
    long long done = 0, started = 0;
    bool ok = true, too_large = false;

    void finish_oldest() {
        piece &p = *running.front();
        if (p.worker.joinable()) p.worker.join();
        ok = ok && splice(out, p);
        too_large = too_large || out.written > limit.bytes;
        done += p.size;
        running.pop_front();
        if (ok && !too_large) progress(done);
    }
    void start(long long begin, long long end) {
        if (running.size() == in_flight) finish_oldest();
        if (!ok || too_large) return;
        running.push_back(std::make_unique<piece>());
        piece *p = running.back().get();
        p->begin = begin;
        p->size = end - begin;
        p->memory = &memory[size_t(started++) % in_flight];
        try {
            p->worker = std::thread(compress_piece, std::cref(in_path), p);
        } catch (const std::system_error &) {
            compress_piece(in_path, p);
        }
    }
};

// Reads the input and starts a piece at every place where bzip2 ends a block: its run-length
// coding counted, a block's coded bytes, the run still open and where that run began.
void cut_into_pieces(std::ifstream &in, pipeline &line) {
    long long coded = 0, at = 0, run_start = 0, piece_start = 0;
    int run_byte = -1, run_length = 0;
    std::vector<unsigned char> chunk(kChunk);
    while (line.ok && !line.too_large) {
        in.read(reinterpret_cast<char *>(chunk.data()), std::streamsize(chunk.size()));
        size_t got = size_t(in.gcount());
        if (in.bad()) line.ok = false;
        if (got == 0) break;
        for (size_t i = 0; i < got; i++) {
            if (chunk[i] != run_byte || run_length == 255) {
                coded += run_length < 4 ? run_length : 5;
                run_byte = chunk[i];
                run_length = 1;
                run_start = at + (long long)i;
            } else {
                run_length++;
            }
            if (coded >= kBlockLimit) {
                line.start(piece_start, run_start);
                piece_start = run_start;
                coded = 0;
            }
        }
        at += (long long)got;
    }
    if (at > piece_start) line.start(piece_start, at);
    while (!line.running.empty()) line.finish_oldest();
}

}  // namespace

bool compress_bzip2_blocks(const std::string &in_path, const std::string &out_path, const output_limit &limit,
                           unsigned workers, const std::function<void(long long done)> &progress, std::string &error) {
    if (workers == 0) workers = std::thread::hardware_concurrency();
    if (workers == 0) workers = 1;
    std::ifstream in(in_path, std::ios::binary);
    pipeline line{in_path, limit, progress, workers + 1};
    spliced &out = line.out;
    if (in) out.file.open(out_path, std::ios::binary | std::ios::trunc);
    line.ok = in && out.file;
    if (line.ok) {
        out.room(4);
        for (char c : std::string("BZh9")) out.put((unsigned char)c, 8);
        line.ok = out.flush();
    }
    cut_into_pieces(in, line);
    if (line.ok && !line.too_large) {
        out.room(16);
        out.put(kBzEndMagic, 48);
        out.put(out.crc, 32);
        bz_finish(&out.bits);
        line.ok = out.flush();
        line.too_large = out.written > limit.bytes;
    }
    if (out.file.is_open()) {
        out.file.close();
        if (out.file.fail()) line.ok = false;
    }
    if (!line.ok) error = "compressing the archive into " + out_path + " failed";
    else if (line.too_large) error = limit.refusal;
    return line.ok && !line.too_large;
}

namespace {

// One line on standard error, rewritten in place: megabytes done of the total, the rate, the time
// left. It first shows after half a second, so that a small folder packs without it, and then
// four times a second at most.
struct progress_line {
    bool on = false;
    long long total = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double shown_at = 0;

    void show(long long done) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!on || elapsed < 0.5 || elapsed - shown_at < 0.25) return;
        shown_at = elapsed;
        double rate = done / elapsed;
        long left = rate > 0 ? long((total - done) / rate + 0.5) : 0;
        fprintf(stderr, "\rzorv-pack: compressing %.0f of %.0f MB, %.1f MB/s, %ld:%02ld left\033[K", done / 1e6,
                total / 1e6, rate / 1e6, left / 60, left % 60);
    }
    void clear() {
        if (on && shown_at > 0) fputs("\r\033[K", stderr);
    }
};

}  // namespace

bool compress_bzip2(const std::string &in_path, const std::string &out_path, const output_limit &limit, bool progress,
                    std::string &error) {
    progress_line line;
    std::error_code ec;
    line.total = (long long)std::filesystem::file_size(in_path, ec);
    line.on = progress && !ec;
    bool ok = compress_bzip2_blocks(in_path, out_path, limit, 0, [&line](long long done) { line.show(done); }, error);
    line.clear();
    return ok;
}
