#include "ntfs/names_utf16.hpp"
#include "platform/unicode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

std::u16string read_utf16(le::bytes b, uint64_t offset, uint64_t units) {
    // The units that lie inside the buffer are read; the first NUL ends them.
    const uint64_t room = offset < b.size() ? (b.size() - offset) / 2 : 0;
    const size_t n = static_cast<size_t>(std::min(units, room));
    const le::bytes name = le::sub(b, offset, 2 * uint64_t(n));
    std::u16string out(n, u'\0');
    if constexpr (std::endian::native == std::endian::little) {
        // The units are the bytes as they lie: one copy, then the cut.
        if (n != 0) std::memcpy(out.data(), name.data(), 2 * n);
        out.resize(std::char_traits<char16_t>::length(out.c_str()));
    } else {
        size_t i = 0;
        for (; i < n; ++i) {
            const char16_t u = static_cast<char16_t>(le::u16(name, 2 * i));
            if (u == 0) break;
            out[i] = u;
        }
        out.resize(i);
    }
    return out;
}

std::string ntfs_name_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    append_ntfs_name_utf8(out, s);
    return out;
}

std::string ntfs_text_to_utf8(std::u16string_view s) {
    std::string out;
    uni::to_utf8_lenient(s, out, false);
    return out;
}

void append_ntfs_name_utf8(std::string& out, std::u16string_view s) {
    // Written through a pointer into room for three bytes a unit (a pair's
    // four bytes fit in its two units' six), then cut to what was written.
    const size_t start = out.size();
    out.resize(start + 3 * s.size());
    char* p = out.data() + start;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp < 0x80) {
            *p++ = static_cast<char>(cp);
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) break;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            ++i;
        }
        p = uni::put_utf8(p, cp);
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

namespace {

// Lower-case hexadecimal of at least 8 digits, as printf's "%08llx".
void append_hex8(std::string& out, uint64_t v) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v & 0xF];
        v >>= 4;
    } while (v != 0);
    if (n < 8) out.append(static_cast<size_t>(8 - n), '0');
    while (n > 0) out += digits[--n];
}

}  // namespace

std::string name_key(uint64_t parent, std::u16string_view name, uint64_t record) {
    std::string key;
    // Room for both numbers at full width and the name at its longest.
    key.reserve(2 * 16 + 2 + 3 * name.size());
    append_hex8(key, parent);
    key.push_back('_');
    append_ntfs_name_utf8(key, name);
    key.push_back('_');
    append_hex8(key, record);
    return key;
}

namespace {

// Hexadecimal of at most this value has exactly 8 digits in a key, so two
// such numbers order their key text as they order themselves.
constexpr uint64_t eight_hex_digits = 0xFFFFFFFFULL;

bool is_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

int compare_built_keys(uint64_t pa, std::u16string_view na, uint64_t ra, uint64_t pb, std::u16string_view nb,
                       uint64_t rb) {
    const int c = name_key(pa, na, ra).compare(name_key(pb, nb, rb));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

int compare_name_keys(uint64_t pa, std::u16string_view na, uint64_t ra, uint64_t pb, std::u16string_view nb,
                      uint64_t rb) {
    // The key texts are built only where the numbers are wider than eight
    // digits or a surrogate takes part; otherwise the parts decide as they
    // decide the texts: UTF-8 orders code points as UTF-16 orders units
    // outside the surrogates.
    if (pa != pb) {
        if (pa <= eight_hex_digits && pb <= eight_hex_digits) return pa < pb ? -1 : 1;
        return compare_built_keys(pa, na, ra, pb, nb, rb);
    }
    const size_t n = std::min(na.size(), nb.size());
    size_t i = 0;
    for (; i < n && na[i] == nb[i]; ++i)
        if (is_surrogate(na[i])) return compare_built_keys(pa, na, ra, pb, nb, rb);
    if (i < n) {
        if (is_surrogate(na[i]) || is_surrogate(nb[i])) return compare_built_keys(pa, na, ra, pb, nb, rb);
        return na[i] < nb[i] ? -1 : 1;
    }
    if (na.size() == nb.size()) {
        if (ra == rb) return 0;
        if (ra <= eight_hex_digits && rb <= eight_hex_digits) return ra < rb ? -1 : 1;
        return compare_built_keys(pa, na, ra, pb, nb, rb);
    }
    // One name begins the other: the '_' after the shorter one meets the
    // longer one's next character, whose UTF-8 lead byte is above '_'
    // unless it is ASCII.
    const char16_t next = na.size() > nb.size() ? na[n] : nb[n];
    if (next == u'_' || is_surrogate(next)) return compare_built_keys(pa, na, ra, pb, nb, rb);
    const int shorter_first = (next >= 0x80 || u'_' < next) ? -1 : 1;
    return na.size() < nb.size() ? shorter_first : -shorter_first;
}
