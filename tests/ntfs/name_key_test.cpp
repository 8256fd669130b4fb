// The key that orders an entry's names is "%08llx_<UTF-8 name>_%08llx".
#include "ntfs/names_utf16.hpp"
#include "platform/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

std::string printf_key(uint64_t parent, const std::u16string& name, uint64_t record) {
    char a[24], b[24];
    std::snprintf(a, sizeof a, "%08llx", static_cast<unsigned long long>(parent));
    std::snprintf(b, sizeof b, "%08llx", static_cast<unsigned long long>(record));
    return std::string(a) + "_" + ntfs_name_to_utf8(name) + "_" + b;
}

TEST(NameKey, MatchesThePrintfForm) {
    EXPECT_EQ(name_key(5, u"file.txt", 64), "00000005_file.txt_00000040");
    EXPECT_EQ(name_key(0, u"", 0), "00000000__00000000");
    EXPECT_EQ(name_key(0xFFFFFFFFFFFFULL, u"x", 0x123456789ULL), "ffffffffffff_x_123456789");
    std::mt19937_64 rng(3);
    const char16_t units[] = {u'a', u'Z', u'_', 0x00E9, 0x65E5, 0xD83D, 0xDE00, 0xDC00};
    for (int i = 0; i < 20000; ++i) {
        const uint64_t parent = rng() >> (rng() % 64);
        const uint64_t record = rng() >> (rng() % 64);
        std::u16string name;
        for (size_t k = rng() % 10; k > 0; --k) name.push_back(units[rng() % std::size(units)]);
        ASSERT_EQ(name_key(parent, name, record), printf_key(parent, name, record)) << i;
    }
}

// Stream names and link targets come back unit for unit from their UTF-8
// form, surrogates paired or not and in every place, and are shown with
// U+FFFD for each unpaired one.
TEST(NameKey, AttributeNamesComeBackUnitForUnit) {
    std::mt19937_64 rng(11);
    const char16_t units[] = {u'a', u':', 0x00E9, 0x07FF, 0x0800, 0x65E5, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFD, 0xFFFF};
    for (int i = 0; i < 50000; ++i) {
        std::u16string text;
        for (size_t k = rng() % 8; k > 0; --k) text.push_back(units[rng() % std::size(units)]);
        const std::string utf8 = ntfs_text_to_utf8(text);
        ASSERT_EQ(uni::to_utf16_lenient(utf8), text) << i;
        ASSERT_EQ(uni::shown_utf8_size(text), uni::to_shown_utf8(text).size()) << i;
    }
    // Bytes no conversion of ours writes each become U+FFFD, and the text
    // around them is kept.
    EXPECT_EQ(uni::to_utf16_lenient("a\xFF\xC3" "b\xE6\x97"), u"a\uFFFD\uFFFDb\uFFFD\uFFFD");
    EXPECT_EQ(uni::to_utf16_lenient("\xC0\x80\xF4\x90\x80\x80" "z"), u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDz");
}

// The order compared without building the keys is the order of the keys:
// numbers on both sides of eight digits, names that begin one another,
// '_' and characters on both sides of it, and surrogates paired or not.
TEST(NameKey, ComparedAsTheKeysCompare) {
    std::mt19937_64 rng(7);
    const char16_t units[] = {u'a', u'b', u'A', u'^', u'_', u'`', u'.', 0x00E9, 0x0100, 0x65E5, 0xD83D, 0xDE00, 0xE000, 0xFFFD};
    const uint64_t numbers[] = {0, 5, 0xFFFFFFFFULL, 0x100000000ULL, 0x123456789ULL, 0xFFFFFFFFFFFFULL};
    auto number = [&] { return rng() % 3 ? numbers[rng() % 2 + 1] - rng() % 2 : numbers[rng() % std::size(numbers)]; };
    auto name = [&] {
        std::u16string n;
        for (size_t k = rng() % 6; k > 0; --k) n.push_back(units[rng() % std::size(units)]);
        return n;
    };
    for (int i = 0; i < 200000; ++i) {
        const uint64_t pa = number(), ra = number();
        const std::u16string na = name();
        // Often the same parent, and a name that begins or equals the other.
        const uint64_t pb = rng() % 4 ? pa : number();
        const uint64_t rb = rng() % 2 ? ra : number();
        std::u16string nb = rng() % 2 ? na.substr(0, rng() % (na.size() + 1)) : name();
        if (rng() % 2) nb += name();
        const int want = name_key(pa, na, ra).compare(name_key(pb, nb, rb));
        const int got = compare_name_keys(pa, na, ra, pb, nb, rb);
        ASSERT_EQ((want > 0) - (want < 0), got) << i;
    }
}

}  // namespace
