// The bzip2 stream bit by bit: what the installer cuts into blocks and the packer splices blocks into.
//
// A stream is "BZh" and the block size digit ('1' to '9', in 100 000 bytes), then its blocks, each
// starting with the block magic at any bit position followed by the block's CRC, then the end
// magic, the stream CRC and zero bits to the byte. Bits run from each byte's highest. A block
// decodes on its own: given "BZh" and the same digit in front and the end magic with its own CRC
// behind, it is a stream of one block whose bytes are that block's.
#ifndef ZORV_BZIP2_STREAM_H
#define ZORV_BZIP2_STREAM_H

#include <stddef.h>
#include <stdint.h>

const uint64_t kBzBlockMagic = 0x314159265359ULL;
const uint64_t kBzEndMagic = 0x177245385090ULL;
const unsigned kBzHeaderBits = 32, kBzMagicBits = 48, kBzCrcBits = 32;
// The bytes from a stream's start to the end of its first block's CRC ("BZh9", magic, CRC), and
// the bytes an end magic and the stream CRC take at most, with the padding to the byte.
const size_t kBzFirstBlockBytes = (kBzHeaderBits + kBzMagicBits + kBzCrcBits) / 8;
const size_t kBzEndBytes = (kBzMagicBits + kBzCrcBits) / 8 + 1;
// No magic found.
const uint64_t kBzNone = ~uint64_t(0);

// The stream CRC once one more block follows.
inline uint32_t bz_combine_crc(uint32_t stream_crc, uint32_t block_crc) {
    return (stream_crc << 1 | stream_crc >> 31) ^ block_crc;
}

// n bits (at most 57) of data from bit position at; only the bytes holding them are read.
uint64_t bz_get_bits(const unsigned char *data, uint64_t at, unsigned n);

// The first block or end magic at bit position from or later that lies wholly within
// data[0, size): its position (is_end tells which), or kBzNone. A magic found need not start a
// block: the same 48 bits can occur by chance inside one.
uint64_t bz_find_magic(const unsigned char *data, size_t size, uint64_t from, bool *is_end);

// Writes bits into a buffer the caller sizes, from the highest bit of each byte. Fewer than 8 bits
// wait in pending until more come or bz_finish pads them with zeros.
struct bz_bit_writer {
    unsigned char *out;  // where the next whole byte goes
    uint64_t pending;
    unsigned pending_bits;
};
void bz_put_bits(bz_bit_writer *w, uint64_t value, unsigned n);  // n at most 32
void bz_copy_bits(bz_bit_writer *w, const unsigned char *src, uint64_t from, uint64_t n);
void bz_finish(bz_bit_writer *w);

// Bytes that blocks of n bits need as a stream of their own (bz_wrap_blocks), at most.
inline size_t bz_wrapped_size(uint64_t n) { return size_t(n / 8) + 16; }
// Writes bits [from, to) of src, whole consecutive blocks of a stream whose header digit is level,
// into out as a stream of those blocks alone, crc being their CRCs combined: its size in bytes.
size_t bz_wrap_blocks(unsigned char *out, char level, const unsigned char *src, uint64_t from, uint64_t to,
                      uint32_t crc);

// In a stream of one block (as libbzip2 writes one of a single piece): where the block's bits end
// (the end magic starts) and its CRC. False when the stream is not one block with its end.
bool bz_single_block(const unsigned char *stream, size_t size, uint64_t *end, uint32_t *crc);

#endif
