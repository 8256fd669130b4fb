#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

bool text_objid(std::ostream& out, listing_rows& q, brelvik_opts& o, const std::u16string& p, uint64_t e) {
    return write_text_table(out, q, o, p, e, true);
}
bool text_plain(std::ostream& out, listing_rows& q, brelvik_opts& o, const std::u16string& p, uint64_t e) {
    return write_text_table(out, q, o, p, e, false);
}

const std::string header =
    "  last modified [UTC]  " "    MFT & seq num" "       size " "       " "  name\n"
    "\n";

// The default timestamp column: si_modified, 23 columns.
const std::string t = "2024-01-17 21:20:01.000";

TEST(TextTable, DefaultLayoutOfEveryKindOfRow) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    listing_rows queue;
    const std::string got = run(text_objid, opts, docs_rows(), queue);
    const std::string expected = header +
        t + "          40    2                dir  C:\\docs\\  [objid 33221100-5544-7766-8899-aabbccddeeff]\n" +
        t + "          40    2           12   ads  C:\\docs:notes\n" +
        t + "          41    1         1024        C:\\docs\\a,b.txt\n" +
        t + "          41    1           26   ads  C:\\docs\\a,b.txt:zone\n" +
        t + "          42    3            5        C:\\docs\\café.txt\n" +
        t + "          43    1            0        C:\\docs\\link -> D:\\café & <x>|y,z\n" +
        t + "          44    1                dir  C:\\docs\\sub\\\n" +
        t + "          44    1            7   ads  C:\\docs\\sub:ads\n";
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(queue.empty());
    EXPECT_TRUE(opts.rows.empty());
}

TEST(TextTable, HeaderOnceAcrossDirectoriesAndObjidOnlyWhenAsked) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    listing_rows queue;
    const std::string first = run(text_plain, opts, docs_rows(), queue);
    const std::string second = run(text_plain, opts, docs_rows(), queue);
    EXPECT_EQ(first.rfind(header, 0), 0u);
    EXPECT_EQ(first.find(header, 1), std::string::npos);
    EXPECT_EQ(second, first.substr(header.size()));
    EXPECT_EQ(first.find("[objid"), std::string::npos);
    // The path list never prints one, and leaves the text table's pending.
    reset_writer_headers();
    run(write_path_list, opts, docs_rows(), queue);
    EXPECT_EQ(run(text_plain, opts, docs_rows(), queue).rfind(header, 0), 0u);
}

TEST(TextTable, CustomTemplatesSetTheTimeColumnWidth) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-dateformat", "mm/dd/yyyy", "-timeformat", "hh:mm:ss"}));
    listing_rows rows;
    listing_row file = row(u"C:\\docs", u"x", row_kind_file, 41, 1, 1, 3, u"C:\\docs\\x");
    rows.insert(file);
    file.si_modified = 0;  // cannot be shown: a blank column
    file.display_name = u"y";
    file.sort_key = u"c:\\docs\\y";
    rows.insert(file);
    listing_rows queue;
    // The header text is wider than the 19 columns and is not cut.
    EXPECT_EQ(run(text_plain, opts, std::move(rows), queue),
              header +
              "01/17/2024 21:20:01          41    1            3        C:\\docs\\x\n"
              "                             41    1            3        C:\\docs\\y\n");
}

TEST(TextTable, VolumeRootAndQueuedSubdirectories) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    opts.last_level = 0;
    const std::u16string root = u"C:\\";
    listing_rows rows;
    rows.insert(row(root, u".", row_kind_directory, 5, 5, 3, 0, root));
    rows.insert(row(root, u"boot.ini", row_kind_file, 30, 1, 1, 211, u"C:\\\\boot.ini"));
    rows.insert(row(root, u"Windows", row_kind_directory, 31, 1, 3, 0, u"C:\\\\Windows"));
    rows.insert(row(root, u"Windows:meta", row_kind_data_stream, 31, 1, 3, 9, u"C:\\\\Windows:meta"));
    listing_rows queue;
    EXPECT_EQ(run(text_plain, opts, std::move(rows), queue, root, 5),
              header +
              t + "           5    5                dir  C:\\\n" +
              t + "          30    1          211        C:\\boot.ini\n");
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.begin()->dir_path, u"C:\\Windows");
    EXPECT_EQ(queue.begin()->kind, row_kind_directory);
    EXPECT_EQ(std::next(queue.begin())->dir_path, u"C:\\Windows:meta");
}

TEST(TextTable, QueueingRuleOnAnOrdinaryDirectory) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    opts.last_level = 0;
    listing_rows queue;
    queue.insert(row(u"old", u"stale", row_kind_file, 1, 1, 1, 0, u"old"));  // emptied first
    const std::string got = run(text_plain, opts, docs_rows(), queue);
    EXPECT_EQ(got.find("sub"), std::string::npos);
    // The written directory's own rows are printed even though they are
    // rows of a directory.
    EXPECT_NE(got.find("dir  C:\\docs\\\n"), std::string::npos);
    EXPECT_NE(got.find("ads  C:\\docs:notes\n"), std::string::npos);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.begin()->dir_path, u"C:\\docs\\sub");
    EXPECT_EQ(queue.begin()->entry, 44u);
    EXPECT_EQ(std::next(queue.begin())->kind, row_kind_data_stream);
}

TEST(TextTable, IndexStreamsAndAStartingFile) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    listing_rows queue;
    const std::string got = run(text_plain, opts, docs_rows_with_indx(), queue);
    EXPECT_NE(got.find(t + "          40    2         4096  indx  C:\\docs:$I30\n"), std::string::npos);
    EXPECT_NE(got.find(t + "          44    1         8192  indx  C:\\docs\\sub:$I30\n"), std::string::npos);

    // A start path naming a file: its own streams have no directory line.
    listing_rows rows;
    rows.insert(row(u"C:\\docs", u"a.txt", row_kind_file, 41, 1, 1, 4, u"C:\\docs\\a.txt"));
    rows.insert(row(u"C:\\docs", u"a.txt:zone", row_kind_data_stream, 41, 1, 1, 26, u"C:\\docs\\a.txt:zone"));
    EXPECT_EQ(run(text_plain, opts, std::move(rows), queue, u"C:\\docs", 41),
              t + "          41    1            4        C:\\docs\\a.txt\n" +
              t + "          41    1           26   ads  :zone\n");
}

TEST(TextTable, EmptyRowSet) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    listing_rows queue;
    queue.insert(row(u"old", u"stale", row_kind_file, 1, 1, 1, 0, u"old"));
    EXPECT_EQ(run(text_plain, opts, {}, queue), "no items in directory\n");
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(run(write_path_list, opts, {}, queue), "no items in directory\n");
}

TEST(PathList, OneLinePerRowWithLinkTargetsAlone) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    listing_rows queue;
    EXPECT_EQ(run(write_path_list, opts, docs_rows(), queue),
              "C:\\docs\\\n"
              "C:\\docs:notes\n"
              "C:\\docs\\a,b.txt\n"
              "C:\\docs\\a,b.txt:zone\n"
              "C:\\docs\\café.txt\n"
              "D:\\café & <x>|y,z\n"
              "C:\\docs\\sub\\\n"
              "C:\\docs\\sub:ads\n");

    opts.last_level = 0;
    EXPECT_EQ(run(write_path_list, opts, docs_rows(), queue),
              "C:\\docs\\\n"
              "C:\\docs:notes\n"
              "C:\\docs\\a,b.txt\n"
              "C:\\docs\\a,b.txt:zone\n"
              "C:\\docs\\café.txt\n"
              "D:\\café & <x>|y,z\n");
    EXPECT_EQ(queue.size(), 2u);
}

TEST(PathList, IndexStreamsArePrintedLikeDataStreams) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    listing_rows queue;
    const std::string got = run(write_path_list, opts, docs_rows_with_indx(), queue);
    EXPECT_EQ(got.rfind("C:\\docs\\\nC:\\docs:$I30\nC:\\docs:notes\n", 0), 0u);
    EXPECT_NE(got.find("\nC:\\docs\\sub\\\nC:\\docs\\sub:$I30\n"), std::string::npos);
    EXPECT_EQ(got.find("\n\n"), std::string::npos);
}

}  // namespace
