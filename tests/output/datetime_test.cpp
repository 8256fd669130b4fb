#include "output/datetime.hpp"

#include <gtest/gtest.h>

#include <random>

#include <chrono>

namespace {

constexpr uint64_t example = 133500000000000000ULL;  // 2024-01-17 21:20:00 UTC
constexpr uint64_t tick = 10000000ULL;

date_time_text show(uint64_t filetime, const char* date, const char* time) {
    return format_date_time(to_calendar(filetime), compile_formats(date, time, false));
}

TEST(DateTime, ExampleInEachTemplate) {
    const date_time_text d = show(example, "yyyy-mm-dd", "hh:mm:ss.xxx");
    EXPECT_EQ(d.date, "2024-01-17");
    EXPECT_EQ(d.time, "21:20:00.000");
    EXPECT_EQ(show(example, "mm/dd/yyyy", "hh:mm:ss.xxx").date, "01/17/2024");
    EXPECT_EQ(show(example, "dd/mm/yyyy", "hh:mm:ss.xxx").date, "17/01/2024");
    EXPECT_EQ(show(example, "yyyy mm dd", "hh:mm:ss.xxx").date, "2024 01 17");
    EXPECT_EQ(show(example, "mm-dd-yy", "hh:mm:ss.xxx").date, "01-17-2024");  // the year is never shortened
    EXPECT_EQ(show(example, "dd/mm/yy", "hh:mm:ss.xxx").date, "17/01/2024");
    EXPECT_EQ(show(example, "mmm dd yy,", "hh:mm:ss.xxx").date, "Jan 17 2024");
    EXPECT_EQ(show(example, "dd mmm yy", "hh:mm:ss").date, "17 Jan 2024");
    EXPECT_EQ(show(example, "yyyymmdd", "hh:mm:ss").date, "20240117");
    EXPECT_EQ(show(example, "yyyy-mm-dd", "hh:mm:ss.xxxxxxx").time, "21:20:00.0000000");
    EXPECT_EQ(show(example, "yyyy-mm-dd", "hh:mm:ss").time, "21:20:00");
    EXPECT_EQ(show(example, "yyyy-mm-dd", "hh:mm:ss.xxxxxxxxx").time, "21:20:00.000000000");
    // A year-first template with a month name has no layout.
    EXPECT_EQ(show(example, "yyyy mmm dd", "hh:mm:ss").date, "");
    // Word 0 stands for the default layout.
    EXPECT_EQ(format_date_time(to_calendar(example), 0).date, "2024-01-17");
    EXPECT_EQ(format_date_time(to_calendar(example), 0).time, "21:20:00.000");
}

TEST(DateTime, PackedWord) {
    EXPECT_EQ(compile_formats("yyyy-mm-dd", "hh:mm:ss.xxx", false), '-' | 0x200u | 0x400u | 0x8000u | (3u << 17));
    EXPECT_EQ(compile_formats("mmm dd yy,", "hh:mm:ss", true), ' ' | 0x100u | 0x800u | 0x1000u | 0x4000u | 0x10000u);
    EXPECT_EQ(compile_formats("dd/mm/yyyy", "hh:mm:ss.xxxxxxxxxxxx", false) >> 17, 9u);  // capped at 9
    // Compiling stops at the first missing field and keeps what it has.
    EXPECT_EQ(compile_formats("dd/mm/zz", "hh:mm:ss.xxx", false), '/' | 0x200u | (3u << 17));
    EXPECT_EQ(show(example, "dd/mm/zz", "hh:mm:ss").date, "");
    EXPECT_EQ(compile_formats("mm:dd:yy", "hh:mm:ss", false) & 0xFFu, 0u);
}

TEST(DateTime, EveryFractionLength) {
    const calendar_time t = to_calendar(example + 1234567);
    const char* expected[] = {"21:20:00", "21:20:00.1", "21:20:00.12", "21:20:00.123", "21:20:00.1234",
                              "21:20:00.12345", "21:20:00.123456", "21:20:00.1234567", "21:20:00.12345670",
                              "21:20:00.123456700"};
    for (uint32_t n = 0; n <= 9; ++n)
        EXPECT_EQ(format_date_time(t, 0x8000u | 0x200u | 0x400u | (n << 17)).time, expected[n]) << n;
    for (uint32_t n = 10; n <= 15; ++n) EXPECT_EQ(format_date_time(t, 0x8000u | (n << 17)).time, "21:20:00");
    EXPECT_EQ(show(example + 1234567, "yyyy-mm-dd", "hh:mm:ss.xxxxxx").time, "21:20:00.123456");
}

TEST(DateTime, ValidityEdges) {
    const uint64_t epoch = filetime_unix_epoch;
    for (uint64_t bad : {uint64_t{0}, uint64_t{1} << 63, ~uint64_t{0}, tick /* 1601-01-01 00:00:01 */,
                         epoch - tick, epoch, epoch + tick / 2, epoch + (latest_unix_seconds + 1) * tick}) {
        const calendar_time t = to_calendar(bad);
        EXPECT_FALSE(t.valid) << bad;
        const date_time_text d = format_date_time(t, 0);
        EXPECT_TRUE(d.date.empty() && d.time.empty());
    }
    EXPECT_TRUE(to_calendar(epoch + tick).valid);
    const calendar_time last = to_calendar(epoch + latest_unix_seconds * tick + tick - 1);
    ASSERT_TRUE(last.valid);
    EXPECT_EQ(show(last.filetime, "yyyy-mm-dd", "hh:mm:ss").date, "3001-01-01");
    EXPECT_EQ(show(last.filetime, "yyyy-mm-dd", "hh:mm:ss").time, "07:59:59");
}

TEST(DateTime, CalendarAgreesWithChrono) {
    using namespace std::chrono;
    // Every day from 1970 up to the last one shown (whose shown part ends
    // in its morning), at a time of day that moves too.
    for (int64_t day = 1; day < latest_unix_seconds / 86400; ++day) {
        const int64_t secs = day * 86400 + (day * 3607) % 86400;
        const uint64_t ft = filetime_unix_epoch + static_cast<uint64_t>(secs) * tick;
        const calendar_time t = to_calendar(ft);
        const year_month_day ymd{sys_days{days{day}}};
        ASSERT_TRUE(t.valid);
        ASSERT_EQ(t.year, static_cast<int>(ymd.year())) << day;
        ASSERT_EQ(t.month, static_cast<unsigned>(ymd.month())) << day;
        ASSERT_EQ(t.day, static_cast<unsigned>(ymd.day())) << day;
        ASSERT_EQ(t.day_of_week, weekday{sys_days{days{day}}}.c_encoding()) << day;
        ASSERT_EQ(t.hour * 3600 + t.minute * 60 + t.second, secs % 86400);
        uint64_t back = 0;
        ASSERT_TRUE(civil_to_filetime(t.year, t.month, t.day, t.hour, t.minute, t.second, back));
        ASSERT_EQ(back, ft);
    }
    EXPECT_EQ(to_calendar(example).day_of_week, 3);  // a Wednesday
}

TEST(DateTime, CivilRangeChecks) {
    uint64_t ft = 0;
    EXPECT_TRUE(civil_to_filetime(2024, 2, 29, 0, 0, 0, ft));
    EXPECT_FALSE(civil_to_filetime(2023, 2, 29, 0, 0, 0, ft));
    EXPECT_FALSE(civil_to_filetime(2100, 2, 29, 0, 0, 0, ft));
    EXPECT_FALSE(civil_to_filetime(2024, 13, 1, 0, 0, 0, ft));
    EXPECT_FALSE(civil_to_filetime(2024, 1, 1, 24, 0, 0, ft));
    EXPECT_FALSE(civil_to_filetime(1600, 1, 1, 0, 0, 0, ft));
}

TEST(DateTime, TemplateLengths) {
    EXPECT_TRUE(date_template_acceptable("dd/mm/yy"));
    EXPECT_TRUE(date_template_acceptable("d/m/yyyy"));
    EXPECT_FALSE(date_template_acceptable("yyyy/mm/d"));
    EXPECT_FALSE(date_template_acceptable("dd/mm/yyyyy"));
    EXPECT_TRUE(time_template_acceptable("hh:mm:ss"));
    EXPECT_FALSE(time_template_acceptable("hhmmssxx"));
    EXPECT_FALSE(time_template_acceptable("hh:mm:ss.x"));          // 10
    EXPECT_TRUE(time_template_acceptable("hh:mm:ss.xxx"));         // 12
    EXPECT_TRUE(time_template_acceptable("hh:mm:ss.xxxxxxxxx"));   // 18
    EXPECT_FALSE(time_template_acceptable("hh:mm:ss.xxxxxxxxxx")); // 19
}

TEST(DateTime, CurrentTime) {
    const calendar_time now = current_time();
    EXPECT_TRUE(now.valid);
    EXPECT_GE(now.year, 2024);
    EXPECT_EQ(now.filetime % 10000, 0u);  // millisecond resolution
}

// The memo gives what formatting each value anew gives: runs of values in
// one second and across seconds, both sides of every validity edge, in
// every fraction length and date layout.
TEST(DateTime, MemoAgreesWithFormattingAnew) {
    const uint64_t epoch = filetime_unix_epoch;
    const uint64_t latest = epoch + uint64_t(latest_unix_seconds) * tick;
    const uint64_t starts[] = {0, 5, epoch - 3, epoch + tick - 2, example, latest - 1, latest + tick - 3,
                               (uint64_t(1) << 63) - 4};
    const uint32_t words[] = {compile_formats("yyyy-mm-dd", "hh:mm:ss", false),
                              compile_formats("mmm dd yy,", "hh:mm:ss.xxx", false),
                              compile_formats("dd/mm/yyyy", "hh:mm:ss.xxxxxxx", false),
                              compile_formats("mm-dd-yy", "hh:mm:ss.xxxxxxxxx", false),
                              compile_formats("yyyymmdd", "hh:mm:ss.x", false), 0};
    for (uint32_t word : words) {
        date_time_memo memo;
        for (uint64_t start : starts) {
            for (uint64_t step : {uint64_t(1), uint64_t(3333333), tick / 2}) {
                for (uint64_t k = 0; k < 6; ++k) {
                    const uint64_t v = start + k * step;
                    const date_time_text want = format_date_time(to_calendar(v), word);
                    const date_time_chars& got = format_date_time(v, word, memo);
                    ASSERT_EQ(got.date_text(), want.date) << v << " " << word;
                    ASSERT_EQ(got.time_text(), want.time) << v << " " << word;
                }
            }
        }
    }
}

// The calendar fields against the independent way back from them
// (civil_to_filetime), on random values over the whole shown range and on
// the first and last second of every day around leap years and centuries.
TEST(DateTime, CalendarFieldsLeadBackToTheirValue) {
    const uint64_t epoch = filetime_unix_epoch;
    const uint64_t last = epoch + uint64_t(latest_unix_seconds) * tick;
    std::vector<uint64_t> values;
    std::mt19937_64 rng(9);
    for (int i = 0; i < 100000; ++i) values.push_back(epoch + tick + rng() % (last - epoch - tick));
    for (int year : {1972, 1999, 2000, 2001, 2100, 2400, 3000}) {
        uint64_t start = 0;
        ASSERT_TRUE(civil_to_filetime(year, 1, 1, 0, 0, 0, start));
        for (uint64_t d = 0; d < 367; ++d) {
            values.push_back(start + d * 86400 * tick);
            values.push_back(start + (d * 86400 + 86399) * tick + tick - 1);
        }
    }
    for (uint64_t v : values) {
        const calendar_time t = to_calendar(v);
        if (!t.valid) {
            ASSERT_GT(v, last) << v;
            continue;
        }
        uint64_t back = 0;
        ASSERT_TRUE(civil_to_filetime(t.year, t.month, t.day, t.hour, t.minute, t.second, back)) << v;
        ASSERT_EQ(back, v - v % tick) << v;
        ASSERT_EQ(t.millisecond, v % tick / 10000) << v;
    }
}

// Values drawn from a few seconds, some on one day, some across midnight
// and the validity edges, in random order with random fractions and now
// and then another format: the held seconds and days must never show.
TEST(DateTime, HeldSecondsAndDaysAgreeWithFormattingAnew) {
    const uint64_t epoch = filetime_unix_epoch;
    const uint64_t day = 86400 * tick;
    const uint64_t midnight = example - example % day;
    const uint64_t seconds[] = {midnight - tick, midnight, midnight + 59 * tick, midnight + 3600 * tick,
                                midnight + day - tick, midnight + day, example, epoch, epoch + tick,
                                epoch + uint64_t(latest_unix_seconds) * tick, 0};
    const uint32_t words[] = {compile_formats("mm/dd/yyyy", "hh:mm:ss.xxx", false),
                              compile_formats("yyyy-mm-dd", "hh:mm:ss.xxxxxxx", false),
                              compile_formats("", "hh:mm:ss", false), 0};
    std::mt19937_64 rng(5);
    date_time_memo memo;
    uint32_t word = words[0];
    for (int i = 0; i < 200000; ++i) {
        if (rng() % 500 == 0) word = words[rng() % std::size(words)];
        const uint64_t v = seconds[rng() % std::size(seconds)] + rng() % tick;
        const date_time_text want = format_date_time(to_calendar(v), word);
        const date_time_chars& got = format_date_time(v, word, memo);
        ASSERT_EQ(got.date_text(), want.date) << v << " " << word;
        ASSERT_EQ(got.time_text(), want.time) << v << " " << word;
    }
}

}  // namespace
