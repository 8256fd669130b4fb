#include "ntfs/attribute_header.hpp"
#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

// A file in the root whose name holds '|' and a line break, with a DOS name
// and a second name; times that cannot be shown (none, before 1970, top
// bit set) and two that fall on one second.
listing_rows odd_rows(const std::u16string& shown) {
    listing_row r = row(u"\\", shown, row_kind_file, 64, 1, 1, 4096, u"\\" + shown);
    r.attr_type = attr_data;
    r.attr_id = 2;
    r.attr_size = 1000;
    for (auto [text, dos] : {std::pair{shown.c_str(), false}, {u"AB~1", true}, {u"other, \"x\"", false}})
        r.names.push_back(name(text, dos, example + day));
    r.si_created = example + 3 * second + second / 2;
    r.si_modified = 100 * second;
    r.si_mft_changed = 1ULL << 63;
    r.names[2].name_created = 0;
    r.link_target = u"D:\\x,y";
    listing_rows rows;
    rows.insert(r);
    return rows;
}

TEST(Timeline, BodyFileAndL2tLines) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-bodyfile"}));
    listing_rows queue;
    EXPECT_EQ(run(write_bodyfile, opts, odd_rows(u"a|b\nc"), queue, u"\\", 5),
              "0|\\a;b c|64-128-2|r/rrwxrwxrwx|0|0|1000|1705526403|0|0|1705526403\n"
              "0|\\a;b c ($FILE_NAME)|64-48-0|r/rrwxrwxrwx|0|0|76|1705612803|1705612801|1705612802|1705612800\n"
              "0|\\other, \"x\" ($FILE_NAME)|64-48-0|r/rrwxrwxrwx|0|0|86|1705612803|1705612801|1705612802|0\n");

    ASSERT_TRUE(configure(opts, {"-csvl2t", "-hostname", "ws01", "-username", "me"}));
    opts.all_dates = 1;
    std::istringstream l2t(run(write_csv_l2t, opts, odd_rows(u"a,\"b\""), queue, u"\\", 5));
    std::vector<std::string> lines;
    for (std::string line; std::getline(l2t, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 9u);  // the header, one SI line, the times of the two long names
    EXPECT_EQ(lines[0], "date,time,timezone,MACB,source,sourcetype,type,user,host,short,desc,version,filename,"
                        "inode,notes,format,extra");
    const std::string path = "\"\\a,\"\"b\"\"\"";
    EXPECT_EQ(lines[1], "01/17/2024,21:20:03,UTC,.A.B,FILE,$STANDARD_INFORMATION,Last Access Time; Creation Time,"
                        "me,ws01," + path + "," + path + ",2," + path + ",64,\"D:\\x,y\",NTFS,"
                        "size: 1000; sequence: 1; flags: 0x0001");
    EXPECT_EQ(lines[8].rfind("01/18/2024,21:20:03,UTC,.A..,FILE,$FILE_NAME,Last Access Time,me,ws01,"
                             "\"\\other, \"\"x\"\"\",\"\\other, \"\"x\"\" ($FILE_NAME)\",2,", 0), 0u) << lines[8];
    // The header is written once a run.
    EXPECT_EQ(run(write_csv_l2t, opts, odd_rows(u"x"), queue, u"\\", 5).rfind("date,", 0), std::string::npos);
}

// The name field of each line of a body file, or the filename field of each
// line of a log2timeline CSV after its header (no field of these is quoted),
// the lines of one row (an l2t line a second) given once.
std::vector<std::string> line_paths(const std::string& text, bool l2t) {
    std::vector<std::string> paths;
    std::istringstream in(text);
    bool header = l2t;
    for (std::string line; std::getline(in, line);) {
        if (header) {
            header = false;
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream f(line);
        for (std::string field; std::getline(f, field, l2t ? ',' : '|');) fields.push_back(field);
        const size_t at = l2t ? 12 : 1;
        const std::string path = fields.size() > at ? fields[at] : line;
        if (paths.empty() || paths.back() != path) paths.push_back(path);
    }
    return paths;
}

// The streams of the entry being listed are shown after the directory line
// alone in the other layouts: empty for a file listed by its path, bare for
// the root. A timeline line still names the whole path.
TEST(Timeline, ListedEntryStreamsKeepTheEntryPath) {
    const std::u16string d = u"C:\\docs";
    listing_rows file;
    file.insert(row(d, u"a.txt", row_kind_file, 41, 1, 1, 10, d + u"\\a.txt"));
    listing_row zone = row(d, u"a.txt:zone", row_kind_data_stream, 41, 1, 1, 26, d + u"\\a.txt:zone");
    zone.stream_at = 5;
    file.insert(zone);

    listing_rows root;
    root.insert(row(u"C:\\", u".", row_kind_directory, 5, 5, 3, 0, u"C:\\"));
    listing_row s = row(u"C:\\", u".:s", row_kind_data_stream, 5, 5, 3, 4, u"C:\\:s");
    s.stream_at = 1;
    root.insert(s);
    root.insert(row(u"C:\\", u"$I30", row_kind_index_stream, 5, 5, 3, 4096, u"C:\\:$i30"));

    listing_rows bare_root;
    bare_root.insert(row(u"\\", u".:s", row_kind_data_stream, 5, 5, 3, 4, u"\\:s"));
    bare_root.begin()->stream_at = 1;

    brelvik_opts opts;
    listing_rows queue;
    for (const char* layout : {"-bodyfile", "-csvl2t"}) {
        SCOPED_TRACE(layout);
        ASSERT_TRUE(configure(opts, {layout}));
        const auto writer = std::string(layout) == "-bodyfile" ? write_bodyfile : write_csv_l2t;
        const bool l2t = writer == write_csv_l2t;
        EXPECT_EQ(line_paths(run(writer, opts, file, queue, d, 41), l2t),
                  (std::vector<std::string>{"C:\\docs\\a.txt", "C:\\docs\\a.txt:zone"}));
        reset_writer_headers();
        EXPECT_EQ(line_paths(run(writer, opts, root, queue, u"C:\\", 5), l2t),
                  (std::vector<std::string>{"C:\\", "C:\\:$I30", "C:\\:s"}));
        reset_writer_headers();
        EXPECT_EQ(line_paths(run(writer, opts, bare_root, queue, u"\\", 5), l2t), (std::vector<std::string>{"\\:s"}));
    }
}

// A name -deleted found in an index whose record now holds another file
// has only the times of its $FILE_NAME copy: its l2t line says so.
TEST(Timeline, ReallocatedNameTimesComeFromTheFileName) {
    listing_rows rows;
    listing_row r = row(u"\\", u"gone.txt", row_kind_file, 66, 1, 0, 8, u"\\gone.txt");
    r.si_modified = r.si_mft_changed = r.si_accessed = r.si_created;
    r.deleted = row_realloc;
    r.attr_type = attr_file_name;
    r.names.push_back(name(u"gone.txt", false, example));
    rows.insert(r);
    brelvik_opts opts;
    listing_rows queue;
    ASSERT_TRUE(configure(opts, {"-csvl2t"}));
    const std::string text = run(write_csv_l2t, opts, rows, queue, u"\\", 5);
    EXPECT_NE(text.find("\n01/17/2024,21:20:00,UTC,MACB,FILE,$FILE_NAME,Content Modification Time; Last Access Time; "
                        "Metadata Modification Time; Creation Time,-,-,\\gone.txt,\\gone.txt (deleted-realloc),"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("$STANDARD_INFORMATION"), std::string::npos) << text;
}

}  // namespace
