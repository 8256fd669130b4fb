#include "storage/ewf.hpp"

namespace {

// Names with two digits come first: 01 to 99.
constexpr uint32_t numbered_names = 99;
// Each first letter is followed by 26 x 26 letter pairs.
constexpr uint32_t names_per_letter = 26 * 26;

bool is_upper(char16_t c) { return c >= u'A' && c <= u'Z'; }
bool is_lower(char16_t c) { return c >= u'a' && c <= u'z'; }
bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }
char16_t upper(char16_t c) { return is_lower(c) ? char16_t(c - u'a' + u'A') : c; }

}  // namespace

uint32_t ewf_last_segment(char16_t family) {
    if (!is_upper(family) && !is_lower(family)) return 0;
    return numbered_names + (u'Z' - upper(family) + 1) * names_per_letter;
}

bool ewf_segment_extension(char16_t family, uint32_t number, std::u16string& ext) {
    ext.clear();
    if (number == 0 || number > ewf_last_segment(family)) return false;
    if (number <= numbered_names) {
        ext = {family, char16_t(u'0' + number / 10), char16_t(u'0' + number % 10)};
        return true;
    }
    const uint32_t i = number - numbered_names - 1;
    const char16_t a = is_lower(family) ? u'a' : u'A';
    ext = {char16_t(family + i / names_per_letter), char16_t(a + i / 26 % 26), char16_t(a + i % 26)};
    return true;
}

bool parse_ewf_extension(std::u16string_view ext, char16_t family, uint32_t& number) {
    number = 0;
    if (ext.size() != 3 || ewf_last_segment(family) == 0) return false;
    const char16_t f = upper(family), first = upper(ext[0]);
    if (is_digit(ext[1]) && is_digit(ext[2])) {
        if (first != f) return false;
        number = uint32_t(ext[1] - u'0') * 10 + uint32_t(ext[2] - u'0');
        return number != 0;
    }
    // Lettered names may begin with a later letter than the family's.
    const char16_t second = upper(ext[1]), third = upper(ext[2]);
    if (!is_upper(first) || first < f || !is_upper(second) || !is_upper(third)) return false;
    number = numbered_names + 1 + uint32_t(first - f) * names_per_letter + uint32_t(second - u'A') * 26 +
             uint32_t(third - u'A');
    return true;
}
