// The XML document: its head and tail around the walk, and one data_entry
// element of two lines per row.
#include "output/writers.hpp"

#include "output/line_text.hpp"
#include "output/number_text.hpp"

#include "platform/unicode.hpp"

#include <array>
#include <cstring>


namespace {

// Character entities for text that is otherwise kept as UTF-8: '&', '<'
// and '>', and '"' too inside an attribute value. Characters that XML does
// not allow in a document at all, even as references (the control
// characters other than tab, line feed and carriage return, and U+FFFE and
// U+FFFF), are written as '%' and two lower-case hex digits a byte, as the
// names are, so that the document stays well-formed.
std::string entity_escape(std::string_view utf8, bool attribute) {
    std::string s;
    s.reserve(utf8.size());
    const auto percent = [&s](unsigned char b) {
        s += '%';
        s += "0123456789abcdef"[b >> 4];
        s += "0123456789abcdef"[b & 0xF];
    };
    for (size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            percent(b);
            continue;
        }
        if (b == 0xEF && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(utf8[i + 2]) & 0xFE) == 0xBE) {
            for (size_t k = 0; k < 3; ++k) percent(static_cast<unsigned char>(utf8[i + k]));
            i += 2;
            continue;
        }
        switch (c) {
        case '&': s += "&amp;"; break;
        case '<': s += "&lt;"; break;
        case '>': s += "&gt;"; break;
        case '"':
            if (attribute) s += "&quot;";
            else s += c;
            break;
        default: s += c;
        }
    }
    return s;
}

void append_element(std::string& out, std::string_view tag, std::string_view text) {
    out += '<';
    out += tag;
    out += '>';
    out += text;
    out += "</";
    out += tag;
    out += '>';
}

// An element of text that is escaped on the way in.
void escaped_element_into(std::string& out, std::string_view tag, std::string_view raw) {
    out += '<';
    out += tag;
    out += '>';
    append_xml_escaped(out, raw);
    out += "</";
    out += tag;
    out += '>';
}

// The tags around one timestamp's date and time elements, made once from
// the two element names: "<date>", "</date><time>" and "</time>", one after
// the other, each of a length that follows from the names' lengths.
template <size_t D, size_t T>
struct date_time_tags {
    static constexpr size_t open_size = D + 1, between_size = D + T + 3, close_size = T + 2;
    char text[open_size + between_size + close_size] = {};  // the names are D - 1 and T - 1 characters
    constexpr date_time_tags(const char (&date)[D], const char (&time)[T]) {
        size_t k = 0;
        auto put = [&](const char* s, size_t n) {
            for (size_t i = 0; i < n; ++i) text[k++] = s[i];
        };
        put("<", 1), put(date, D - 1), put(">", 1);
        put("</", 2), put(date, D - 1), put("><", 2), put(time, T - 1), put(">", 1);
        put("</", 2), put(time, T - 1), put(">", 1);
    }
};

constexpr date_time_tags file_created("file_create_date", "file_create_time");
constexpr date_time_tags file_altered("file_altered_date", "file_altered_time");
constexpr date_time_tags file_changed("file_mft_changed_date", "file_mft_changed_time");
constexpr date_time_tags file_accessed("file_accessed_date", "file_accessed_time");
constexpr date_time_tags name_created("name_create_date", "name_create_time");
constexpr date_time_tags name_altered("name_altered_date", "name_altered_time");
constexpr date_time_tags name_changed("name_mft_changed_date", "name_mft_changed_time");
constexpr date_time_tags name_accessed("name_accessed_date", "name_accessed_time");
constexpr date_time_tags short_created("shortname_create_date", "shortname_create_time");
constexpr date_time_tags short_altered("shortname_altered_date", "shortname_altered_time");
constexpr date_time_tags short_changed("shortname_mft_changed_date", "shortname_mft_changed_time");
constexpr date_time_tags short_accessed("shortname_accessed_date", "shortname_accessed_time");

// A date element and a time element for one timestamp.
template <size_t D, size_t T>
void append_date_time_elements(std::string& out, const date_time_tags<D, T>& tags, uint64_t filetime,
                               uint32_t format_word, date_time_memo& memo) {
    using tags_type = date_time_tags<D, T>;
    const date_time_chars& t = format_date_time(filetime, format_word, memo);
    // The elements are put together in place, every piece with a copy of
    // a size known here, and go into the line with one append.
    constexpr size_t text = sizeof t.date;  // the date's and the time's buffers are copied whole
    static_assert(sizeof t.time == text);
    char line[sizeof tags.text + 2 * text];
    char* p = line;
    std::memcpy(p, tags.text, tags_type::open_size);
    p = put_fixed<text>(p + tags_type::open_size, t.date, t.date_length);
    std::memcpy(p, tags.text + tags_type::open_size, tags_type::between_size);
    p = put_fixed<text>(p + tags_type::between_size, t.time, t.time_length);
    std::memcpy(p, tags.text + tags_type::open_size + tags_type::between_size, tags_type::close_size);
    p += tags_type::close_size;
    out.append(line, static_cast<size_t>(p - line));
}

void append_name_times(std::string& out, const row_name* n, uint32_t word, bool short_name,
                       date_time_memo& memo) {
    const uint64_t created = n ? n->name_created : 0, modified = n ? n->name_modified : 0;
    const uint64_t changed = n ? n->name_mft_changed : 0, accessed = n ? n->name_accessed : 0;
    if (short_name) {
        append_date_time_elements(out, short_created, created, word, memo);
        append_date_time_elements(out, short_altered, modified, word, memo);
        append_date_time_elements(out, short_changed, changed, word, memo);
        append_date_time_elements(out, short_accessed, accessed, word, memo);
        return;
    }
    append_date_time_elements(out, name_created, created, word, memo);
    append_date_time_elements(out, name_altered, modified, word, memo);
    append_date_time_elements(out, name_changed, changed, word, memo);
    append_date_time_elements(out, name_accessed, accessed, word, memo);
}

}  // namespace

std::string xml_escape(std::string_view utf8) {
    std::string s;
    append_xml_escaped(s, utf8);
    return s;
}

void append_xml_escaped(std::string& s, std::string_view utf8) {
    // Runs of characters kept as they are go in one piece each; which are
    // kept is one look-up a byte.
    static constexpr auto kept = [] {
        std::array<bool, 256> t{};
        for (int b = 0; b < 256; ++b)
            t[static_cast<size_t>(b)] = (b >= 0x20 && b <= 0x7E && b != '<' && b != '>' && b != '&') || b == '\n' || b == '\r';
        return t;
    }();
    auto plain = [](unsigned char b) { return kept[b]; };
    size_t i = 0;
    while (i < utf8.size()) {
        size_t j = i;
        while (j < utf8.size() && plain(static_cast<unsigned char>(utf8[j]))) ++j;
        s.append(utf8.data() + i, j - i);
        if (j == utf8.size()) break;
        const unsigned char b = static_cast<unsigned char>(utf8[j]);
        if (b == '<') s += "&lt;";
        else if (b == '>') s += "&gt;";
        else if (b == '&') s += "&amp;";
        else {
            s += '%';
            s += "0123456789abcdef"[b >> 4];
            s += "0123456789abcdef"[b & 0xF];
        }
        i = j + 1;
    }
}

void write_xml_head(std::ostream& out, const brelvik_opts& opts, const std::u16string& starting_path,
                    const calendar_time& now) {
    const date_time_text t = format_date_time(now, opts.format_word);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n\n";
    out << "<logdata ";
    if (!opts.image_path.empty())
        out << " umounted_image=\"" << entity_escape(uni::to_utf8(opts.image_path), true) << "\"";
    out << " starting_path=\"" << entity_escape(uni::to_shown_utf8(starting_path), true) << "\"";
    out << " date=\"" << t.date << "\" time=\"" << t.time << "\">\n";
}

void write_xml_head(std::ostream& out, const brelvik_opts& opts, const std::u16string& starting_path) {
    write_xml_head(out, opts, starting_path, current_time());
}

void write_xml_tail(std::ostream& out) { out << "</logdata>\n"; }

bool write_xml(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
               uint64_t entry) {
    taken_rows taken(opts);
    listing_rows& rows = taken.rows;
    if (!take_rows(out, queue, opts, rows)) return static_cast<bool>(out);

    const uint32_t word = opts.format_word;
    std::string text;  // reused from row to row
    std::string escaped_prefix, escaped_prefix_of;
    date_time_memo memo;  // the last time formatted: a row's times are often equal
    for_each_printed_row(rows, queue, opts, path, entry, {}, [&](const listing_row& row, const row_location& loc,
                                                                 const std::string& name) {
        text.assign("<data_entry>");
        if (row.record_flags & record_flag_directory) {
            escaped_element_into(text, "directory", loc.dir_line);
            text += "\n<filename>.</filename><dir>true</dir><size/>";
        } else {
            // Every file row of the folder shows the same directory.
            if (escaped_prefix_of != loc.prefix) {
                escaped_prefix_of = loc.prefix;
                escaped_prefix.clear();
                escaped_element_into(escaped_prefix, "directory", loc.prefix);
            }
            text += escaped_prefix;
            text += '\n';
            escaped_element_into(text, "filename", name);
            text += "<dir/><size>";
            if (opts.base16) append_hex(text, row.size, 8);
            else append_decimal(text, row.size);
            text += "</size>";
        }
        // The link target keeps its UTF-8 but gets entities for the markup
        // characters, so the document stays well-formed.
        if (row.link_target.empty()) text += "<sym_link/>";
        else append_element(text, "sym_link", entity_escape(uni::to_shown_utf8(row.link_target), false));
        append_date_time_elements(text, file_created, row.si_created, word, memo);
        append_date_time_elements(text, file_altered, row.si_modified, word, memo);
        append_date_time_elements(text, file_changed, row.si_mft_changed, word, memo);
        append_date_time_elements(text, file_accessed, row.si_accessed, word, memo);
        bool discrepancy = false;
        if (opts.all_dates && !row.names.empty()) {
            append_name_times(text, long_name_of(row), word, false, memo);
            if (const row_name* short_name = short_name_of(row))
                append_name_times(text, short_name, word, true, memo);
            else
                text += "<shortname_create_date/><shortname_create_time/>"
                        "<shortname_altered_date/> <shortname_altered_time/>"
                        "<shortname_mft_changed_date/><shortname_mft_changed_time/>"
                        "<shortname_accessed_date/><shortname_accessed_time/>";
            discrepancy = time_discrepancy(row);
        }
        text += discrepancy ? "<time_discrepancy>true</time_discrepancy>" : "<time_discrepancy>false</time_discrepancy>";
        if (guid_present(row.object_id)) append_element(text, "object_id", guid_text(row.object_id));
        else text += "<object_id/>";
        if (opts.show_deleted) {
            const std::string_view word = deleted_word(row.deleted);
            if (word.empty()) text += "<deleted/>";
            else append_element(text, "deleted", word);
        }
        text += "</data_entry>\n";
        write_row_text(out, text);
    });
    return static_cast<bool>(out);
}
