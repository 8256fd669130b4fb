#include "cli/filter.hpp"
#include "output/datetime.hpp"
#include "platform/unicode.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

std::vector<filter_element> elements(const char* value) {
    std::vector<filter_element> out;
    parse_filter_value(value, out);
    return out;
}

TEST(FilterElements, Flags) {
    auto e = elements("*.TXT|Report*|*tmp*|\\Windows\\System32|exact.dat");
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0].raw, u"*.txt");
    EXPECT_EQ(e[0].name, u".txt");
    EXPECT_TRUE(e[0].name_lead_star && !e[0].name_trail_star);
    EXPECT_EQ(e[1].name, u"report");
    EXPECT_TRUE(!e[1].name_lead_star && e[1].name_trail_star);
    EXPECT_TRUE(e[2].name_lead_star && e[2].name_trail_star);
    EXPECT_EQ(e[3].name, u"\\windows\\system32");
    EXPECT_TRUE(e[3].path_pattern);
    EXPECT_FALSE(e[4].path_pattern || e[4].name_lead_star || e[4].name_trail_star || e[4].match_all);

    auto s = elements("file.txt:zone*,*:*");  // no "|": split on ","
    ASSERT_EQ(s.size(), 2u);
    EXPECT_TRUE(s[0].has_stream);
    EXPECT_EQ(s[0].name, u"file.txt");
    EXPECT_EQ(s[0].stream, u"zone");
    EXPECT_TRUE(s[0].stream_trail_star && !s[0].stream_lead_star && !s[0].stream_any);
    EXPECT_TRUE(s[1].match_all && s[1].stream_any);

    auto all = elements("a|*|b");  // "*" ends the value
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[1].match_all);
    EXPECT_EQ(elements("a|b,c").size(), 2u);
}

TEST(FilterElements, Signature) {
    filter_element e;
    ASSERT_TRUE(parse_filter_sig("4D5A|0x10", e));
    EXPECT_EQ(e.signature, (std::vector<uint8_t>{0x4D, 0x5A}));
    EXPECT_EQ(e.sig_offset, 16u);
    ASSERT_TRUE(parse_filter_sig("0x 50 4b", e));
    EXPECT_EQ(e.signature.size(), 2u);
    EXPECT_EQ(e.sig_offset, 0u);
    EXPECT_FALSE(parse_filter_sig("4D5", e));
    EXPECT_FALSE(parse_filter_sig("zz|1", e));
}

struct Accepts : ::testing::Test {
    cmd_params params;
    void use(const char* value) { parse_filter_value(value, params.filters); }
    bool accepts(const char16_t* path) { return filter_accepts(params, path, nullptr); }
};

TEST_F(Accepts, NameRules) {
    EXPECT_FALSE(accepts(u""));
    EXPECT_TRUE(accepts(u"\\any\\thing"));  // no filter
    use("*.txt|report*|*tmp*|exact.dat");
    EXPECT_TRUE(accepts(u"\\Docs\\NOTES.TXT"));
    EXPECT_FALSE(accepts(u"\\docs\\notes.txt.bak"));
    EXPECT_TRUE(accepts(u"\\docs\\Report-2024.doc"));
    EXPECT_FALSE(accepts(u"\\docs\\my report"));
    EXPECT_TRUE(accepts(u"\\docs\\a.tmp.b"));
    EXPECT_TRUE(accepts(u"\\docs\\exact.dat"));
    EXPECT_FALSE(accepts(u"\\docs\\exact.data"));
    EXPECT_FALSE(accepts(u"\\exact.dat\\other"));
}

TEST_F(Accepts, PathPatterns) {
    use("\\windows\\system32");
    EXPECT_TRUE(accepts(u"C:\\Windows\\System32\\cmd.exe"));
    EXPECT_TRUE(accepts(u"C:\\Windows\\System32\\drivers\\etc\\hosts"));
    EXPECT_TRUE(accepts(u"/mnt/windows/system32/cmd.exe"));  // other separators
    EXPECT_FALSE(accepts(u"C:\\Windows\\System32x\\cmd.exe"));
    EXPECT_FALSE(accepts(u"C:\\Windows\\notepad.exe"));
}

TEST_F(Accepts, MatchAllAlone) {
    use("*");
    EXPECT_TRUE(accepts(u"\\whatever"));
    EXPECT_FALSE(accepts(u""));
}

TEST_F(Accepts, SignatureReadsTheFile) {
    const auto dir = std::filesystem::temp_directory_path() / "brelvik_filter_test";
    std::filesystem::create_directories(dir);
    const auto file = dir / "sample.bin";
    {
        std::ofstream(file, std::ios::binary) << "abcMZdef";
    }
    filter_element e;
    ASSERT_TRUE(parse_filter_sig("4d5a|3", e));
    params.filters.push_back(e);
    const std::u16string path = uni::to_utf16(file.string());
    EXPECT_TRUE(filter_accepts(params, path, nullptr));
    params.filters[0].sig_offset = 7;  // runs past the end
    EXPECT_FALSE(filter_accepts(params, path, nullptr));
    params.filters[0].sig_offset = 0;
    EXPECT_FALSE(filter_accepts(params, path, nullptr));
    EXPECT_FALSE(filter_accepts(params, u"/no/such/file", nullptr));
}

TEST_F(Accepts, TimeWindow) {
    uint64_t from = 0, to = 0, before = 0, inside = 0, after = 0;
    ASSERT_TRUE(civil_to_filetime(2012, 1, 1, 0, 0, 0, from));
    ASSERT_TRUE(civil_to_filetime(2012, 1, 31, 23, 59, 59, to));
    ASSERT_TRUE(civil_to_filetime(2011, 6, 1, 0, 0, 0, before));
    ASSERT_TRUE(civil_to_filetime(2012, 1, 15, 0, 0, 0, inside));
    ASSERT_TRUE(civil_to_filetime(2013, 1, 1, 0, 0, 0, after));
    params.time_from = {true, from, 0};
    params.time_to = {true, to, 0};
    auto check = [&](uint64_t modified, uint64_t created, uint32_t kind = 1) {
        platform::live_file_info info;
        info.modified = modified;
        info.created = created;
        info.time_kind = kind;
        return filter_accepts(params, u"\\f", &info);
    };
    EXPECT_TRUE(check(inside, inside));
    EXPECT_TRUE(check(inside, before));   // one of them inside the start
    EXPECT_FALSE(check(before, before));  // both before the start
    EXPECT_FALSE(check(inside, after));   // either after the stop
    EXPECT_FALSE(check(inside, inside, 2));
    EXPECT_TRUE(accepts(u"\\f"));         // no record: no window

    // A record without times is filled from the live file.
    params.time_from = {true, before, 0};
    params.time_to = {false, 0, 0};
    platform::live_file_info info;
    const std::u16string here = uni::to_utf16(std::filesystem::temp_directory_path().string());
    EXPECT_TRUE(filter_accepts(params, here, &info));
    EXPECT_NE(info.modified, 0u);
    platform::live_file_info none;
    EXPECT_FALSE(filter_accepts(params, u"/no/such/file", &none));
}

}  // namespace
