// UTF-8 / UTF-16 conversion and case mapping shared by every layer.
//
// Paths and names travel as UTF-8 (std::string) inside the program and as
// UTF-16 (std::u16string) where the file system or the command line deals in
// wide text. These converters are strict: malformed input gives an empty
// result. The lenient reading of on-disk NTFS names lives with the NTFS
// engine, which has its own surrogate rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace uni {

// UTF-8 to UTF-16: 1- to 4-byte sequences, surrogate pairs above U+FFFF.
// A malformed sequence, an encoded surrogate or a value above U+10FFFF makes
// the whole result empty.
std::u16string to_utf16(std::string_view utf8);
// UTF-8 to UTF-16 that never fails, the inverse of to_utf8_lenient without
// replacement: the 3-byte form of a surrogate gives that unit back. Any
// other malformed byte becomes U+FFFD.
std::u16string to_utf16_lenient(std::string_view utf8);

// UTF-16 to UTF-8. Paired surrogates become one 4-byte sequence; an unpaired
// surrogate makes the whole result empty (the strict counterpart of
// to_utf16, used for command-line and host-path text).
std::string to_utf8(std::u16string_view utf16);
// The same into `out`, whose room is reused.
void to_utf8(std::u16string_view utf16, std::string& out);

// UTF-16 to UTF-8 for text that is shown: names and paths read from disk,
// whose UTF-16 nothing checked. Paired surrogates become one 4-byte
// sequence, and each unpaired surrogate becomes U+FFFD, so the result is
// always valid UTF-8 and the rest of the text is kept.
std::string to_shown_utf8(std::u16string_view utf16);
// The same into `out`, whose room is reused.
void to_shown_utf8(std::u16string_view utf16, std::string& out);
// UTF-16 to UTF-8 that never fails: paired surrogates become one 4-byte
// sequence, and each unpaired surrogate U+FFFD (`replace_lone`) or the
// 3-byte sequence of its own value.
void to_utf8_lenient(std::u16string_view utf16, std::string& out, bool replace_lone);
// The number of bytes to_shown_utf8 gives for `utf16`, counted without
// converting.
size_t shown_utf8_size(std::u16string_view utf16);

// Appends the UTF-8 bytes of one code point (at most U+10FFFF).
void append_utf8(std::string& out, uint32_t code_point);
// Writes them at `p`, which has room for four bytes; returns the end.
char* put_utf8(char* p, uint32_t code_point);

// Lower-cases ASCII letters only.
char ascii_lower(char c);
char16_t ascii_lower(char16_t c);
std::string ascii_lower(std::string_view s);
std::u16string ascii_lower(std::u16string_view s);

// The program's wide lower-case mapping: simple one-to-one lower-casing of
// the Latin, Greek and Cyrillic letters of the Basic Multilingual Plane. It
// is the same on every platform, so sort orders and matches never depend on
// the host's locale.
char16_t wide_lower(char16_t c);
std::u16string wide_lower(std::u16string_view s);

}  // namespace uni
