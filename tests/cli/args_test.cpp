#include "cli/args.hpp"
#include "cli/text.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(ArgList, TakeAndPeekMatchCaseInsensitively) {
    arg_list a = {"prog", "C:\\dir", "-CSV", "-Level", "2", "-csv"};
    EXPECT_TRUE(take_flag(a, "-csv"));
    EXPECT_EQ(a, (arg_list{"prog", "C:\\dir", "-Level", "2", "-csv"}));  // first match only
    std::string v;
    EXPECT_TRUE(peek_value(a, "-LEVEL", v));
    EXPECT_EQ(v, "2");
    EXPECT_EQ(a.size(), 5u);
    EXPECT_TRUE(take_value(a, "-level", v));
    EXPECT_EQ(a, (arg_list{"prog", "C:\\dir", "-csv"}));
    EXPECT_FALSE(take_flag(a, "-cs"));  // whole elements only
}

TEST(ArgList, ValueOptionStandingLastStays) {
    arg_list a = {"prog", "c:\\dir", "-recurse"};
    std::string v = "unchanged";
    EXPECT_FALSE(take_value(a, "-recurse", v));
    EXPECT_FALSE(peek_value(a, "-recurse", v));
    EXPECT_EQ(v, "unchanged");
    EXPECT_EQ(a.size(), 3u);
    EXPECT_TRUE(has_arg(a, "-RECURSE"));
}

TEST(ArgList, LookupsSkipTheProgramPath) {
    arg_list a = {"-pipe", "x"};
    EXPECT_FALSE(has_arg(a, "-pipe"));
    std::string v;
    EXPECT_FALSE(peek_value(a, "-pipe", v));
    EXPECT_TRUE(take_flag(a, "-pipe"));  // takes search from element 0
}

TEST(Numbers, ThreeBases) {
    uint64_t v = 0;
    EXPECT_TRUE(parse_number("  0X7E00 ", v));
    EXPECT_EQ(v, 0x7E00u);
    EXPECT_TRUE(parse_number("x10", v));
    EXPECT_EQ(v, 16u);
    EXPECT_TRUE(parse_number("0o17", v));
    EXPECT_EQ(v, 15u);
    EXPECT_TRUE(parse_number("32256", v));
    EXPECT_EQ(v, 32256u);
    EXPECT_TRUE(parse_number("12abc", v));
    EXPECT_EQ(v, 12u);
    EXPECT_TRUE(parse_number("-1", v));
    EXPECT_EQ(v, ~uint64_t{0});
    EXPECT_TRUE(parse_number("99999999999999999999999", v));
    EXPECT_EQ(v, ~uint64_t{0});
    for (const char* bad : {"", "  ", "abc", "0x", "0xg", "o9", "-", "box"}) EXPECT_FALSE(parse_number(bad, v)) << bad;
    // A minus sign before a hexadecimal or octal number is kept: "-0x10"
    // is not the offset 16.
    EXPECT_TRUE(parse_number(" -0x10", v));
    EXPECT_EQ(v, 0 - uint64_t{16});
    EXPECT_TRUE(parse_number("-0o10", v));
    EXPECT_EQ(v, 0 - uint64_t{8});
}

TEST(Numbers, ThirtyTwoBit) {
    int32_t v = 0;
    EXPECT_TRUE(parse_int("2", v));
    EXPECT_EQ(v, 2);
    EXPECT_TRUE(parse_int("-5", v));
    EXPECT_EQ(v, -5);
    EXPECT_TRUE(parse_int("0xffffffff", v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(parse_int("0o10", v));
    EXPECT_EQ(v, 8);
    EXPECT_TRUE(parse_int("5000000000", v));
    EXPECT_EQ(v, INT32_MAX);
    EXPECT_TRUE(parse_int("-5000000000", v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_FALSE(parse_int("0x100000000", v));
    EXPECT_TRUE(parse_int("-0x2", v));
    EXPECT_EQ(v, -2);
    EXPECT_TRUE(parse_int("-0x100000000", v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_FALSE(parse_int("c:\\dir", v));
}

TEST(Text, SplitList) {
    EXPECT_EQ(split_list(" a | b |c ", "|,;"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split_list("a,b;c", "|,;"), (std::vector<std::string>{"a", "b;c"}));
    EXPECT_EQ(split_list("a;; ;b", "|,;"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split_list("one file.vmdk", "|,;"), (std::vector<std::string>{"one file.vmdk"}));
}

TEST(Text, EnvironmentExpansion) {
    ::setenv("BRELVIK_T_HOME", "/home/ex", 1);
    ::unsetenv("BRELVIK_T_UNSET");
    ::unsetenv("vss");
    ::unsetenv("VSS");
    EXPECT_EQ(expand_env_path("%BRELVIK_T_HOME%/a", false), "/home/ex/a");
    EXPECT_EQ(expand_env_path("x%BRELVIK_T_UNSET%y%BRELVIK_T_HOME%", false), "x%BRELVIK_T_UNSET%y/home/ex");
    EXPECT_EQ(expand_env_path("%VSS%3\\Windows", true), "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy3\\Windows");
    EXPECT_EQ(expand_env_path("%vss%3", false), "%vss%3");
    EXPECT_EQ(expand_env_path("100%", true), "100%");
    EXPECT_EQ(expand_env_path("%%BRELVIK_T_HOME%", true), "%/home/ex");
    const std::string long_text = std::string(510, 'a') + "%BRELVIK_T_HOME%";
    EXPECT_EQ(expand_env_path(long_text, true), long_text);
}

TEST(Text, AbsolutePathsAndExistence) {
    const std::string cwd = uni::to_utf8(platform::current_directory());
    EXPECT_EQ(make_absolute_path("\"sub/../file\""), cwd + "/file");
    EXPECT_EQ(make_absolute_path("'a b'"), cwd + "/a b");
    EXPECT_EQ(make_absolute_path("\\\\server\\share"), "\\\\server\\share");
    EXPECT_EQ(make_absolute_path("  "), "");
    EXPECT_TRUE(path_exists(cwd + "/"));
    EXPECT_TRUE(path_exists("/"));
    EXPECT_FALSE(path_exists(cwd + "/no-such-entry-here"));
}

TEST(Text, PosixPathsAgainstWindowsForms) {
    // Host forms: absolute, relative with a slash, the two dot names, and
    // bare names long enough not to be a drive letter.
    for (const char* p : {"/", "/mnt/evidence/Users", "./x", "a/", ".", "..", "Users", "a b", "ab:c/d"})
        EXPECT_TRUE(is_posix_path(p)) << p;
    // Windows forms keep their meaning: volume shorthands, drive letters,
    // backslashes anywhere, device names.
    for (const char* p : {"", "c", "ab", "c:", "C:\\Users", "c:/Users", "\\docs", "docs\\x", "\\\\.\\C:", "/mnt\\x"})
        EXPECT_FALSE(is_posix_path(p)) << p;
}

TEST(Text, Utf8DecoderRefusals) {
    EXPECT_EQ(uni::to_utf16("\xF0\x9F\x98\x80"), std::u16string(u"\U0001F600"));
    EXPECT_TRUE(uni::to_utf16("ok\xC3\x28").empty());          // bad continuation
    EXPECT_TRUE(uni::to_utf16("\xE2\x82").empty());            // cut short
    EXPECT_TRUE(uni::to_utf16("\xC0\xAF").empty());            // overlong
    EXPECT_TRUE(uni::to_utf16("\xED\xA0\x80").empty());        // lone surrogate
    EXPECT_TRUE(uni::to_utf16("\xF4\x90\x80\x80").empty());    // above U+10FFFF
    EXPECT_TRUE(uni::to_utf16("\xFF").empty());
}

// Names of every length around the four-unit blocks the encoder looks at,
// with a non-ASCII unit, a surrogate pair or a lone surrogate at every
// place: the bytes are what the compiler encodes, and a lone surrogate
// makes the result empty.
TEST(Text, Utf8EncoderAtEveryPlace) {
    std::string out = "left from before";
    for (size_t length = 0; length <= 13; ++length) {
        const std::u16string ascii(length, u'a');
        uni::to_utf8(ascii, out);
        EXPECT_EQ(out, std::string(length, 'a'));
        for (size_t at = 0; at <= length; ++at) {
            const auto with = [&](std::u16string_view unit) {
                std::u16string s = ascii;
                s.insert(at, unit);
                return s;
            };
            const auto expect = [&](const char* bytes) { return std::string(at, 'a') + bytes + std::string(length - at, 'a'); };
            uni::to_utf8(with(u"é"), out);
            EXPECT_EQ(out, expect("\xC3\xA9")) << length << " " << at;
            uni::to_utf8(with(u"€"), out);
            EXPECT_EQ(out, expect("\xE2\x82\xAC")) << length << " " << at;
            uni::to_utf8(with(u"😀"), out);
            EXPECT_EQ(out, expect("\xF0\x9F\x98\x80")) << length << " " << at;
            EXPECT_EQ(uni::to_utf16(out), with(u"😀"));
            const char16_t lone[] = {0xD800, 0};
            uni::to_utf8(with(lone), out);
            EXPECT_TRUE(out.empty()) << length << " " << at;
            // The first unit past ASCII, and the last ASCII one.
            uni::to_utf8(with(u""), out);
            EXPECT_EQ(out, expect("\xC2\x80")) << length << " " << at;
            uni::to_utf8(with(u""), out);
            EXPECT_EQ(out, expect("\x7F")) << length << " " << at;
        }
    }
}

}  // namespace
