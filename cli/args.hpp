// The argument list and the operations that take options out of it, and
// the number reading shared by every option that carries a number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// UTF-8 arguments; element 0 is the program path. Options are removed as
// they are recognised, so what is left decides the path.
using arg_list = std::vector<std::string>;

// Names are compared case-insensitively over whole elements.
// Removes the first element equal to `name` (searching from element 0).
bool take_flag(arg_list& args, std::string_view name);
// Removes the first element equal to `name` and the element after it, which
// becomes `value`. When `name` stands last nothing is removed and the
// result is false.
bool take_value(arg_list& args, std::string_view name, std::string& value);
// The same searches from element 1, removing nothing.
bool has_arg(const arg_list& args, std::string_view name);
bool peek_value(const arg_list& args, std::string_view name, std::string& value);

// Reads a number: after the first "x" in base 16, else after the first "o"
// in base 8, else in base 10 when it starts with a sign or a digit. The text
// is trimmed and lower-cased first; leading digits are read and the rest is
// ignored; there must be at least one digit. Too large values saturate.
bool parse_number(std::string_view text, uint64_t& value);
// The same for a 32-bit value: decimal values are clamped to the 32-bit
// range; hexadecimal and octal values wrap within 32 bits (0xffffffff is
// -1) and fail above them.
bool parse_int(std::string_view text, int32_t& value);
