#include "platform/unicode.hpp"

#include <cstdint>
#include <cstring>

namespace uni {

namespace {

// Decodes the UTF-8 sequence at `s[i]` into `cp` and its length `n`. False
// on a malformed byte, a cut or overlong sequence or a value past U+10FFFF;
// surrogate values are the caller's to judge.
bool decode_utf8_at(std::string_view s, size_t i, uint32_t& cp, size_t& n) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) { cp = b0; n = 1; }
    else if ((b0 & 0xE0) == 0xC0) { cp = b0 & 0x1F; n = 2; }
    else if ((b0 & 0xF0) == 0xE0) { cp = b0 & 0x0F; n = 3; }
    else if ((b0 & 0xF8) == 0xF0) { cp = b0 & 0x07; n = 4; }
    else return false;
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms are malformed too.
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)) return false;
    return cp <= 0x10FFFF;
}

void append_utf16(std::u16string& out, uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

}  // namespace

std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0, n = 0; i < s.size(); i += n) {
        uint32_t cp = 0;
        if (!decode_utf8_at(s, i, cp, n) || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
        append_utf16(out, cp);
    }
    return out;
}

std::u16string to_utf16_lenient(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0, n = 0; i < s.size(); i += n) {
        uint32_t cp = 0;
        if (!decode_utf8_at(s, i, cp, n)) {
            // One byte is passed at a time, so what follows it is read again.
            cp = 0xFFFD;
            n = 1;
        }
        append_utf16(out, cp);
    }
    return out;
}

char* put_utf8(char* p, uint32_t cp) {
    if (cp < 0x80) {
        *p++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *p++ = static_cast<char>(0xC0 | (cp >> 6));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (cp >> 12));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (cp >> 18));
        *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return p;
}

void append_utf8(std::string& out, uint32_t cp) {
    char bytes[4];
    out.append(bytes, static_cast<size_t>(put_utf8(bytes, cp) - bytes));
}

std::string to_utf8(std::u16string_view s) {
    std::string out;
    to_utf8(s, out);
    return out;
}

void to_utf8(std::u16string_view s, std::string& out) {
    // Names are ASCII almost always: looked at four units at a time, and
    // then each unit is its byte.
    const size_t n = s.size();
    size_t ascii = 0;
    for (; ascii + 4 <= n; ascii += 4) {
        uint64_t x = 0;
        std::memcpy(&x, s.data() + ascii, sizeof x);
        if ((x & 0xFF80FF80FF80FF80ull) != 0) break;
    }
    while (ascii < n && s[ascii] < 0x80) ++ascii;
    if (ascii == n) {
        out.resize(n);
        char* p = out.data();
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(s[i]);
        return;
    }
    // Written through a pointer into room for the longest form (three bytes
    // a unit), then cut to what was written: no per-byte bounds work.
    out.resize(s.size() * 3);
    char* p = out.data();
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t u = s[i];
        if (u < 0x80) {
            *p++ = static_cast<char>(u);
        } else if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) {
                out.clear();
                return;
            }
            const uint32_t cp = 0x10000 + ((uint32_t(u) - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            // A pair takes two units' room (six bytes) for its four.
            p = put_utf8(p, cp);
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            out.clear();
            return;
        } else {
            p = put_utf8(p, u);
        }
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

std::string to_shown_utf8(std::u16string_view s) {
    std::string out;
    to_shown_utf8(s, out);
    return out;
}

void to_utf8_lenient(std::u16string_view s, std::string& out, bool replace_lone) {
    // Three bytes a unit is room for every form: a lone surrogate or U+FFFD
    // takes three, a pair four for its two units.
    out.resize(s.size() * 3);
    char* p = out.data();
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            p = put_utf8(p, 0x10000 + ((uint32_t(u) - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF && replace_lone) {
            p = put_utf8(p, 0xFFFD);
        } else {
            p = put_utf8(p, u);
        }
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

size_t shown_utf8_size(std::u16string_view s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t u = s[i];
        if (u < 0x80) {
            n += 1;
        } else if (u < 0x800) {
            n += 2;
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            n += 4;
            ++i;
        } else {
            // Any other unit, an unpaired surrogate's U+FFFD included.
            n += 3;
        }
    }
    return n;
}

void to_shown_utf8(std::u16string_view s, std::string& out) {
    // Well-formed text, by far the most common, takes the strict converter
    // and its fast ASCII path; it empties the result only on a surrogate
    // without its partner.
    to_utf8(s, out);
    if (!out.empty() || s.empty()) return;
    to_utf8_lenient(s, out, true);
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char16_t ascii_lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = ascii_lower(c);
    return out;
}

std::u16string ascii_lower(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = ascii_lower(c);
    return out;
}

char16_t wide_lower(char16_t c) {
    if (c < 0x80) return ascii_lower(c);
    // Latin-1: À..Þ except ×.
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
    // Latin Extended-A: pairs, upper at the even (or odd) code point.
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
    if (c == 0x178) return 0xFF;
    // Greek capitals.
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 0x25);
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 0x3F);
    // Cyrillic.
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
        return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
    // Fullwidth Latin.
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
    return c;
}

std::u16string wide_lower(std::u16string_view s) {
    std::u16string out(s);
    // ASCII, by far the most common, is lowered here without the table walk.
    for (auto& c : out) c = c < 0x80 ? ascii_lower(c) : wide_lower(c);
    return out;
}

}  // namespace uni
