// Numbers appended to a line as text, without a string of their own: the
// writers print several on every row.
#pragma once

#include <cstdint>
#include <string>

// `value` in decimal, as std::to_string writes it. The digits are made
// from the end of a buffer and go in with one append.
inline void append_decimal(std::string& out, uint64_t value) {
    char digits[20];
    char* p = digits + sizeof digits;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
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
    const int n = static_cast<int>(digits + sizeof digits - p);
    if (width > 16) width = 16;
    if (n < width) out.append(static_cast<size_t>(width - n), '0');
    out.append(p, static_cast<size_t>(n));
}
