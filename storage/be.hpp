// The big-endian counterpart of le.hpp, for the few formats that store
// their fields most significant byte first (the VHD footer and dynamic
// header). Same rules: a field that does not lie wholly inside the span
// reads as zero.
#pragma once

#include "storage/le.hpp"

namespace be {

using bytes = le::bytes;
using le::fits;

// Unsigned big-endian value of `n` bytes (n <= 8); 0 when out of range.
inline uint64_t uint_n(bytes b, uint64_t off, unsigned n) {
    if (n > 8 || !fits(b, off, n)) return 0;
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | b[off + i];
    return v;
}

inline uint16_t u16(bytes b, uint64_t off) { return static_cast<uint16_t>(uint_n(b, off, 2)); }
inline uint32_t u32(bytes b, uint64_t off) { return static_cast<uint32_t>(uint_n(b, off, 4)); }
inline uint64_t u64(bytes b, uint64_t off) { return uint_n(b, off, 8); }

// Writers for tests that build structures in place.
inline void put_n(std::span<uint8_t> b, uint64_t off, uint64_t v, unsigned n) {
    if (n > 8 || off > b.size() || n > b.size() - off) return;
    for (unsigned i = 0; i < n; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
}
inline void put_u16(std::span<uint8_t> b, uint64_t off, uint16_t v) { put_n(b, off, v, 2); }
inline void put_u32(std::span<uint8_t> b, uint64_t off, uint32_t v) { put_n(b, off, v, 4); }
inline void put_u64(std::span<uint8_t> b, uint64_t off, uint64_t v) { put_n(b, off, v, 8); }

}  // namespace be
