#include "cli/filter.hpp"

#include "cli/args.hpp"
#include "cli/text.hpp"
#include "output/datetime.hpp"
#include "output/sinks.hpp"
#include "platform/unicode.hpp"

#include <algorithm>
#include <charconv>

namespace {

// Removes every '*' from `part`, telling whether one stood first or last.
void strip_stars(std::u16string& part, uint8_t& lead, uint8_t& trail) {
    if (!part.empty() && part.front() == u'*') lead = 1;
    if (!part.empty() && part.back() == u'*') trail = 1;
    part.erase(std::remove(part.begin(), part.end(), u'*'), part.end());
}

filter_element element_from_piece(const std::u16string& piece) {
    filter_element e;
    e.raw = piece;
    e.name = piece;
    const size_t colon = piece.find(u':');
    if (colon != std::u16string::npos) {
        e.has_stream = 1;
        e.stream = piece.substr(colon + 1);
        e.name = piece.substr(0, colon);
        if (e.stream == u"*") e.stream_any = 1;
        strip_stars(e.stream, e.stream_lead_star, e.stream_trail_star);
    }
    if (e.name == u"*") {
        e.match_all = 1;
    } else {
        strip_stars(e.name, e.name_lead_star, e.name_trail_star);
        if (!e.name.empty() && e.name.front() == u'\\') e.path_pattern = 1;
    }
    return e;
}

bool read_hex_bytes(std::string_view text, std::vector<uint8_t>& out) {
    std::string s;
    for (const char c : text)
        if (c != ' ') s.push_back(uni::ascii_lower(c));
    if (s.rfind("0x", 0) == 0) s.erase(0, 2);
    if (s.empty() || s.size() % 2 != 0) return false;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < s.size(); i += 2) {
        unsigned v = 0;
        const auto r = std::from_chars(s.data() + i, s.data() + i + 2, v, 16);
        if (r.ec != std::errc() || r.ptr != s.data() + i + 2) return false;
        bytes.push_back(static_cast<uint8_t>(v));
    }
    out = std::move(bytes);
    return true;
}

// Reads exactly three numbers joined by `sep`.
bool read_three(std::string_view text, char sep, int (&v)[3]) {
    size_t pos = 0;
    for (int k = 0; k < 3; ++k) {
        const size_t end = k < 2 ? text.find(sep, pos) : text.size();
        if (end == std::string_view::npos || end == pos || end - pos > 9) return false;
        const auto r = std::from_chars(text.data() + pos, text.data() + end, v[k]);
        if (r.ec != std::errc() || r.ptr != text.data() + end) return false;
        pos = end + 1;
    }
    return true;
}

bool ends_with(std::u16string_view s, std::u16string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool path_pattern_matches(const filter_element& e, std::u16string dir) {
    size_t at = dir.find(e.name);
    if (at == std::u16string::npos) {
        const char16_t mine = e.name.front();
        const char16_t other = mine == u'\\' ? u'/' : u'\\';
        if (dir.find(other) == std::u16string::npos) return false;
        std::replace(dir.begin(), dir.end(), other, mine);
        at = dir.find(e.name);
        if (at == std::u16string::npos) return false;
    }
    const size_t end = at + e.name.size();
    return end == dir.size() || dir[end] == u'\\';
}

bool signature_matches(const filter_element& e, std::u16string_view full_path) {
    FileIo file;
    if (!file.open_untranslated(full_path, false, false)) return false;
    const uint64_t size = file.size();
    if (e.sig_offset > size || e.signature.size() > size - e.sig_offset) return false;
    std::vector<uint8_t> bytes(e.signature.size());
    return file.read_at(e.sig_offset, bytes) && bytes == e.signature;
}

bool within_window(const cmd_params& params, std::u16string_view full_path, platform::live_file_info& info) {
    if (info.modified == 0 && !platform::query_live_file(full_path, info)) return false;
    auto bound_of = [&](const time_bound& b, int64_t& out) {
        if (info.time_kind == 1) out = static_cast<int64_t>(b.filetime);
        else if (info.time_kind == 8) out = b.unix_seconds;
        else return false;
        return true;
    };
    const auto modified = static_cast<int64_t>(info.modified);
    const auto created = static_cast<int64_t>(info.created);
    if (params.time_from.valid) {
        int64_t from = 0;
        if (!bound_of(params.time_from, from)) return false;
        if (modified < from && created < from) return false;
    }
    if (params.time_to.valid) {
        int64_t to = 0;
        if (!bound_of(params.time_to, to)) return false;
        if (modified > to || created > to) return false;
    }
    return true;
}

}  // namespace

void parse_filter_value(std::string_view value, std::vector<filter_element>& out) {
    const std::u16string wide = uni::wide_lower(uni::to_utf16(value));
    char16_t sep = 0;
    if (wide.find(u'|') != std::u16string::npos) sep = u'|';
    else if (wide.find(u',') != std::u16string::npos) sep = u',';
    size_t i = 0;
    while (i <= wide.size()) {
        size_t j = sep ? wide.find(sep, i) : std::u16string::npos;
        if (j == std::u16string::npos) j = wide.size();
        const std::u16string piece = wide.substr(i, j - i);
        i = j + 1;
        if (piece == u"*") {
            filter_element all;
            all.raw = piece;
            all.match_all = 1;
            out.push_back(std::move(all));
            return;
        }
        out.push_back(element_from_piece(piece));
    }
}

bool parse_filter_sig(std::string_view value, filter_element& out) {
    std::vector<std::string> pieces = split_list(value, "|");
    if (pieces.size() < 2) pieces = split_list(value, ",");
    if (pieces.empty()) return false;
    filter_element e;
    if (!read_hex_bytes(pieces[0], e.signature)) return false;
    if (pieces.size() >= 2) {
        uint64_t offset = 0;
        if (parse_number(pieces[1], offset)) e.sig_offset = offset;
    }
    out = std::move(e);
    return true;
}

time_bound_result parse_time_bound(std::string_view value, bool stop, time_bound& out) {
    const size_t space = value.find(' ');
    const std::string date = trim(value.substr(0, space));
    std::string time = space == std::string_view::npos ? std::string() : trim(value.substr(space + 1));
    if (date.empty()) return time_bound_result::malformed;
    char sep = 0;
    if (date.find('/') != std::string::npos) sep = '/';
    else if (date.find('-') != std::string::npos) sep = '-';
    else return time_bound_result::malformed;
    if (time.empty()) time = stop ? "23:59:59" : "00:00:00";

    int d[3] = {};
    int t[3] = {};
    uint64_t filetime = 0;
    if (!read_three(date, sep, d) || !read_three(time, ':', t) ||
        !civil_to_filetime(d[0], d[1], d[2], t[0], t[1], t[2], filetime))
        return time_bound_result::unreadable;
    out.valid = true;
    out.filetime = filetime;
    out.unix_seconds = static_cast<int64_t>(filetime / 10000000ULL) - static_cast<int64_t>(filetime_unix_epoch / 10000000ULL);
    return time_bound_result::set;
}

bool filter_accepts_all(const cmd_params& params) {
    if (params.time_from.valid || params.time_to.valid) return false;
    const auto& filters = params.filters;
    return filters.empty() || (filters.size() == 1 && filters[0].match_all);
}

bool filter_accepts(const cmd_params& params, std::u16string_view full_path, platform::live_file_info* info) {
    if (full_path.empty()) return false;
    if ((params.time_from.valid || params.time_to.valid) && info != nullptr &&
        !within_window(params, full_path, *info))
        return false;

    const auto& filters = params.filters;
    if (filters.empty() || (filters.size() == 1 && filters[0].match_all)) return true;

    const size_t slash = full_path.find_last_of(u"\\/");
    const std::u16string_view dir = slash == std::u16string_view::npos ? std::u16string_view() : full_path.substr(0, slash);
    const std::u16string name = uni::wide_lower(slash == std::u16string_view::npos ? full_path : full_path.substr(slash + 1));
    std::u16string lower_dir;
    bool have_dir = false;

    for (const filter_element& e : filters) {
        if (e.path_pattern) {
            if (!have_dir) {
                lower_dir = uni::wide_lower(dir);
                have_dir = true;
            }
            if (path_pattern_matches(e, lower_dir)) return true;
        }
        if (e.match_all) return true;
        if (e.name_lead_star && e.name_trail_star) {
            if (name.find(e.name) != std::u16string::npos) return true;
        } else if (e.name_lead_star) {
            if (ends_with(name, e.name)) return true;
        } else if (e.name_trail_star) {
            if (name.rfind(e.name, 0) == 0) return true;
        } else if (name == e.name) {
            return true;
        }
        if (!e.signature.empty() && signature_matches(e, full_path)) return true;
    }
    return false;
}
