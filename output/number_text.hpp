// Numbers appended to a line as text, without a string of their own: the
// writers print several on every row.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

// The two digits of 0 to 99, at twice the value: numbers are written two
// digits at a time.
inline constexpr char decimal_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// 10 to the power of the index, for every power a 64-bit value holds.
inline constexpr uint64_t decimal_powers[20] = {
    1ull,           10ull,           100ull,           1000ull,           10000ull,
    100000ull,      1000000ull,      10000000ull,      100000000ull,      1000000000ull,
    10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull, 100000000000000ull,
    1000000000000000ull, 10000000000000000ull, 100000000000000000ull, 1000000000000000000ull,
    10000000000000000000ull};

// How many decimal digits `value` has (1 for 0): from its bit width, which
// fixes the count to one of two, and one comparison.
inline int decimal_length(uint64_t value) {
    const uint64_t v = value | 1;
    const int guess = (std::bit_width(v) * 1233) >> 12;  // 1233 / 4096 is just above log10(2)
    return guess - (v < decimal_powers[guess] ? 1 : 0) + 1;
}

// Writes `value` in decimal, as std::to_string writes it, at `p`, which
// must have room for 20 characters; returns the end of the digits. They
// are made from the end two at a time, eight at a time in 32-bit
// arithmetic while more than eight are left.
inline char* put_decimal(char* p, uint64_t value) {
    const char* pairs = decimal_pairs;
    char* const end = p + decimal_length(value);
    char* q = end;
    const auto put_pair = [&](uint32_t pair) {
        q -= 2;
        q[0] = pairs[2 * pair];
        q[1] = pairs[2 * pair + 1];
    };
    while (value >= 100000000) {
        uint32_t eight = static_cast<uint32_t>(value % 100000000);
        value /= 100000000;
        for (int k = 0; k < 4; ++k) {
            put_pair(eight % 100);
            eight /= 100;
        }
    }
    uint32_t rest = static_cast<uint32_t>(value);
    while (rest >= 100) {
        put_pair(rest % 100);
        rest /= 100;
    }
    if (rest >= 10) put_pair(rest);
    else *--q = static_cast<char>('0' + rest);
    return end;
}

// `value` in decimal at the end of `out`, with one append.
inline void append_decimal(std::string& out, uint64_t value) {
    char digits[20];
    out.append(digits, static_cast<size_t>(put_decimal(digits, value) - digits));
}

// `value` in lower-case hexadecimal of at least `width` digits (`width` up
// to 16), as printf's "%0*llx" writes it.
template <class Out>
void append_hex(Out& out, uint64_t value, int width) {
    char digits[16];
    char* p = digits + sizeof digits;
    do {
        *--p = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    // The zeros go into the buffer too: one append.
    if (width > 16) width = 16;
    while (digits + sizeof digits - p < width) *--p = '0';
    out.append(p, static_cast<size_t>(digits + sizeof digits - p));
}
