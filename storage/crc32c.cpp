#include "storage/crc32c.hpp"

#include <array>

namespace {

// The reflected form of polynomial 0x1edc6f41.
constexpr uint32_t castagnoli_reflected = 0x82f63b78u;

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ castagnoli_reflected : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> table = make_table();

}  // namespace

uint32_t crc32c(std::span<const uint8_t> data) {
    uint32_t c = 0xFFFFFFFFu;
    for (const uint8_t b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return ~c;
}
