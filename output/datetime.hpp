// FILETIME values as UTC calendar fields, the -dateformat / -timeformat
// templates and the packed format word compiled from them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// UTC calendar fields of a FILETIME (100 ns ticks since 1601-01-01 UTC).
struct calendar_time {
    uint64_t filetime = 0;
    int64_t unix_seconds = 0;
    uint16_t year = 0;
    uint16_t month = 0;        // 1-12
    uint16_t day_of_week = 0;  // 0 = Sunday
    uint16_t day = 0;          // 1-31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;
    uint64_t microsecond = 0;  // fraction of the second
    uint64_t nanosecond = 0;   // fraction of the second, last two digits 0
    bool valid = false;
};

// Ticks from 1601-01-01 to 1970-01-01.
constexpr uint64_t filetime_unix_epoch = 116444736000000000ULL;
// Last second the timestamps are shown for: 3001-01-01 07:59:59 UTC.
constexpr int64_t latest_unix_seconds = 32535244799LL;

// Bits of the packed format word.
constexpr uint32_t format_separator_mask = 0xFF;
constexpr uint32_t format_month_name = 0x100;
constexpr uint32_t format_month_number = 0x200;
constexpr uint32_t format_year4 = 0x400;
constexpr uint32_t format_year2 = 0x800;
constexpr uint32_t format_comma = 0x1000;
constexpr uint32_t format_order_dmy = 0x2000;
constexpr uint32_t format_order_mdy = 0x4000;
constexpr uint32_t format_order_ymd = 0x8000;
constexpr uint32_t format_pair_datetime = 0x10000;
constexpr int format_fraction_shift = 17;
constexpr uint32_t format_fraction_mask = 0xFu << format_fraction_shift;

// Fills the calendar fields; `valid` is false for 0, values with the top
// bit set, anything before 1970-01-01 00:00:01 UTC and anything after
// 3001-01-01 07:59:59 UTC.
calendar_time to_calendar(uint64_t filetime);

// The FILETIME of a proleptic Gregorian UTC date and time; false when a
// field is out of range or the year is outside 1601-30827.
bool civil_to_filetime(int year, int month, int day, int hour, int minute, int second, uint64_t& filetime);

// Template checks applied to -dateformat and -timeformat values.
bool date_template_acceptable(std::string_view date_template);
bool time_template_acceptable(std::string_view time_template);

// Packs the layout of the two lower-cased templates into one word. Parts the
// templates do not describe leave their bits clear.
uint32_t compile_formats(std::string_view date_template, std::string_view time_template, bool pair_datetime);

struct date_time_text {
    std::string date;
    std::string time;
};

// Date and time texts of a calendar value; both empty when it is not valid.
date_time_text format_date_time(const calendar_time& t, uint32_t format_word);

// The same texts in buffers of their own, for writers that append them to
// a line: no string is made. Every text of a valid value fits (a date is
// at most 11 characters, a time 18).
struct date_time_chars {
    // Writers copy each buffer whole and count only its length: the bytes
    // past the text are never shown, and start as zeros.
    char date[24] = {};
    char time[24] = {};
    uint8_t date_length = 0;
    uint8_t time_length = 0;
    uint8_t whole_length = 0;  // the time's length before its fraction
    std::string_view date_text() const { return {date, date_length}; }
    std::string_view time_text() const { return {time, time_length}; }
};
void format_date_time(const calendar_time& t, uint32_t format_word, date_time_chars& out);

// The texts of the last seconds formatted, kept for the next values: the
// times of one row, and the same time of neighbouring files, often fall in
// one second, and the values of one day share their date. A few seconds
// are held, the one used longest ago making room for a new one.
constexpr size_t date_time_memo_slots = 4;
struct date_time_memo {
    struct slot {
        uint64_t second = 0;    // FILETIME / 10,000,000
        uint64_t day = 0;       // second / 86,400
        uint64_t filetime = 0;  // the value whose fraction the texts hold
        uint64_t last_use = 0;
        bool held = false;
        date_time_chars chars;
    };
    uint32_t format_word = 0;  // the word every held text was made with
    uint64_t clock = 0;
    slot slots[date_time_memo_slots];
};
// The texts of FILETIME `filetime`: a held second's, with the fraction
// written for this value. The result stays as it is until the next call
// with this memo.
const date_time_chars& format_date_time(uint64_t filetime, uint32_t format_word, date_time_memo& memo);

// The system clock now, at millisecond resolution.
calendar_time current_time();
