#include "cli/text.hpp"
#include "ntfs/resolve.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <algorithm>

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr size_t expand_limit = 512;

}  // namespace

std::string trim(std::string_view text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && is_space(text[b])) ++b;
    while (e > b && is_space(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

std::vector<std::string> split_list(std::string_view text, std::string_view separators) {
    char sep = 0;
    for (const char c : separators) {
        if (text.find(c) != std::string_view::npos) {
            sep = c;
            break;
        }
    }
    if (sep == 0) return {std::string(text)};
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = text.find(sep, i);
        if (j == std::string_view::npos) j = text.size();
        std::string piece = trim(text.substr(i, j - i));
        if (!piece.empty()) out.push_back(std::move(piece));
        i = j + 1;
    }
    return out;
}

std::string shadow_copy_prefix() { return uni::to_utf8(shadow_copy_device_prefix()); }

std::string expand_env_path(std::string_view text, bool vss_shortcut) {
    if (text.size() > expand_limit) return std::string(text);
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find('%', i);
        if (open == std::string_view::npos) break;
        const size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) break;
        out.append(text.substr(i, open - i));
        const std::string name(text.substr(open + 1, close - open - 1));
        std::string value;
        if (!name.empty() && platform::get_env(name, value)) {
            out += value;
            i = close + 1;
        } else if (vss_shortcut && uni::ascii_lower(name) == "vss") {
            out += shadow_copy_prefix();
            i = close + 1;
        } else {
            // Left as it is; the closing sign may open the next name.
            out += '%';
            out += name;
            i = close;
        }
    }
    out.append(text.substr(std::min(i, text.size())));
    return out;
}

std::string make_absolute_path(std::string_view text) {
    std::string s(text);
    std::replace(s.begin(), s.end(), '"', ' ');
    if (std::count(s.begin(), s.end(), '\'') >= 2) std::replace(s.begin(), s.end(), '\'', ' ');
    s = trim(s);
    if (s.empty()) return {};
    if (s.rfind("\\\\", 0) == 0 || s.rfind("//", 0) == 0) return s;
    const std::u16string wide = uni::to_utf16(s);
    if (wide.empty()) return {};
    return uni::to_utf8(platform::full_path_name(wide));
}

bool path_exists(std::string_view text) {
    std::u16string wide = uni::to_utf16(text);
    // The trailing separator goes, except on a root such as "/".
    if (wide.size() > 1 && (wide.back() == u'\\' || wide.back() == u'/')) wide.pop_back();
    if (wide.empty()) return false;
    const int fd = platform::open_file(wide, platform::open_mode::read, false);
    if (fd >= 0) {
        platform::close_file(fd);
        return true;
    }
    return platform::has_attributes(wide);
}

bool is_posix_path(std::string_view text) {
    if (text.empty() || text.find('\\') != std::string_view::npos) return false;
    if (text.size() >= 2 && text[1] == ':') return false;
    return text == "." || text == ".." || text.find('/') != std::string_view::npos || text.size() >= 3;
}
