// Split raw images: a disk cut into numbered pieces (disk.001, disk.002, ...
// or disk.000, ..., or disk_001, ...), read as the concatenation of the
// pieces in number order.
#pragma once

#include "storage/container.hpp"

#include <cstdint>
#include <string>
#include <vector>

// The numbers of at most this many digits are read (a name with a longer
// number is no piece): nine digits cannot overflow the arithmetic.
constexpr uint32_t split_max_digits = 9;
// A name needs a number of at least this many digits to be a piece; a
// name such as "notes.7" is no split image.
constexpr uint32_t split_min_digits = 3;
// At most this many pieces: far above what any tool writes (1000 pieces
// of 640 MB is 640 GB), low enough that a folder of crafted names cannot
// make the open take unbounded time and memory.
constexpr uint32_t split_max_pieces = 100000;

// A piece's name taken apart: the folder with its trailing separator, the
// text before the number, and the number with its digit count.
struct split_name {
    std::u16string folder;
    std::u16string stem;
    uint32_t digits = 0;
    uint64_t number = 0;
};

// True when the last component of `path` ends in a number of
// split_min_digits to split_max_digits digits.
bool parse_split_name(const std::u16string& path, split_name& out);

// The piece name of `number` in the set of `name` (the number written with
// at least name.digits digits, zero-padded).
std::u16string split_piece_name(const split_name& name, uint64_t number);

// Entries of a piece's folder that are listed to find the set: a set has
// at most split_max_pieces pieces, and the folder may hold other files
// too. In a folder of more, the pieces are looked up by name instead.
constexpr size_t split_folder_entries_listed = size_t(split_max_pieces) * 4;

// Finds the pieces of the set `path` belongs to, in order, from the first
// (number 0 or 1) to the last present. True with the pieces when there are
// at least two; false with `message` empty when `path` is no piece of a
// set (no numbered sibling), false with `message` naming the missing piece
// when a number between the first and the last has no file.
// `folder_limit` is split_folder_entries_listed but in tests.
bool find_split_pieces(const std::u16string& path, std::vector<std::u16string>& pieces, std::string& message,
                       size_t folder_limit = split_folder_entries_listed);
