#include "ntfs/attribute_header.hpp"
#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The sample rows with the attribute each stands for, as the listing fills
// it: a folder's $INDEX_ROOT, a stream's $DATA with its data size (below the
// allocated size the listing shows), $STANDARD_INFORMATION for the link,
// which has no data.
listing_rows with_attributes(const listing_rows& rows) {
    listing_rows out;
    uint16_t id = 2;
    for (listing_row r : rows) {
        r.attr_type = r.kind == row_kind_directory ? attr_index_root : attr_data;
        r.attr_id = id++;
        r.attr_size = r.kind == row_kind_directory ? 56 : r.size - r.size / 4;
        if (r.display_name == u"link") r.attr_type = attr_standard_information, r.attr_size = 0;
        for (row_name& n : r.names) n.attr_id = static_cast<uint16_t>(10 + id);
        out.insert(std::move(r));
    }
    return out;
}

// Body-file times of the sample rows: accessed, modified, MFT changed,
// created (2024-01-17 21:20:00 is 1705526400).
const std::string body_times = "|1705526403|1705526401|1705526402|1705526400";

TEST(Bodyfile, LinesOfADirectory) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-bodyfile"}));
    listing_rows queue;
    const std::string got = run(write_bodyfile, opts, with_attributes(docs_rows()), queue);
    // The long name of a,b.txt is two days younger; its DOS name is left out.
    const std::string fn_times = "|1705699203|1705699201|1705699202|1705699200";
    const std::string expected =
        "0|C:\\docs|40-144-2|d/drwxrwxrwx|0|0|56" + body_times + "\n" +
        "0|C:\\docs ($FILE_NAME)|40-48-13|d/drwxrwxrwx|0|0|74" + body_times + "\n" +
        "0|C:\\docs:notes|40-128-3|r/rrwxrwxrwx|0|0|9" + body_times + "\n" +
        "0|C:\\docs\\a,b.txt|41-128-4|r/rrwxrwxrwx|0|0|768" + body_times + "\n" +
        "0|C:\\docs\\a,b.txt ($FILE_NAME)|41-48-15|r/rrwxrwxrwx|0|0|80" + fn_times + "\n" +
        "0|C:\\docs\\a,b.txt:zone|41-128-5|r/rrwxrwxrwx|0|0|20" + body_times + "\n" +
        "0|C:\\docs\\café.txt|42-128-6|r/rrwxrwxrwx|0|0|4" + body_times + "\n" +
        "0|C:\\docs\\café.txt ($FILE_NAME)|42-48-17|r/rrwxrwxrwx|0|0|82" + body_times + "\n" +
        "0|C:\\docs\\link|43-16-7|r/rrwxrwxrwx|0|0|0" + body_times + "\n" +
        "0|C:\\docs\\sub|44-144-8|d/drwxrwxrwx|0|0|56" + body_times + "\n" +
        "0|C:\\docs\\sub:ads|44-128-9|r/rrwxrwxrwx|0|0|6" + body_times + "\n";
    EXPECT_EQ(got, expected);
    EXPECT_EQ(opts.header_pending, 0);

    // With more levels to go the subdirectory's rows wait in the queue.
    opts.last_level = 0;
    const std::vector<std::string> lines = lines_of(run(write_bodyfile, opts, with_attributes(docs_rows()), queue));
    EXPECT_EQ(lines.size(), 9u);
    EXPECT_EQ(queue.size(), 2u);
}

TEST(Bodyfile, NamesAndTimes) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-bodyfile"}));
    const std::u16string root = u"\\";
    listing_rows rows;
    listing_row own = row(root, u".", row_kind_directory, 5, 5, 3, 0, root);
    own.names.push_back(name(u".", false, example));
    rows.insert(own);

    // A '|' and a line break in a name cannot split the line; a second name
    // of the file in the folder has a $FILE_NAME line of its own.
    listing_row odd = row(root, u"pipe|new\nline", row_kind_file, 64, 1, 1, 5, u"\\pipe|new\nline");
    odd.names.push_back(name(u"pipe|new\nline", false, example));
    odd.names.push_back(name(u"PIPE~1", true, example));
    odd.names.push_back(name(u"hard link", false, example));
    // Times that cannot be shown are 0: none, before 1970, after 3001.
    odd.si_created = 0;
    odd.si_modified = 100 * second;
    odd.si_mft_changed = 1ULL << 63;
    rows.insert(odd);

    // An entry whose one name is a DOS name is listed, and so is that name.
    listing_row dos = row(root, u"ONLY~1.TXT", row_kind_file, 65, 1, 1, 0, u"\\only~1.txt");
    dos.names.push_back(name(u"ONLY~1.TXT", true, example));
    rows.insert(dos);

    listing_rows queue;
    const std::vector<std::string> lines = lines_of(run(write_bodyfile, opts, rows, queue, root, 5));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].rfind("0|\\|5-0-0|d/drwxrwxrwx|", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("0|\\ ($FILE_NAME)|5-48-0|d/drwxrwxrwx|0|0|68|", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("0|\\ONLY~1.TXT|", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("0|\\ONLY~1.TXT ($FILE_NAME)|", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], "0|\\pipe;new line|64-0-0|r/rrwxrwxrwx|0|0|0|1705526403|0|0|0");
    EXPECT_EQ(lines[5].rfind("0|\\pipe;new line ($FILE_NAME)|", 0), 0u) << lines[5];
    EXPECT_EQ(lines[6].rfind("0|\\hard link ($FILE_NAME)|64-48-0|r/rrwxrwxrwx|0|0|84|", 0), 0u) << lines[6];
    for (const std::string& l : lines) EXPECT_EQ(std::count(l.begin(), l.end(), '|'), 10) << l;
}

const std::string l2t_head =
    "date,time,timezone,MACB,source,sourcetype,type,user,host,short,desc,version,filename,inode,notes,format,extra";

TEST(CsvL2t, OneLinePerDistinctTime) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-csvl2t", "-hostname", "ws01", "-username", "a,\"b\""}));
    listing_rows rows;
    const std::u16string d = u"C:\\docs";
    // Created and accessed fall on one second (the fractions differ),
    // modified on another; the MFT-change time is 0 and makes no line.
    listing_row r = row(d, u"a,\"q\".txt", row_kind_file, 41, 3, 1, 4096, d + u"\\a,\"q\".txt");
    r.si_created = example + 1000;
    r.si_accessed = example + 9999999;
    r.si_modified = example + 60 * second;
    r.si_mft_changed = 0;
    r.attr_size = 4000;
    r.link_target = u"D:\\x,y";
    row_name n = name(u"a,\"q\".txt", false, example + day);
    n.name_modified = n.name_mft_changed = n.name_accessed = n.name_created;
    r.names.push_back(n);
    rows.insert(r);

    listing_rows queue;
    const std::vector<std::string> lines = lines_of(run(write_csv_l2t, opts, rows, queue));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], l2t_head);
    const std::string path = "\"C:\\docs\\a,\"\"q\"\".txt\"";
    const std::string tail = ",\"a,\"\"b\"\"\",ws01," + path + "," + path + ",2," + path +
                             ",41,\"D:\\x,y\",NTFS,size: 4000; sequence: 3; flags: 0x0001";
    EXPECT_EQ(lines[1], "01/17/2024,21:20:00,UTC,.A.B,FILE,$STANDARD_INFORMATION,Last Access Time; Creation Time" +
                            tail);
    EXPECT_EQ(lines[2], "01/17/2024,21:21:00,UTC,M...,FILE,$STANDARD_INFORMATION,Content Modification Time" + tail);

    // The header is printed once a run; -alldates adds the $FILE_NAME times,
    // all four on one second here.
    brelvik_opts all;
    ASSERT_TRUE(configure(all, {"-csvl2t"}));
    all.all_dates = 1;
    std::vector<std::string> more = lines_of(run(write_csv_l2t, all, rows, queue));
    ASSERT_EQ(more.size(), 4u);
    more = lines_of(run(write_csv_l2t, all, rows, queue));
    ASSERT_EQ(more.size(), 3u);
    EXPECT_EQ(more[2].rfind("01/18/2024,21:20:00,UTC,MACB,FILE,$FILE_NAME,Content Modification Time; "
                            "Last Access Time; Metadata Modification Time; Creation Time,-,-,", 0), 0u) << more[2];
    EXPECT_NE(more[2].find(",\"C:\\docs\\a,\"\"q\"\".txt ($FILE_NAME)\",2,"), std::string::npos) << more[2];
}

}  // namespace
