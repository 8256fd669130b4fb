#include "output/line_text.hpp"
#include "output/number_text.hpp"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>

namespace {

// Against the standard library's own formatting: every digit count, the
// two-digit steps' edges, every bit width's edges (the digit count is read
// from it) and random values of every width; written into a string and
// into a line buffer that grows on the way.
TEST(NumberText, DecimalAndHexAgreeWithTheStandardFormatting) {
    std::vector<uint64_t> values = {0, 1, 9, 10, 11, 99, 100, 101, 999, 1000, UINT64_MAX, UINT64_MAX - 1};
    for (uint64_t p = 10; p <= UINT64_MAX / 10; p *= 10) values.insert(values.end(), {p - 1, p, p + 1});
    for (int bit = 1; bit < 64; ++bit) values.insert(values.end(), {(uint64_t(1) << bit) - 1, uint64_t(1) << bit});
    std::mt19937_64 rng(3);
    for (int i = 0; i < 20000; ++i) values.push_back(rng() >> (rng() % 64));
    std::string line = "x", all;
    line_text text;
    for (uint64_t v : values) {
        line.resize(1);
        append_decimal(line, v);
        ASSERT_EQ(line, "x" + std::to_string(v));
        append_decimal(text, v);
        text += ',';
        all += std::to_string(v) + ',';
        for (int width : {0, 4, 8, 16}) {
            char want[32];
            std::snprintf(want, sizeof want, "%0*" PRIx64, width, v);
            line.resize(1);
            append_hex(line, v, width);
            ASSERT_EQ(line, std::string("x") + want) << width;
        }
    }
    EXPECT_EQ(text.view(), all);
    text.clear();
    text += "again";
    EXPECT_EQ(text.view(), "again");
}

}  // namespace
