#include "ntfs/names_utf16.hpp"
#include "platform/unicode.hpp"

std::u16string read_utf16(le::bytes b, uint64_t offset, uint64_t units) {
    std::u16string out;
    for (uint64_t i = 0; i < units; ++i) {
        if (!le::fits(b, offset + 2 * i, 2)) break;
        const char16_t u = static_cast<char16_t>(le::u16(b, offset + 2 * i));
        if (u == 0) break;
        out.push_back(u);
    }
    return out;
}

std::string ntfs_name_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) break;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            ++i;
        }
        uni::append_utf8(out, cp);
    }
    return out;
}
