#include "storage/inflate.hpp"

#include "storage/adler32.hpp"
#include "storage/be.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

// Deflate's longest Huffman code.
constexpr unsigned max_code_bits = 15;
// Symbols of each alphabet: literal/length codes (286 and 287 exist only
// in the fixed code and are invalid), distance codes (30 and 31 likewise),
// and the code-length alphabet of a dynamic block header.
constexpr unsigned litlen_symbols = 288;
constexpr unsigned dist_symbols = 32;
constexpr unsigned codelen_symbols = 19;
// The most literal/length and distance codes a dynamic block may declare.
constexpr unsigned max_litlen_codes = 286;
constexpr unsigned max_dist_codes = 30;
constexpr unsigned end_of_block = 256;
// The longest match; the fast loop keeps this much room in the output,
// with 32 bytes more for its copies in whole pieces and 2 for the
// literals it may take before a match.
constexpr size_t max_match = 258;
constexpr size_t fast_out_margin = max_match + 32 + 2;
// Bits of the direct look-up tables. Codes longer than this are rare (a
// symbol seen less than once in 2^bits) and are decoded a bit at a time.
constexpr unsigned litlen_table_bits = 10;
constexpr unsigned dist_table_bits = 8;
constexpr unsigned codelen_table_bits = 7;

constexpr std::array<uint16_t, 29> length_base = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> length_extra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> dist_base = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                                33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> dist_extra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic header gives the code-length code's lengths.
constexpr std::array<uint8_t, codelen_symbols> codelen_order = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                11, 4,  12, 3, 13, 2, 14, 1, 15};

// Table entries: what one code stands for, ready to use, with the code's
// length in the low 4 bits (0: no code of at most the table's bits starts
// with these bits) and bits 4 to 7 clear, so that the entry's low 6 bits
// are the shift that takes the code. Bits 8 to 11 hold the count of extra
// bits that follow a length or distance code; a length's base is in bits
// 16 to 24 and a distance's in bits 16 to 30, so that one look-up gives a
// match's whole shape. A literal's byte, and a code-length symbol, are in
// bits 16 to 23.
constexpr uint32_t literal_flag = 0x8000'0000;
constexpr uint32_t block_end_flag = 0x4000'0000;
constexpr uint32_t invalid_length_flag = 0x2000'0000;  // litlen 286 and 287
constexpr uint32_t invalid_distance_flag = 0x8000'0000;  // distance 30 and 31

constexpr unsigned code_bits(uint32_t e) { return e & 15; }
constexpr unsigned extra_bits(uint32_t e) { return (e >> 8) & 15; }
constexpr uint8_t entry_byte(uint32_t e) { return static_cast<uint8_t>(e >> 16); }

// What each symbol stands for, without its code's length.
constexpr std::array<uint32_t, litlen_symbols> litlen_meaning = [] {
    std::array<uint32_t, litlen_symbols> t{};
    for (unsigned s = 0; s < 256; ++s) t[s] = literal_flag | s << 16;
    t[end_of_block] = block_end_flag;
    for (unsigned i = 0; i < length_base.size(); ++i) t[257 + i] = uint32_t(length_base[i]) << 16 | uint32_t(length_extra[i]) << 8;
    t[286] = t[287] = invalid_length_flag;
    return t;
}();
constexpr std::array<uint32_t, dist_symbols> dist_meaning = [] {
    std::array<uint32_t, dist_symbols> t{};
    for (unsigned i = 0; i < dist_base.size(); ++i) t[i] = uint32_t(dist_base[i]) << 16 | uint32_t(dist_extra[i]) << 8;
    t[30] = t[31] = invalid_distance_flag;
    return t;
}();
constexpr std::array<uint32_t, codelen_symbols> codelen_meaning = [] {
    std::array<uint32_t, codelen_symbols> t{};
    for (unsigned s = 0; s < codelen_symbols; ++s) t[s] = s << 16;
    return t;
}();

// A canonical Huffman code: a direct table of entries on its first `bits`
// bits, and the counts and the meanings of the symbols in code order,
// which decode the longer codes.
template <unsigned table_bits, unsigned symbols>
struct huffman {
    std::array<uint32_t, size_t(1) << table_bits> table{};
    std::array<uint16_t, max_code_bits + 1> count{};
    std::array<uint32_t, symbols> sorted{};
};

// Byte values with their bits in reverse order: deflate sends Huffman
// codes from their top bit, and the tables are indexed by the bits as read.
constexpr std::array<uint8_t, 256> reversed_bytes = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned v = 0; v < 256; ++v)
        for (unsigned i = 0; i < 8; ++i) t[v] |= static_cast<uint8_t>(((v >> i) & 1) << (7 - i));
    return t;
}();

// The `length` low bits of `code` (length 1 to 15) in reverse order.
uint32_t reversed(uint32_t code, unsigned length) {
    const uint32_t r16 = uint32_t(reversed_bytes[code & 0xff]) << 8 | reversed_bytes[(code >> 8) & 0xff];
    return r16 >> (16 - length);
}

// Builds the code of `lengths` (0: the symbol has no code), each symbol
// standing for `meaning[symbol]`. Refuses an over-subscribed code and an
// incomplete one; a code with no symbols at all is taken (a block of
// literals may have no distance code), and every look-up in it fails.
template <unsigned table_bits, unsigned symbols>
bool build(huffman<table_bits, symbols>& h, const uint8_t* lengths, unsigned n, const uint32_t* meaning) {
    h.count.fill(0);
    for (unsigned s = 0; s < n; ++s) ++h.count[lengths[s]];
    h.count[0] = 0;
    int32_t left = 1;
    unsigned coded = 0;
    for (unsigned len = 1; len <= max_code_bits; ++len) {
        left = left * 2 - h.count[len];
        if (left < 0) return false;
        coded += h.count[len];
    }
    if (coded == 0) {
        h.table.fill(0);
        return true;
    }
    if (left > 0) return false;
    // The symbols in code order: by length, then by symbol.
    std::array<uint16_t, max_code_bits + 2> offset{};
    for (unsigned len = 1; len <= max_code_bits; ++len) offset[len + 1] = static_cast<uint16_t>(offset[len] + h.count[len]);
    std::array<uint16_t, max_code_bits + 2> at = offset;
    for (unsigned s = 0; s < n; ++s)
        if (lengths[s]) h.sorted[at[lengths[s]]++] = meaning[s];
    // The table is grown a bit at a time: at `len` bits it holds the
    // entries of the codes of at most `len` bits, 0 where a longer code
    // starts. Doubling it repeats each entry for the next bit's two values;
    // the codes of the new length then take their places, numbered on from
    // the last code of the length before (the canonical order).
    h.table[0] = 0;
    uint32_t code = 0;
    for (unsigned len = 1; len <= table_bits; ++len) {
        const size_t size = size_t(1) << (len - 1);
        std::memcpy(&h.table[size], &h.table[0], size * sizeof(h.table[0]));
        code <<= 1;
        for (unsigned k = offset[len]; k < offset[len + 1]; ++k) h.table[reversed(code++, len)] = h.sorted[k] | len;
    }
    return true;
}

// The input as a bit stream: a 64-bit buffer, its low `n` bits unread.
// Bits above `n` may hold a copy of the next input bytes; every refill
// puts the same bytes at the same places, so the OR leaves them right.
// Past the input's end zero bytes are fed in and counted (`padded`); a
// stream that ends up using one of them was cut short.
struct bit_reader {
    const uint8_t* p = nullptr;
    const uint8_t* end = nullptr;
    uint64_t buf = 0;
    unsigned n = 0;
    unsigned padded = 0;

    // Needs 8 readable bytes at p; leaves 56 to 63 bits.
    void refill_fast() {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
        buf |= w << n;
        p += (63 - n) >> 3;
        n |= 56;
    }
    void refill() {
        if (end - p >= 8) return refill_fast();
        while (n < 56) {
            if (p < end) buf |= uint64_t(*p++) << n;
            else ++padded;
            n += 8;
        }
    }
    uint32_t peek(unsigned count) const { return static_cast<uint32_t>(buf & ((uint64_t(1) << count) - 1)); }
    void drop(unsigned count) {
        buf >>= count;
        n -= count;
    }
    // Takes the code of entry `e`: its low 6 bits are the code's length.
    void drop_code(uint32_t e) {
        buf >>= e & 63;
        n -= code_bits(e);
    }
    uint32_t take(unsigned count) {
        const uint32_t v = peek(count);
        drop(count);
        return v;
    }
    // Takes a code of entry `e` and its extra bits; gives the base the
    // entry holds plus the value of the extra bits.
    uint32_t take_entry_value(uint32_t e) {
        const uint64_t bits = buf;
        const unsigned code = code_bits(e), extra = extra_bits(e);
        drop(code + extra);
        return (e >> 16) + static_cast<uint32_t>((bits >> code) & ((uint32_t(1) << extra) - 1));
    }
    // True while no fed-in zero byte has been used.
    bool within_input() const { return n >= 8 * padded; }
    // Where the next whole unread byte is, after the bits of a partly read
    // byte are dropped; the buffer is emptied. Only when within_input().
    const uint8_t* byte_position() {
        drop(n & 7);
        const uint8_t* at = p - (n / 8 - padded);
        buf = 0;
        n = 0;
        padded = 0;
        return at;
    }
};

// The entry of the code that starts the buffered bits (at least 15 of
// them), not yet taken: the direct table's, else one found by canonical
// decoding a bit at a time from the counts. 0 for bits that are no code.
template <unsigned table_bits, unsigned symbols>
inline uint32_t long_code(const bit_reader& r, const huffman<table_bits, symbols>& h) {
    int32_t code = 0, first = 0, index = 0;
    for (unsigned len = 1; len <= max_code_bits; ++len) {
        code |= static_cast<int32_t>((r.buf >> (len - 1)) & 1);
        const int32_t count = h.count[len];
        if (code - first < count) return h.sorted[static_cast<size_t>(index + code - first)] | len;
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return 0;
}
template <unsigned table_bits, unsigned symbols>
inline uint32_t code_entry(const bit_reader& r, const huffman<table_bits, symbols>& h) {
    const uint32_t e = h.table[r.peek(table_bits)];
    return code_bits(e) ? e : long_code(r, h);
}

using litlen_code = huffman<litlen_table_bits, litlen_symbols>;
using dist_code = huffman<dist_table_bits, dist_symbols>;

// The codes of the current block: the fixed ones, built once, or the
// block's own, built from its header into `own_litlen` and `own_dist`.
struct decoder {
    bit_reader in;
    uint8_t* out = nullptr;
    size_t pos = 0;
    size_t cap = 0;
    const litlen_code* litlen = nullptr;
    const dist_code* dist = nullptr;
    litlen_code own_litlen;
    dist_code own_dist;
};

enum class step { block_end, failed, slow };

// A match copied in whole pieces of `width` bytes, each read from bytes
// already written (the distance is at least `width`); the last may run up
// to width - 1 bytes past the match, inside the fast loop's margin.
template <size_t width>
inline void copy_in_pieces(uint8_t* dst, const uint8_t* src, size_t length) {
    uint8_t* const stop = dst + length;
    do {
        std::memcpy(dst, src, width);
        dst += width;
        src += width;
    } while (dst < stop);
}

// A match of distance 2 to 7 copied 8 bytes at a time, each piece read
// `distance` bytes behind where it goes: its first `distance` bytes are
// right, the rest are written again by the next piece, and the last runs
// up to 7 bytes past the match, inside the fast loop's margin.
inline void copy_short_distance(uint8_t* dst, const uint8_t* src, size_t distance, size_t length) {
    uint8_t* const stop = dst + length;
    do {
        uint64_t piece;
        std::memcpy(&piece, src, 8);
        std::memcpy(dst, &piece, 8);
        dst += distance;
        src += distance;
    } while (dst < stop);
}

// The symbols of one Huffman block. The fast variant runs while 16 input
// bytes and a longest match's room remain, without checking either, and
// returns `slow` when they do not; the careful one checks every byte.
template <bool fast>
step decode_symbols(decoder& d) {
    // Kept in locals: the output's bytes may alias anything, so state
    // reached through `d` would be stored and loaded again at every write.
    bit_reader r = d.in;
    uint8_t* const out = d.out;
    const size_t cap = d.cap;
    const litlen_code& litlen = *d.litlen;
    const dist_code& dist = *d.dist;
    size_t pos = d.pos;
    step result = step::failed;
    // In the fast variant the entry of the next code is looked up as soon
    // as the bits before it are taken, ahead of the match's copy, whose
    // writes it could not be moved across otherwise. The look-up is right
    // even when fewer than the table's bits are counted: a fast refill
    // loads 8 whole bytes, so every bit of the buffer is the input's, and
    // a match takes at most 48 of them (15 + 5 for its length, 15 + 13 for
    // its distance). `stale` asks for a look-up after the refill instead.
    uint32_t e = 0;
    bool stale = true;
    for (;;) {
        if constexpr (fast) {
            if (r.end - r.p < 16 || cap - pos < fast_out_margin) {
                result = step::slow;
                break;
            }
            r.refill_fast();
            if (stale) e = litlen.table[r.peek(litlen_table_bits)];
            stale = false;
            // Literals whose codes the table holds take at most 10 bits
            // each: up to three are taken from one refill, and after two
            // the buffer is refilled for the match that may follow.
            if (e & literal_flag) {
                r.drop_code(e);
                out[pos++] = entry_byte(e);
                e = litlen.table[r.peek(litlen_table_bits)];
                if (e & literal_flag) {
                    r.drop_code(e);
                    out[pos++] = entry_byte(e);
                    e = litlen.table[r.peek(litlen_table_bits)];
                    if (e & literal_flag) {
                        r.drop_code(e);
                        out[pos++] = entry_byte(e);
                        e = litlen.table[r.peek(litlen_table_bits)];
                        continue;
                    }
                }
                r.refill_fast();
            }
            if (!code_bits(e)) e = long_code(r, litlen);
        } else {
            r.refill();
            e = code_entry(r, litlen);
        }
        if (!code_bits(e)) break;
        if (e & literal_flag) {
            r.drop_code(e);
            if constexpr (!fast) {
                if (pos == cap || !r.within_input()) break;
            }
            out[pos++] = entry_byte(e);
            stale = true;
            continue;
        }
        if (e & (block_end_flag | invalid_length_flag)) {
            r.drop_code(e);
            if (e & block_end_flag) result = step::block_end;
            break;
        }
        const size_t length = r.take_entry_value(e);
        const uint32_t de = code_entry(r, dist);
        if (!code_bits(de) || (de & invalid_distance_flag)) break;
        const size_t distance = r.take_entry_value(de);
        if (distance > pos) break;
        if constexpr (!fast) {
            if (length > cap - pos || !r.within_input()) break;
        }
        if constexpr (fast) e = litlen.table[r.peek(litlen_table_bits)];
        uint8_t* dst = out + pos;
        const uint8_t* src = dst - distance;
        pos += length;
        if (fast && distance >= 16) {
            // Most matches are at most 32 bytes long: two pieces of 16
            // cover them without a loop whose end the branch predictor
            // would miss.
            std::memcpy(dst, src, 16);
            std::memcpy(dst + 16, src + 16, 16);
            if (length > 32) copy_in_pieces<16>(dst + 32, src + 32, length - 32);
        } else if (distance == 1) {
            std::memset(dst, *src, length);
        } else if (fast && distance >= 8) {
            copy_in_pieces<8>(dst, src, length);
        } else if (fast) {
            copy_short_distance(dst, src, distance, length);
        } else {
            for (size_t i = 0; i < length; ++i) dst[i] = src[i];
        }
    }
    d.in = r;
    d.pos = pos;
    return result;
}

bool huffman_block(decoder& d) {
    for (;;) {
        const step s = decode_symbols<true>(d);
        if (s == step::block_end) return true;
        if (s == step::failed) return false;
        const step t = decode_symbols<false>(d);
        if (t != step::slow) return t == step::block_end && d.in.within_input();
    }
}

bool stored_block(decoder& d) {
    bit_reader& r = d.in;
    r.drop(r.n & 7);
    r.refill();
    const uint32_t length = r.take(16);
    const uint32_t complement = r.take(16);
    if (!r.within_input() || (length ^ 0xffff) != complement) return false;
    const uint8_t* at = r.byte_position();
    if (length > size_t(r.end - at) || length > d.cap - d.pos) return false;
    if (length) std::memcpy(d.out + d.pos, at, length);
    d.pos += length;
    r.p = at + length;
    return true;
}

// The fixed codes, built on first use (thread-safe) and shared from then on.
struct fixed_code_tables {
    litlen_code litlen;
    dist_code dist;
    fixed_code_tables() {
        std::array<uint8_t, litlen_symbols + dist_symbols> lengths{};
        std::fill(lengths.begin(), lengths.begin() + 144, uint8_t(8));
        std::fill(lengths.begin() + 144, lengths.begin() + 256, uint8_t(9));
        std::fill(lengths.begin() + 256, lengths.begin() + 280, uint8_t(7));
        std::fill(lengths.begin() + 280, lengths.begin() + 288, uint8_t(8));
        std::fill(lengths.begin() + 288, lengths.end(), uint8_t(5));
        build(litlen, lengths.data(), litlen_symbols, litlen_meaning.data());
        build(dist, lengths.data() + litlen_symbols, dist_symbols, dist_meaning.data());
    }
};

void fixed_codes(decoder& d) {
    static const fixed_code_tables fixed;
    d.litlen = &fixed.litlen;
    d.dist = &fixed.dist;
}

bool dynamic_codes(decoder& d) {
    bit_reader& r = d.in;
    r.refill();
    const unsigned litlen_count = r.take(5) + 257;
    const unsigned dist_count = r.take(5) + 1;
    const unsigned codelen_count = r.take(4) + 4;
    if (litlen_count > max_litlen_codes || dist_count > max_dist_codes) return false;
    std::array<uint8_t, codelen_symbols> codelen_lengths{};
    for (unsigned i = 0; i < codelen_count; ++i) {
        r.refill();
        codelen_lengths[codelen_order[i]] = static_cast<uint8_t>(r.take(3));
    }
    huffman<codelen_table_bits, codelen_symbols> codelen;
    if (!build(codelen, codelen_lengths.data(), codelen_symbols, codelen_meaning.data())) return false;
    bool any = false;
    for (uint16_t c : codelen.count) any = any || c != 0;
    if (!any) return false;

    std::array<uint8_t, max_litlen_codes + max_dist_codes> lengths{};
    const unsigned total = litlen_count + dist_count;
    for (unsigned have = 0; have < total;) {
        r.refill();
        const uint32_t e = code_entry(r, codelen);
        if (!code_bits(e)) return false;
        r.drop_code(e);
        if (!r.within_input()) return false;
        const unsigned sym = entry_byte(e);
        if (sym < 16) {
            lengths[have++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint8_t value = 0;
        unsigned repeat = 0;
        if (sym == 16) {
            if (have == 0) return false;
            value = lengths[have - 1];
            repeat = 3 + r.take(2);
        } else if (sym == 17) {
            repeat = 3 + r.take(3);
        } else {
            repeat = 11 + r.take(7);
        }
        if (repeat > total - have) return false;
        std::fill_n(lengths.begin() + have, repeat, value);
        have += repeat;
    }
    if (!r.within_input() || lengths[end_of_block] == 0) return false;
    d.litlen = &d.own_litlen;
    d.dist = &d.own_dist;
    return build(d.own_litlen, lengths.data(), litlen_count, litlen_meaning.data()) &&
           build(d.own_dist, lengths.data() + litlen_count, dist_count, dist_meaning.data());
}

}  // namespace

bool inflate_raw(std::span<const uint8_t> in, std::span<uint8_t> out, size_t& produced, size_t& consumed) {
    decoder d;
    d.in.p = in.data();
    d.in.end = in.data() + in.size();
    d.out = out.data();
    d.cap = out.size();
    produced = consumed = 0;
    for (bool last = false; !last;) {
        d.in.refill();
        last = d.in.take(1) != 0;
        const uint32_t type = d.in.take(2);
        if (!d.in.within_input()) return false;
        bool ok = false;
        if (type == 0) {
            ok = stored_block(d);
        } else if (type == 1) {
            fixed_codes(d);
            ok = huffman_block(d);
        } else if (type == 2) {
            ok = dynamic_codes(d) && huffman_block(d);
        }
        if (!ok) return false;
    }
    if (!d.in.within_input()) return false;
    produced = d.pos;
    consumed = static_cast<size_t>(d.in.byte_position() - in.data());
    return true;
}

bool inflate_zlib(std::span<const uint8_t> in, std::span<uint8_t> out, size_t& produced) {
    produced = 0;
    if (in.size() < 2) return false;
    const unsigned cmf = in[0], flg = in[1];
    // Deflate (method 8) with a window of at most 32 KiB, a header whose
    // check bits make it a multiple of 31, and no preset dictionary.
    if ((cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) return false;
    size_t made = 0, used = 0;
    if (!inflate_raw(in.subspan(2), out, made, used)) return false;
    // The checksum follows the deflate data, most significant byte first.
    const size_t at = 2 + used;
    if (!be::fits(in, at, 4) || adler32_of(out.first(made)) != be::u32(in, at)) return false;
    produced = made;
    return true;
}
