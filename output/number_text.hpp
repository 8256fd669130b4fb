// Numbers appended to a line as text, without a string of their own: the
// writers print several on every row.
#pragma once

#include <cstdint>
#include <string>

// The two digits of 0 to 99, at twice the value: numbers are written two
// digits at a time.
inline constexpr char decimal_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// `value` in decimal, as std::to_string writes it. The digits are made
// from the end of a buffer, two at a time, and go in with one append.
inline void append_decimal(std::string& out, uint64_t value) {
    const char* pairs = decimal_pairs;
    char digits[20];
    char* p = digits + sizeof digits;
    while (value >= 100) {
        const uint64_t pair = value % 100;
        value /= 100;
        p -= 2;
        p[0] = pairs[2 * pair];
        p[1] = pairs[2 * pair + 1];
    }
    if (value >= 10) {
        p -= 2;
        p[0] = pairs[2 * value];
        p[1] = pairs[2 * value + 1];
    } else {
        *--p = static_cast<char>('0' + value);
    }
    out.append(p, static_cast<size_t>(digits + sizeof digits - p));
}

// `value` in lower-case hexadecimal of at least `width` digits (`width` up
// to 16), as printf's "%0*llx" writes it.
inline void append_hex(std::string& out, uint64_t value, int width) {
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
