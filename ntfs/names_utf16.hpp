// Reading UTF-16 names stored on disk.
#pragma once

#include "storage/le.hpp"

#include <string>

// Reads up to `units` UTF-16 code units at `offset` of `b`, stopping at the
// first NUL or at the end of the buffer.
std::u16string read_utf16(le::bytes b, uint64_t offset, uint64_t units);

// Converts an on-disk name to UTF-8: paired surrogates become one 4-byte
// sequence; a high surrogate that is last or unpaired ends the conversion,
// keeping what came before; a lone low surrogate is written as the 3-byte
// sequence of its own value.
std::string ntfs_name_to_utf8(std::u16string_view name);

// Converts an attribute name or a link target to UTF-8 keeping every unit:
// paired surrogates become one 4-byte sequence, and an unpaired surrogate
// of either half the 3-byte sequence of its own value, which
// uni::to_utf16_lenient turns back into that unit. Nothing of a stream's
// name or a link's target is lost, and a stream whose name begins with such
// a unit keeps a name.
std::string ntfs_text_to_utf8(std::u16string_view text);

// Appends the UTF-8 form of `name` (as ntfs_name_to_utf8) to `out`.
void append_ntfs_name_utf8(std::string& out, std::u16string_view name);

// The key that orders an entry's names: parent, name and record as
// "%08llx_<name in UTF-8>_%08llx", built in one piece.
std::string name_key(uint64_t parent, std::u16string_view name, uint64_t record);
// The order of the keys of two names (negative, zero or positive as
// name_key(a) compares to name_key(b)), mostly without building them.
int compare_name_keys(uint64_t parent_a, std::u16string_view name_a, uint64_t record_a, uint64_t parent_b,
                      std::u16string_view name_b, uint64_t record_b);
