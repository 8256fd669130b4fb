// Numbers appended to a line as text, without a string of their own: the
// writers print several on every row.
#pragma once

#include <cstdint>
#include <string>

// `value` in decimal, as std::to_string writes it.
inline void append_decimal(std::string& out, uint64_t value) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    char* p = out.data() + at;
    while (n > 0) *p++ = digits[--n];
}

// `value` in lower-case hexadecimal of at least `width` digits (at most
// 16 count), as printf's "%0*llx" writes it.
inline void append_hex(std::string& out, uint64_t value, int width) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    if (width > 16) width = 16;
    if (n < width) out.append(static_cast<size_t>(width - n), '0');
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    char* p = out.data() + at;
    while (n > 0) *p++ = digits[--n];
}
