// The bzip2 stream bit by bit: finding magics, copying bits, streams of one block.
#include "bzip2_stream.h"

uint64_t bz_get_bits(const unsigned char *data, uint64_t at, unsigned n) {
    const unsigned char *p = data + at / 8;
    unsigned skip = unsigned(at % 8), bytes = (skip + n + 7) / 8;
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; i++) v = v << 8 | p[i];
    return (v >> (bytes * 8 - skip - n)) & ((uint64_t(1) << n) - 1);
}

// A magic that starts d bits before a byte boundary (d from 0 to 7) lays down two whole bytes
// there that only the offset decides: a byte of compressed data is looked at closer only where it
// and the next could be those two, for the same magic and offset, and that is rare.
struct magic_bytes {
    uint16_t first[256], second[256];  // bit 8m + d: magic m at offset d lays this byte down
};

constexpr magic_bytes make_magic_bytes() {
    magic_bytes t{};
    const uint64_t magics[2] = {kBzBlockMagic, kBzEndMagic};
    for (unsigned m = 0; m < 2; m++)
        for (unsigned d = 0; d < 8; d++) {
            t.first[(magics[m] >> (40 - d)) & 0xff] |= uint16_t(1u << (8 * m + d));
            t.second[(magics[m] >> (32 - d)) & 0xff] |= uint16_t(1u << (8 * m + d));
        }
    return t;
}

constexpr magic_bytes kMagicBytes = make_magic_bytes();

uint64_t bz_find_magic(const unsigned char *data, size_t size, uint64_t from, bool *is_end) {
    // A magic wholly within the data lays its first whole byte down at size - 6 at the latest.
    for (uint64_t k = (from + 7) / 8; k + 6 <= size; k++) {
        unsigned could = kMagicBytes.first[data[k]] & kMagicBytes.second[data[k + 1]];
        if (!could) continue;
        for (int d = 7; d >= 0; d--) {  // the starts in their order
            uint64_t at = 8 * k - unsigned(d);
            if (!(could & (0x101u << d)) || 8 * k < unsigned(d) || at < from) continue;
            uint64_t bits = bz_get_bits(data, at, 48);
            if (bits != kBzBlockMagic && bits != kBzEndMagic) continue;
            *is_end = bits == kBzEndMagic;
            return at;
        }
    }
    return kBzNone;
}

void bz_put_bits(bz_bit_writer *w, uint64_t value, unsigned n) {
    w->pending = w->pending << n | value;
    w->pending_bits += n;
    while (w->pending_bits >= 8) {
        w->pending_bits -= 8;
        *w->out++ = (unsigned char)(w->pending >> w->pending_bits);
    }
    w->pending &= (uint64_t(1) << w->pending_bits) - 1;
}

void bz_copy_bits(bz_bit_writer *w, const unsigned char *src, uint64_t from, uint64_t n) {
    // Whole source bytes at a time once the source is aligned: most of a block's bits.
    while (n > 0 && from % 8 != 0) {
        unsigned take = unsigned(8 - from % 8 < n ? 8 - from % 8 : n);
        bz_put_bits(w, bz_get_bits(src, from, take), take);
        from += take, n -= take;
    }
    const unsigned char *p = src + from / 8;
    if (w->pending_bits == 0) {
        for (; n >= 8; n -= 8) *w->out++ = *p++;
    } else {
        unsigned keep = w->pending_bits, shift = 8 - keep;
        unsigned carry = unsigned(w->pending);
        for (; n >= 8; n -= 8) {
            unsigned byte = *p++;
            *w->out++ = (unsigned char)(carry << shift | byte >> keep);
            carry = byte & ((1u << keep) - 1);
        }
        w->pending = carry;
    }
    if (n > 0) bz_put_bits(w, *p >> (8 - n), unsigned(n));
}

void bz_finish(bz_bit_writer *w) {
    if (w->pending_bits > 0) bz_put_bits(w, 0, 8 - w->pending_bits);
}

size_t bz_wrap_blocks(unsigned char *out, char level, const unsigned char *src, uint64_t from, uint64_t to,
                      uint32_t crc) {
    bz_bit_writer w = {out, 0, 0};
    const char header[4] = {'B', 'Z', 'h', level};
    for (char c : header) bz_put_bits(&w, (unsigned char)c, 8);
    bz_copy_bits(&w, src, from, to - from);
    bz_put_bits(&w, kBzEndMagic >> 16, 32);
    bz_put_bits(&w, kBzEndMagic & 0xffff, 16);
    bz_put_bits(&w, crc, 32);
    bz_finish(&w);
    return size_t(w.out - out);
}

bool bz_single_block(const unsigned char *stream, size_t size, uint64_t *end, uint32_t *crc) {
    const uint64_t first = kBzHeaderBits, tail = kBzMagicBits + kBzCrcBits;
    if (size < 4 + 20 || bz_get_bits(stream, first, 48) != kBzBlockMagic) return false;
    *crc = uint32_t(bz_get_bits(stream, first + kBzMagicBits, kBzCrcBits));
    for (unsigned pad = 0; pad < 8; pad++) {
        uint64_t at = 8 * uint64_t(size) - pad - tail;
        if (bz_get_bits(stream, at, 48) == kBzEndMagic && bz_get_bits(stream, at + 48, 32) == *crc &&
            (pad == 0 || bz_get_bits(stream, at + tail, pad) == 0)) {
            *end = at;
            return true;
        }
    }
    return false;
}
