// The packer's compression on every core, cut where bzip2 cuts its blocks and spliced into one stream.
//
// bzip2 codes runs of equal bytes first (a run of 4 to 255 bytes takes 5, shorter runs their
// length) and ends a block once it holds 899 981 such bytes, before it takes the next byte; the
// run then still open begins the next block. A piece of the input cut at exactly those places,
// compressed by libbzip2 on its own, is one block with the same bits as in the whole stream. So
// this thread counts the runs and cuts, workers compress the pieces, and this thread splices the
// blocks, in order, bit by bit between one header and one end, with the stream CRC of theirs.
#include "zorv_pack_compress.h"

#include <bzlib.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
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

}  // namespace

compress_result compress_bzip2_blocks(const std::string &in_path, const std::string &out_path,
                                      unsigned long long max_size, unsigned workers,
                                      const std::function<void(long long done)> &progress, std::string &error) {
    if (workers == 0) workers = std::thread::hardware_concurrency();
    if (workers == 0) workers = 1;
    std::ifstream in(in_path, std::ios::binary);
    spliced out;
    if (in) out.file.open(out_path, std::ios::binary | std::ios::trunc);
    bool ok = in && out.file, too_large = false;
    if (ok) {
        out.room(4);
        for (char c : std::string("BZh9")) out.put((unsigned char)c, 8);
        ok = out.flush();
    }

    // One piece more than workers is in flight, so that no core waits while the oldest piece, the
    // next to be spliced, is still being compressed. Piece k takes memory k % in_flight: the piece
    // in_flight before it has been joined by then.
    const size_t in_flight = workers + 1;
    std::vector<kept_memory> memory(in_flight);
    std::deque<std::unique_ptr<piece>> running;
    long long done = 0, started = 0;
    auto finish_oldest = [&] {
        piece &p = *running.front();
        if (p.worker.joinable()) p.worker.join();
        ok = ok && splice(out, p);
        too_large = too_large || out.written > max_size;
        done += p.size;
        running.pop_front();
        if (ok && !too_large) progress(done);
    };
    auto start = [&](long long begin, long long end) {
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
    };

    // bzip2's run-length coding, counted: a block's coded bytes, the run still open and its start.
    long long coded = 0, at = 0, run_start = 0, piece_start = 0;
    int run_byte = -1, run_length = 0;
    std::vector<unsigned char> chunk(kChunk);
    while (ok && !too_large) {
        in.read(reinterpret_cast<char *>(chunk.data()), std::streamsize(chunk.size()));
        size_t got = size_t(in.gcount());
        if (in.bad()) ok = false;
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
                start(piece_start, run_start);
                piece_start = run_start;
                coded = 0;
            }
        }
        at += (long long)got;
    }
    if (at > piece_start) start(piece_start, at);
    while (!running.empty()) finish_oldest();

    if (ok && !too_large) {
        out.room(16);
        out.put(kBzEndMagic, 48);
        out.put(out.crc, 32);
        bz_finish(&out.bits);
        ok = out.flush();
        too_large = out.written > max_size;
    }
    if (out.file.is_open()) {
        out.file.close();
        if (out.file.fail()) ok = false;
    }
    if (!ok) {
        error = "compressing the archive into " + out_path + " failed";
        return compress_failed;
    }
    return too_large ? compress_too_large : compressed;
}
