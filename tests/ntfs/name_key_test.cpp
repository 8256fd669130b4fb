// The key that orders an entry's names is "%08llx_<UTF-8 name>_%08llx".
#include "ntfs/names_utf16.hpp"

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

}  // namespace
