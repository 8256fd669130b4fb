// How every layout marks the rows -deleted adds: a deleted file, stream and
// folder, a name whose record was reused, and the orphan folder.
#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

// C:\docs (entry 40, live) holding gone.txt (50, deleted) with its stream
// "s", the deleted folder old\ (51), the reused name was.txt (52) and the
// reused folder moved\ (53).
listing_rows deleted_rows() {
    const std::u16string d = u"C:\\docs";
    listing_rows rows;
    rows.insert(row(d, u"docs", row_kind_directory, 40, 2, 3, 0, d));
    auto add = [&](const std::u16string& name, int32_t kind, uint64_t entry, uint16_t seq, uint16_t flags,
                   uint64_t size, uint8_t state) {
        listing_row r = row(d, name, kind, entry, seq, flags, size, d + u"\\" + name);
        r.deleted = state;
        rows.insert(r);
    };
    add(u"gone.txt", row_kind_file, 50, 3, 0, 100, row_deleted);
    add(u"gone.txt:s", row_kind_data_stream, 50, 3, 0, 9, row_deleted);
    add(u"old", row_kind_directory, 51, 2, 2, 0, row_deleted);
    add(u"was.txt", row_kind_file, 52, 1, 0, 7, row_realloc);
    add(u"moved", row_kind_directory, 53, 1, 2, 0, row_realloc);
    return rows;
}

bool text(std::ostream& out, listing_rows& q, brelvik_opts& o, const std::u16string& p, uint64_t e) {
    return write_text_table(out, q, o, p, e, false);
}

const std::string t = "2024-01-17 21:20:01.000";

TEST(DeletedRows, TextTableAndPathList) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {}));
    opts.show_deleted = 1;
    listing_rows queue;
    const std::string got = run(text, opts, deleted_rows(), queue);
    EXPECT_NE(got.find(t + "          40    2                dir  C:\\docs\\\n" +
                       t + "          50    3          100  *     C:\\docs\\gone.txt\n" +
                       t + "          50    3            9  *ads  C:\\docs\\gone.txt:s\n" +
                       t + "          53    1               *dir  C:\\docs\\moved\\ (realloc)\n" +
                       t + "          51    2               *dir  C:\\docs\\old\\\n" +
                       t + "          52    1            7  *     C:\\docs\\was.txt (realloc)\n"),
              std::string::npos)
        << got;
    EXPECT_EQ(run(write_path_list, opts, deleted_rows(), queue),
              "C:\\docs\\\n"
              "C:\\docs\\gone.txt (deleted)\n"
              "C:\\docs\\gone.txt:s (deleted)\n"
              "C:\\docs\\moved\\ (deleted-realloc)\n"
              "C:\\docs\\old\\ (deleted)\n"
              "C:\\docs\\was.txt (deleted-realloc)\n");

    // With more levels to go the deleted folder is queued to be descended;
    // a reused folder's record holds another file, so it is printed in place.
    opts.last_level = 0;
    const std::string queued = run(text, opts, deleted_rows(), queue);
    EXPECT_NE(queued.find("C:\\docs\\moved\\ (realloc)"), std::string::npos);
    EXPECT_EQ(queued.find("C:\\docs\\old\\"), std::string::npos);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.begin()->entry, 51u);
}

TEST(DeletedRows, CsvAndXmlCarryAColumnOfTheirOwnAtTheEnd) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-csv"}));
    opts.show_deleted = 1;
    listing_rows queue;
    std::istringstream csv(run(write_csv, opts, deleted_rows(), queue));
    std::vector<std::string> lines;
    for (std::string l; std::getline(csv, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(lines[0].ends_with("time discrepancy,deleted")) << lines[0];
    // A live row is what it is without -deleted: its empty last field.
    EXPECT_TRUE(lines[1].ends_with(",,")) << lines[1];
    EXPECT_EQ(lines[2].rfind("file,C:\\docs\\gone.txt,,0x00000064,"), 0u);
    EXPECT_TRUE(lines[2].ends_with(",,true")) << lines[2];
    EXPECT_TRUE(lines[4].ends_with(",,realloc")) << lines[4];

    // With -objid the column follows the object ID's.
    brelvik_opts with_id;
    ASSERT_TRUE(configure(with_id, {"-csv"}));
    with_id.show_objid = with_id.show_deleted = 1;
    std::istringstream csv_id(run(write_csv, with_id, deleted_rows(), queue));
    std::string head, own, deleted;
    std::getline(csv_id, head);
    std::getline(csv_id, own);
    std::getline(csv_id, deleted);
    EXPECT_TRUE(head.ends_with("object ID,deleted")) << head;
    EXPECT_TRUE(own.ends_with(",,,")) << own;
    EXPECT_TRUE(deleted.ends_with(",,,true")) << deleted;

    brelvik_opts xml;
    ASSERT_TRUE(configure(xml, {}));
    xml.show_deleted = 1;
    const std::string got = run(write_xml, xml, deleted_rows(), queue);
    EXPECT_NE(got.find("<object_id/><deleted/></data_entry>"), std::string::npos);
    EXPECT_NE(got.find("<filename>gone.txt</filename>"), std::string::npos);
    EXPECT_NE(got.find("<object_id/><deleted>true</deleted></data_entry>"), std::string::npos);
    EXPECT_NE(got.find("<object_id/><deleted>realloc</deleted></data_entry>"), std::string::npos);
    EXPECT_EQ(deleted_word(row_virtual), "virtual");
}

}  // namespace
