// The XML document: its head and tail around the walk, and one data_entry
// element of two lines per row.
#include "output/writers.hpp"

#include "platform/unicode.hpp"

#include <cstdio>

namespace {

// Character entities for text that is otherwise kept as UTF-8: '&', '<'
// and '>', and '"' too inside an attribute value.
std::string entity_escape(std::string_view utf8, bool attribute) {
    std::string s;
    s.reserve(utf8.size());
    for (char c : utf8) {
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

std::string element(const char* tag, const std::string& text) {
    return std::string("<") + tag + ">" + text + "</" + tag + ">";
}

// A date element and a time element for one timestamp.
std::string date_time_elements(const char* date_tag, const char* time_tag, uint64_t filetime, uint32_t format_word) {
    const date_time_text t = format_date_time(to_calendar(filetime), format_word);
    return element(date_tag, t.date) + element(time_tag, t.time);
}

std::string size_text(uint64_t size, bool hex) {
    if (!hex) return std::to_string(size);
    char text[24];
    std::snprintf(text, sizeof text, "%08llx", static_cast<unsigned long long>(size));
    return text;
}

std::string name_times(const row_name* n, uint32_t word, bool short_name) {
    const uint64_t created = n ? n->name_created : 0, modified = n ? n->name_modified : 0;
    const uint64_t changed = n ? n->name_mft_changed : 0, accessed = n ? n->name_accessed : 0;
    if (short_name)
        return date_time_elements("shortname_create_date", "shortname_create_time", created, word) +
               date_time_elements("shortname_altered_date", "shortname_altered_time", modified, word) +
               date_time_elements("shortname_mft_changed_date", "shortname_mft_changed_time", changed, word) +
               date_time_elements("shortname_accessed_date", "shortname_accessed_time", accessed, word);
    return date_time_elements("name_create_date", "name_create_time", created, word) +
           date_time_elements("name_altered_date", "name_altered_time", modified, word) +
           date_time_elements("name_mft_changed_date", "name_mft_changed_time", changed, word) +
           date_time_elements("name_accessed_date", "name_accessed_time", accessed, word);
}

}  // namespace

std::string xml_escape(std::string_view utf8) {
    std::string s;
    s.reserve(utf8.size());
    for (char c : utf8) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b == '<') s += "&lt;";
        else if (b == '>') s += "&gt;";
        else if (b == '&') s += "&amp;";
        else if ((b >= 0x20 && b <= 0x7E) || b == '\n' || b == '\r') s += c;
        else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", b);
            s += hex;
        }
    }
    return s;
}

void write_xml_head(std::ostream& out, const brelvik_opts& opts, const std::u16string& starting_path,
                    const calendar_time& now) {
    const date_time_text t = format_date_time(now, opts.format_word);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n\n";
    out << "<logdata ";
    if (!opts.image_path.empty())
        out << " umounted_image=\"" << entity_escape(uni::to_utf8(opts.image_path), true) << "\"";
    out << " starting_path=\"" << entity_escape(uni::to_utf8(starting_path), true) << "\"";
    out << " date=\"" << t.date << "\" time=\"" << t.time << "\">\n";
}

void write_xml_head(std::ostream& out, const brelvik_opts& opts, const std::u16string& starting_path) {
    write_xml_head(out, opts, starting_path, current_time());
}

void write_xml_tail(std::ostream& out) { out << "</logdata>\n"; }

bool write_xml(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
               uint64_t entry) {
    listing_rows rows;
    if (!take_rows(out, queue, opts, rows)) return static_cast<bool>(out);

    const uint32_t word = opts.format_word;
    for_each_printed_row(rows, queue, opts, path, entry, {}, [&](const listing_row& row, const row_location& loc,
                                                                 const std::string& name) {
        std::string text = "<data_entry>";
        if (row.record_flags & record_flag_directory) {
            text += element("directory", xml_escape(loc.dir_line)) + "\n";
            text += "<filename>.</filename><dir>true</dir><size/>";
        } else {
            text += element("directory", xml_escape(loc.prefix)) + "\n";
            text += element("filename", xml_escape(name)) + "<dir/>" + element("size", size_text(row.size, opts.base16));
        }
        // The link target keeps its UTF-8 but gets entities for the markup
        // characters, so the document stays well-formed.
        if (row.link_target.empty()) text += "<sym_link/>";
        else text += element("sym_link", entity_escape(uni::to_utf8(row.link_target), false));
        text += date_time_elements("file_create_date", "file_create_time", row.si_created, word);
        text += date_time_elements("file_altered_date", "file_altered_time", row.si_modified, word);
        text += date_time_elements("file_mft_changed_date", "file_mft_changed_time", row.si_mft_changed, word);
        text += date_time_elements("file_accessed_date", "file_accessed_time", row.si_accessed, word);
        bool discrepancy = false;
        if (opts.all_dates && !row.names.empty()) {
            text += name_times(long_name_of(row), word, false);
            if (const row_name* short_name = short_name_of(row)) text += name_times(short_name, word, true);
            else
                text += "<shortname_create_date/><shortname_create_time/>"
                        "<shortname_altered_date/> <shortname_altered_time/>"
                        "<shortname_mft_changed_date/><shortname_mft_changed_time/>"
                        "<shortname_accessed_date/><shortname_accessed_time/>";
            discrepancy = time_discrepancy(row);
        }
        text += element("time_discrepancy", discrepancy ? "true" : "false");
        if (guid_present(row.object_id)) text += element("object_id", guid_text(row.object_id));
        else text += "<object_id/>";
        out << text << "</data_entry>\n";
        out.flush();
    });
    return static_cast<bool>(out);
}
