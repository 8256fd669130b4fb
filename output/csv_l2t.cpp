// The log2timeline CSV of -csvl2t: a header once per run, then one line per
// distinct time of each row's $STANDARD_INFORMATION and, with -alldates,
// of each shown $FILE_NAME. Times equal to the second share a line, their
// MACB letters combined; a time that cannot be shown (0, before 1970) makes
// no line, as timeline tools leave a body file's 0 out.
#include "output/timeline.hpp"

#include "output/datetime.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

namespace {

constexpr const char* l2t_header =
    "date,time,timezone,MACB,source,sourcetype,type,user,host,short,desc,version,filename,inode,notes,format,extra";

// A field as CSV writes it: quoted, with its quotes doubled, when it holds
// a comma, a quote or a line break.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string q = "\"";
    for (char c : text) {
        if (c == '"') q += '"';
        q += c;
    }
    q += '"';
    return q;
}

// The times of one attribute that fall on one second.
struct time_group {
    int64_t seconds = 0;
    char macb[5] = {'.', '.', '.', '.', 0};
    std::string type;
};

// The attribute's times grouped by second, earliest first; times that
// cannot be shown are left out.
std::vector<time_group> group_times(const four_times& t) {
    struct one {
        uint64_t value;
        int position;  // in "MACB"
        const char* meaning;
    };
    const one all[] = {{t.modified, 0, "Content Modification Time"},
                       {t.accessed, 1, "Last Access Time"},
                       {t.mft_changed, 2, "Metadata Modification Time"},
                       {t.created, 3, "Creation Time"}};
    std::vector<time_group> groups;
    for (const one& o : all) {
        const int64_t s = timeline_seconds(o.value);
        if (s == 0) continue;
        auto g = std::find_if(groups.begin(), groups.end(), [s](const time_group& x) { return x.seconds == s; });
        if (g == groups.end()) {
            groups.emplace_back();
            g = groups.end() - 1;
            g->seconds = s;
        } else {
            g->type += "; ";
        }
        g->macb[o.position] = "MACB"[o.position];
        g->type += o.meaning;
    }
    std::sort(groups.begin(), groups.end(),
              [](const time_group& a, const time_group& b) { return a.seconds < b.seconds; });
    return groups;
}

// What every line of one row shares.
struct row_facts {
    std::string user;
    std::string host;
    std::string inode;
    std::string notes;
    std::string extra;
};

void append_lines(std::string& out, const four_times& times, const char* attribute, const std::string& path,
                  const std::string& desc, const row_facts& f) {
    for (const time_group& g : group_times(times)) {
        const calendar_time c = to_calendar(filetime_unix_epoch + uint64_t(g.seconds) * 10000000ULL);
        char when[64];
        std::snprintf(when, sizeof when, "%02u/%02u/%04u,%02u:%02u:%02u", unsigned(c.month), unsigned(c.day),
                      unsigned(c.year), unsigned(c.hour), unsigned(c.minute), unsigned(c.second));
        out += when;
        out += ",UTC,";
        out += g.macb;
        out += ",FILE,";
        out += attribute;
        out += ',' + g.type + ',' + f.user + ',' + f.host + ',' + path + ',' + desc + ",2," + path + ',' + f.inode +
               ',' + f.notes + ",NTFS," + f.extra + '\n';
    }
}

}  // namespace

bool write_csv_l2t(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                   uint64_t entry) {
    listing_rows rows;
    if (!take_rows(std::cerr, queue, opts, rows)) return static_cast<bool>(out);
    if (writer_headers().csv_l2t) {
        out << l2t_header << '\n';
        writer_headers().csv_l2t = false;
        opts.header_pending = 0;
    }

    row_facts f;
    f.user = opts.has_username ? csv_field(opts.username) : "-";
    f.host = opts.has_hostname ? csv_field(opts.hostname) : "-";
    std::string lines;  // reused from row to row
    for_each_printed_row(rows, queue, opts, path, entry, {}, [&](const listing_row& row, const row_location& loc,
                                                                 const std::string& name) {
        lines.clear();
        f.inode = std::to_string(row.entry);
        f.notes = row.link_target.empty() ? "-" : csv_field(uni::to_utf8(row.link_target));
        char flags[8];
        std::snprintf(flags, sizeof flags, "0x%04x", unsigned(row.record_flags));
        f.extra = csv_field("size: " + std::to_string(row.attr_size) + "; sequence: " + std::to_string(row.seq) +
                            "; flags: " + flags);
        const std::string row_path = timeline_path(loc, row, name);
        const std::string field = csv_field(row_path);
        append_lines(lines, standard_information_times(row), "$STANDARD_INFORMATION", field, field, f);
        if (opts.all_dates) {
            for (const row_name* n : shown_names(row)) {
                const std::string fn_path = name_path(loc, row, row_path, *n);
                append_lines(lines, file_name_times(*n), "$FILE_NAME", csv_field(fn_path),
                             csv_field(fn_path + " ($FILE_NAME)"), f);
            }
        }
        out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
        out.flush();
    });
    return static_cast<bool>(out);
}
