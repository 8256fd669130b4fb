#include "cli/args.hpp"

#include "cli/text.hpp"
#include "platform/unicode.hpp"

#include <limits>

namespace {

bool same_option(std::string_view arg, std::string_view name) {
    if (arg.size() != name.size()) return false;
    for (size_t i = 0; i < arg.size(); ++i)
        if (uni::ascii_lower(arg[i]) != uni::ascii_lower(name[i])) return false;
    return true;
}

size_t find_option(const arg_list& args, std::string_view name, size_t from) {
    for (size_t i = from; i < args.size(); ++i)
        if (same_option(args[i], name)) return i;
    return args.size();
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 99;
}

// Reads the leading digits of `text` in `base`; false when there is none.
// A value that does not fit saturates and sets `overflow`.
bool read_digits(std::string_view text, unsigned base, uint64_t& value, bool& overflow) {
    value = 0;
    overflow = false;
    size_t i = 0;
    for (; i < text.size(); ++i) {
        const int d = digit_value(text[i]);
        if (d >= static_cast<int>(base)) break;
        const uint64_t max = std::numeric_limits<uint64_t>::max();
        if (value > (max - static_cast<uint64_t>(d)) / base) {
            overflow = true;
            value = max;
        } else if (!overflow) {
            value = value * base + static_cast<uint64_t>(d);
        }
    }
    return i > 0;
}

// The base and the digits of a number text; false when it is no number.
bool split_number(std::string_view text, std::string& lowered, unsigned& base, size_t& start) {
    lowered = uni::ascii_lower(trim(text));
    const size_t x = lowered.find('x');
    const size_t o = lowered.find('o');
    if (x != std::string::npos) {
        base = 16;
        start = x + 1;
    } else if (o != std::string::npos) {
        base = 8;
        start = o + 1;
    } else {
        if (lowered.empty()) return false;
        const char c = lowered[0];
        if (c != '-' && c != '+' && !(c >= '0' && c <= '9')) return false;
        base = 10;
        start = 0;
    }
    return true;
}

// Reads a number text: its base, sign and magnitude. False when it is no
// number.
bool read_number(std::string_view text, unsigned& base, bool& negative, uint64_t& v, bool& overflow) {
    std::string s;
    size_t start = 0;
    base = 10;
    if (!split_number(text, s, base, start)) return false;
    std::string_view digits = std::string_view(s).substr(start);
    negative = false;
    if (base == 10 && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    } else if (base != 10) {
        // "-0x10" is minus sixteen, as "-16" is: read as +16 it would list
        // another place than the one asked for without a word.
        negative = s[0] == '-';
    }
    v = 0;
    overflow = false;
    return read_digits(digits, base, v, overflow);
}

}  // namespace

bool take_flag(arg_list& args, std::string_view name) {
    const size_t i = find_option(args, name, 0);
    if (i == args.size()) return false;
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
}

bool take_value(arg_list& args, std::string_view name, std::string& value) {
    const size_t i = find_option(args, name, 0);
    if (i + 1 >= args.size()) return false;
    value = args[i + 1];
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + 2));
    return true;
}

bool has_arg(const arg_list& args, std::string_view name) { return find_option(args, name, 1) < args.size(); }

bool peek_value(const arg_list& args, std::string_view name, std::string& value) {
    const size_t i = find_option(args, name, 1);
    if (i + 1 >= args.size()) return false;
    value = args[i + 1];
    return true;
}

bool parse_number(std::string_view text, uint64_t& value) {
    unsigned base = 10;
    bool negative = false, overflow = false;
    uint64_t v = 0;
    if (!read_number(text, base, negative, v, overflow)) return false;
    // A negative number wraps as an unsigned 64-bit value.
    value = negative ? 0 - v : v;
    return true;
}

bool parse_int(std::string_view text, int32_t& value) {
    unsigned base = 10;
    bool negative = false, overflow = false;
    uint64_t v = 0;
    if (!read_number(text, base, negative, v, overflow)) return false;
    if (base != 10 && !negative) {
        if (overflow || v > 0xFFFFFFFFULL) return false;
        value = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    constexpr uint64_t max_positive = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    if (negative) value = v > max_positive + 1 ? std::numeric_limits<int32_t>::min() : static_cast<int32_t>(0 - static_cast<int64_t>(v));
    else value = v > max_positive ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(v);
    return true;
}
