#include "output/number_text.hpp"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>

namespace {

// Against the standard library's own formatting: every digit count, the
// two-digit steps' edges and random values of every width.
TEST(NumberText, DecimalAndHexAgreeWithTheStandardFormatting) {
    std::vector<uint64_t> values = {0, 1, 9, 10, 11, 99, 100, 101, 999, 1000, UINT64_MAX, UINT64_MAX - 1};
    for (uint64_t p = 10; p <= UINT64_MAX / 10; p *= 10) values.insert(values.end(), {p - 1, p, p + 1});
    std::mt19937_64 rng(3);
    for (int i = 0; i < 20000; ++i) values.push_back(rng() >> (rng() % 64));
    std::string line = "x";
    for (uint64_t v : values) {
        line.resize(1);
        append_decimal(line, v);
        ASSERT_EQ(line, "x" + std::to_string(v));
        for (int width : {0, 4, 8, 16}) {
            char want[32];
            std::snprintf(want, sizeof want, "%0*" PRIx64, width, v);
            line.resize(1);
            append_hex(line, v, width);
            ASSERT_EQ(line, std::string("x") + want) << width;
        }
    }
}

}  // namespace
