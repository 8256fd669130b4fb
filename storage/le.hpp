// The one reader of little-endian fields used by every on-disk parser.
//
// Every field is read by offset from a byte span. A field that does not lie
// wholly inside the span reads as zero, so a parser can never touch memory
// outside its buffer; parsers that must tell "zero" from "missing" ask
// `fits` first.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace le {

using bytes = std::span<const uint8_t>;

// True when `n` bytes starting at `off` lie inside `b` (no overflow).
inline bool fits(bytes b, uint64_t off, uint64_t n) {
    return off <= b.size() && n <= b.size() - off;
}

// Unsigned little-endian value of `n` bytes (n <= 8); 0 when out of range.
inline uint64_t uint_n(bytes b, uint64_t off, unsigned n) {
    if (n > 8 || !fits(b, off, n)) return 0;
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= uint64_t(b[off + i]) << (8 * i);
    return v;
}

// Signed value of `n` bytes (1..8), sign-extended from its top bit.
inline int64_t int_n(bytes b, uint64_t off, unsigned n) {
    if (n == 0) return 0;
    uint64_t v = uint_n(b, off, n);
    if (n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t(0) << (8 * n);
    return static_cast<int64_t>(v);
}

// A field of the width of `T`: one load on a little-endian host (every
// platform the tool is built for), byte by byte elsewhere.
template <class T>
inline T field(bytes b, uint64_t off) {
    if (!fits(b, off, sizeof(T))) return 0;
    if constexpr (std::endian::native == std::endian::little) {
        T v;
        std::memcpy(&v, b.data() + off, sizeof v);
        return v;
    } else {
        return static_cast<T>(uint_n(b, off, sizeof(T)));
    }
}

inline uint8_t u8(bytes b, uint64_t off) { return fits(b, off, 1) ? b[off] : 0; }
inline uint16_t u16(bytes b, uint64_t off) { return field<uint16_t>(b, off); }
inline uint32_t u32(bytes b, uint64_t off) { return field<uint32_t>(b, off); }
inline uint64_t u64(bytes b, uint64_t off) { return field<uint64_t>(b, off); }

// True when the bytes at `off` equal `tag` exactly.
inline bool has(bytes b, uint64_t off, std::string_view tag) {
    return fits(b, off, tag.size()) && std::memcmp(b.data() + off, tag.data(), tag.size()) == 0;
}

// The sub-span [off, off+n), or an empty span when it does not fit.
inline bytes sub(bytes b, uint64_t off, uint64_t n) {
    if (!fits(b, off, n)) return {};
    return b.subspan(static_cast<size_t>(off), static_cast<size_t>(n));
}

// Writers for the few places that patch buffers in place (fixups, tests).
inline void put_u16(std::span<uint8_t> b, uint64_t off, uint16_t v) {
    if (off <= b.size() && 2 <= b.size() - off) {
        b[off] = static_cast<uint8_t>(v);
        b[off + 1] = static_cast<uint8_t>(v >> 8);
    }
}
inline void put_u32(std::span<uint8_t> b, uint64_t off, uint32_t v) {
    if (off <= b.size() && 4 <= b.size() - off)
        for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_u64(std::span<uint8_t> b, uint64_t off, uint64_t v) {
    if (off <= b.size() && 8 <= b.size() - off)
        for (int i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace le
