#include "output/datetime.hpp"

#include "output/number_text.hpp"
#include "platform/platform.hpp"

#include <array>
#include <cstring>

namespace {

constexpr uint64_t ticks_per_second = 10000000ULL;
constexpr int64_t seconds_per_day = 86400;
// The calendar's count of days starts 82 eras of 400 years before
// 0000-03-01, so that it is positive for every shown value (and far
// beyond), and reaches 1970-01-01 after 719,468 days more. Shown days
// (to 3001) keep 4 times the count below 2^32.
constexpr uint32_t march_epoch_eras = 82;
constexpr uint32_t days_from_march_epoch = 719468 + 146097 * march_epoch_eras;

constexpr std::array<uint16_t, 13> days_before_month_common = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
constexpr std::array<uint16_t, 13> days_before_month_leap = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};

constexpr std::array<const char*, 12> month_names = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days from 1601-01-01 to 1 January of `year` (year >= 1601).
int64_t days_before_year(int64_t year) {
    const int64_t y = year - 1601;
    return 365 * y + y / 4 - y / 100 + y / 400;
}

const std::array<uint16_t, 13>& month_table(int64_t year) {
    return is_leap(year) ? days_before_month_leap : days_before_month_common;
}

}  // namespace

calendar_time to_calendar(uint64_t filetime) {
    calendar_time t;
    t.filetime = filetime;
    if (filetime == 0 || (filetime >> 63) != 0) return t;

    t.unix_seconds = (static_cast<int64_t>(filetime) - static_cast<int64_t>(filetime_unix_epoch)) /
                     static_cast<int64_t>(ticks_per_second);
    if (t.unix_seconds <= 0 || t.unix_seconds > latest_unix_seconds) return t;

    // The civil date of the day, in the Euclidean affine form of Neri and
    // Schneider: 32-bit products and shifts in place of divisions. Days are
    // counted from a 1st of March far enough back that every count is
    // positive; the year starts in March so that the leap day falls last.
    // A century has 146,097 / 4 days, a year of it 1,461 / 4, and the
    // months from March follow 153 / 5 days each.
    const uint32_t unix_days = static_cast<uint32_t>(t.unix_seconds / seconds_per_day);
    const uint32_t n = unix_days + days_from_march_epoch;
    const uint32_t n1 = 4 * n + 3;
    const uint32_t century = n1 / 146097;
    const uint32_t day_of_century = n1 % 146097 / 4;
    const uint64_t p2 = uint64_t(2939745) * (4 * day_of_century + 3);
    const uint32_t year_of_century = static_cast<uint32_t>(p2 >> 32);
    const uint32_t day_of_year = static_cast<uint32_t>(p2) / 2939745 / 4;
    const uint32_t n3 = 2141 * day_of_year + 197913;
    const bool january_or_february = day_of_year >= 306;  // days from March 1st to January 1st
    const uint32_t month_from_march = n3 >> 16;             // 3 (March) to 14 (February)

    const int64_t in_day = t.unix_seconds % seconds_per_day;
    const uint64_t fraction = filetime % ticks_per_second;

    t.year = static_cast<uint16_t>(100 * century + year_of_century - 400 * march_epoch_eras + (january_or_february ? 1 : 0));
    t.month = static_cast<uint16_t>(january_or_february ? month_from_march - 12 : month_from_march);
    t.day = static_cast<uint16_t>((n3 & 0xFFFF) / 2141 + 1);
    t.day_of_week = static_cast<uint16_t>((unix_days + 4) % 7);  // 1970-01-01 was a Thursday
    t.hour = static_cast<uint16_t>(in_day / 3600);
    t.minute = static_cast<uint16_t>(in_day / 60 % 60);
    t.second = static_cast<uint16_t>(in_day % 60);
    t.millisecond = static_cast<uint16_t>(fraction / 10000);
    t.microsecond = fraction / 10;
    t.nanosecond = fraction * 100;
    t.valid = true;
    return t;
}

bool civil_to_filetime(int year, int month, int day, int hour, int minute, int second, uint64_t& filetime) {
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1) return false;
    const auto& table = month_table(year);
    if (day > table[static_cast<size_t>(month)] - table[static_cast<size_t>(month - 1)]) return false;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return false;
    const int64_t days = days_before_year(year) + table[static_cast<size_t>(month - 1)] + (day - 1);
    const int64_t seconds = days * seconds_per_day + hour * 3600 + minute * 60 + second;
    filetime = static_cast<uint64_t>(seconds) * ticks_per_second;
    return true;
}

bool date_template_acceptable(std::string_view date_template) {
    return date_template.size() == 8 || date_template.size() == 10;
}

bool time_template_acceptable(std::string_view time_template) {
    const size_t n = time_template.size();
    return (n == 8 || (n >= 12 && n <= 18)) && time_template.find(':') != std::string_view::npos;
}

namespace {

uint32_t compile_date(std::string_view d) {
    uint32_t word = 0;
    if (d.find('/') != std::string_view::npos) word |= '/';
    else if (d.find('-') != std::string_view::npos) word |= '-';
    else if (d.find(' ') != std::string_view::npos) word |= ' ';

    size_t month_at = d.find("mmm");
    if (month_at != std::string_view::npos) {
        word |= format_month_name;
    } else {
        month_at = d.find("mm");
        if (month_at == std::string_view::npos) return word;
        word |= format_month_number;
    }
    size_t year_at = d.find("yyyy");
    if (year_at != std::string_view::npos) {
        word |= format_year4;
    } else {
        year_at = d.find("yy");
        if (year_at == std::string_view::npos) return word;
        word |= format_year2;
    }
    if (d.find(',') != std::string_view::npos) word |= format_comma;
    const size_t day_at = d.find("dd");
    if (day_at == std::string_view::npos) return word;

    if (day_at < month_at && month_at < year_at) word |= format_order_dmy;
    else if (month_at < day_at && day_at < year_at) word |= format_order_mdy;
    else if (year_at < month_at && month_at < day_at) word |= format_order_ymd;
    return word;
}

}  // namespace

uint32_t compile_formats(std::string_view date_template, std::string_view time_template, bool pair_datetime) {
    uint32_t word = pair_datetime ? format_pair_datetime : 0;
    if (!date_template.empty()) word |= compile_date(date_template);
    const size_t first = time_template.find("xxx");
    if (first != std::string_view::npos) {
        const size_t last = time_template.rfind('x');
        size_t digits = last - first + 1;
        if (digits > 9) digits = 9;
        word |= static_cast<uint32_t>(digits) << format_fraction_shift;
    }
    return word;
}

namespace {

// Writes `value` in decimal, zero-filled to `width` digits (wider values
// keep all their digits); returns the end. Two digits go at a time.
char* put_number(char* p, uint64_t value, int width) {
    const char* pairs = decimal_pairs;
    // Months, days, hours, minutes and seconds: one pair.
    if (width == 2 && value < 100) {
        std::memcpy(p, pairs + 2 * value, 2);
        return p + 2;
    }
    // Milliseconds: a digit and a pair.
    if (width == 3 && value < 1000) {
        *p = static_cast<char>('0' + value / 100);
        std::memcpy(p + 1, pairs + 2 * (value % 100), 2);
        return p + 3;
    }
    // Years: two pairs.
    if (width == 4 && value < 10000) {
        std::memcpy(p, pairs + 2 * (value / 100), 2);
        std::memcpy(p + 2, pairs + 2 * (value % 100), 2);
        return p + 4;
    }
    // The usual case, a value of at most `width` digits: written in place
    // from the right.
    if (width >= 1 && width <= 9 && value < decimal_powers[width]) {
        char* q = p + width;
        while (q - p >= 2) {
            const uint64_t pair = value % 100;
            value /= 100;
            q -= 2;
            std::memcpy(q, pairs + 2 * pair, 2);
        }
        if (q != p) *--q = static_cast<char>('0' + value);
        return p + width;
    }
    char digits[24];
    int n = 0;
    while (value >= 100) {
        const uint64_t pair = value % 100;
        value /= 100;
        digits[23 - n++] = pairs[2 * pair + 1];
        digits[23 - n++] = pairs[2 * pair];
    }
    if (value >= 10) {
        digits[23 - n++] = pairs[2 * value + 1];
        digits[23 - n++] = pairs[2 * value];
    } else {
        digits[23 - n++] = static_cast<char>('0' + value);
    }
    for (int i = n; i < width && i < 24; ++i) *p++ = '0';
    std::memcpy(p, digits + 24 - n, static_cast<size_t>(n));
    return p + n;
}

// The fraction of the second the format word asks for, with its '.':
// milliseconds, or 1 to 9 digits of microseconds or nanoseconds.
char* put_fraction(char* p, uint64_t millisecond, uint64_t microsecond, uint64_t nanosecond, uint32_t word) {
    const int n = static_cast<int>((word & format_fraction_mask) >> format_fraction_shift);
    if (n == 3) {
        *p++ = '.';
        p = put_number(p, millisecond, 3);
    } else if (n >= 1 && n <= 6) {
        *p++ = '.';
        p = put_number(p, microsecond / decimal_powers[6 - n], n);
    } else if (n >= 7 && n <= 9) {
        *p++ = '.';
        p = put_number(p, nanosecond / decimal_powers[9 - n], n);
    }
    return p;
}

// The same from the ticks of the fraction (FILETIME % 10,000,000).
char* put_fraction_ticks(char* p, uint64_t fraction, uint32_t word) {
    return put_fraction(p, fraction / 10000, fraction / 10, fraction * 100, word);
}

}  // namespace

date_time_text format_date_time(const calendar_time& t, uint32_t word) {
    date_time_text out;
    date_time_chars c;
    format_date_time(t, word, c);
    out.date.assign(c.date_text());
    out.time.assign(c.time_text());
    return out;
}

void format_date_time(const calendar_time& t, uint32_t word, date_time_chars& out) {
    out.date_length = out.time_length = 0;
    if (!t.valid) return;
    if (word == 0) word = compile_formats("yyyy-mm-dd", "hh:mm:ss.xxx", false);

    // A valid value's fields are bounded (year <= 3001, fractions below a
    // second), so both texts stay well inside their buffers.
    char* p = out.date;
    const char sep = static_cast<char>(word & format_separator_mask);
    const int year_width = (word & format_year4) ? 4 : 2;
    auto put_sep = [&] {
        if (sep != 0) *p++ = sep;
    };
    auto put_month = [&] {
        if (word & format_month_name) {
            if (t.month >= 1 && t.month <= 12) {
                std::memcpy(p, month_names[t.month - 1u], 3);
                p += 3;
            }
        } else {
            p = put_number(p, t.month, 2);
        }
    };
    if ((word & format_order_ymd) && !(word & format_month_name)) {
        p = put_number(p, t.year, year_width);
        put_sep();
        p = put_number(p, t.month, 2);
        put_sep();
        p = put_number(p, t.day, 2);
    } else if (word & format_order_mdy) {
        put_month();
        put_sep();
        p = put_number(p, t.day, 2);
        put_sep();
        p = put_number(p, t.year, year_width);
    } else if (word & format_order_dmy) {
        p = put_number(p, t.day, 2);
        put_sep();
        put_month();
        put_sep();
        p = put_number(p, t.year, year_width);
    }
    out.date_length = static_cast<uint8_t>(p - out.date);

    p = out.time;
    p = put_number(p, t.hour, 2);
    *p++ = ':';
    p = put_number(p, t.minute, 2);
    *p++ = ':';
    p = put_number(p, t.second, 2);
    out.whole_length = static_cast<uint8_t>(p - out.time);
    p = put_fraction(p, t.millisecond, t.microsecond, t.nanosecond, word);
    out.time_length = static_cast<uint8_t>(p - out.time);
}

namespace {

constexpr uint64_t unix_epoch_seconds = filetime_unix_epoch / ticks_per_second;

// Whether the values of whole second `second` (FILETIME / 10,000,000) are
// shown: what to_calendar decides, from the second alone.
bool second_shown(uint64_t second) {
    return second > unix_epoch_seconds && second - unix_epoch_seconds <= static_cast<uint64_t>(latest_unix_seconds);
}

}  // namespace

const date_time_chars& format_date_time(uint64_t filetime, uint32_t word, date_time_memo& memo) {
    // Everything but the fraction follows from the whole second (validity
    // included), and the date from the day, so a held second needs only
    // its fraction written anew, and a held day only its time.
    if (word == 0) word = compile_formats("yyyy-mm-dd", "hh:mm:ss.xxx", false);
    if (memo.format_word != word) {
        for (auto& s : memo.slots) s.held = false;
        memo.format_word = word;
    }
    const uint64_t second = filetime / ticks_per_second;
    const uint64_t fraction = filetime % ticks_per_second;
    ++memo.clock;
    for (auto& s : memo.slots) {
        if (s.held && s.second == second) {
            s.last_use = memo.clock;
            // The same value again (a row's times are often equal) has its
            // fraction written already.
            if (s.filetime == filetime) return s.chars;
            s.filetime = filetime;
            if (s.chars.time_length != 0) {
                char* p = s.chars.time + s.chars.whole_length;
                p = put_fraction_ticks(p, fraction, word);
                s.chars.time_length = static_cast<uint8_t>(p - s.chars.time);
            }
            return s.chars;
        }
    }
    // Not held: the slot used longest ago takes it, its date from a slot of
    // the same day when one holds a shown value.
    const uint64_t day = second / 86400;
    const bool shown = second_shown(second) && (filetime >> 63) == 0;
    date_time_memo::slot* oldest = &memo.slots[0];
    const date_time_memo::slot* same_day = nullptr;
    for (auto& s : memo.slots) {
        if (s.held && shown && s.chars.time_length != 0 && s.day == day) same_day = &s;
        if (!s.held || s.last_use < oldest->last_use) oldest = &s;
    }
    date_time_memo::slot& slot = *oldest;
    if (same_day) {
        date_time_chars& c = slot.chars;
        if (&slot != same_day) {
            std::memcpy(c.date, same_day->chars.date, sizeof c.date);
            c.date_length = same_day->chars.date_length;
        }
        const uint64_t in_day = second % 86400;
        char* p = c.time;
        p = put_number(p, in_day / 3600, 2);
        *p++ = ':';
        p = put_number(p, in_day / 60 % 60, 2);
        *p++ = ':';
        p = put_number(p, in_day % 60, 2);
        c.whole_length = static_cast<uint8_t>(p - c.time);
        p = put_fraction_ticks(p, fraction, word);
        c.time_length = static_cast<uint8_t>(p - c.time);
    } else {
        format_date_time(to_calendar(filetime), word, slot.chars);
    }
    slot.second = second;
    slot.day = day;
    slot.filetime = filetime;
    slot.held = true;
    slot.last_use = memo.clock;
    return slot.chars;
}

calendar_time current_time() {
    const uint64_t ms = platform::now_unix_ms();
    return to_calendar((ms + 11644473600000ULL) * 10000ULL);
}
