// EWF "table" and "table2" sections: where each chunk of a run of chunks
// is stored. A table is a 24-byte header (entry count, the base offset of
// EnCase 6 and later, an Adler-32), one 32-bit entry per chunk and, in
// all but the oldest layouts, an Adler-32 of the entries. An entry's top
// bit says that the chunk is deflate-compressed; the other 31 bits are the
// chunk's offset from the base (0, the start of the file, for writers
// before EnCase 6). "table2" mirrors "table" in EnCase 2 and later files.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

constexpr uint32_t ewf_table_header_bytes = 24;
constexpr uint32_t ewf_table_entry_bytes = 4;
// Entries of one table: EnCase writes at most 65534; tables are read whole
// into memory, and more than this many is taken for damage.
constexpr uint32_t ewf_max_table_entries = 1u << 20;

// A decoded entry is the chunk's file offset with this bit set when the
// chunk is compressed.
constexpr uint64_t ewf_compressed_bit = uint64_t(1) << 63;
// The offset given to entries whose base lies beyond any file: reading
// them finds them past the end of their file.
constexpr uint64_t ewf_nowhere = ewf_compressed_bit - 1;

struct ewf_table_header {
    uint32_t entries = 0;
    uint64_t base = 0;
    bool checksum_ok = false;
};

ewf_table_header read_ewf_table_header(std::span<const uint8_t> bytes);

// True when the header's checksum holds and its entries fit in a table
// section of `section_length` bytes (descriptor included).
bool ewf_table_usable(const ewf_table_header& h, uint64_t section_length);

// True when the 4-byte checksum after the entries in `entries_and_footer`
// matches them (its size is 4 per entry plus 4).
bool ewf_table_entries_ok(std::span<const uint8_t> entries_and_footer);

// Turns the raw entries into file offsets with the compressed bit, in
// order. EnCase 6.7.1 let offsets beyond 2 GiB use the top bit as well:
// an entry with the top bit set whose 31-bit offset falls back below the
// entry before it, while its full 32 bits go on past that entry and stay
// inside the file (`file_size`), marks that overflow, and from it on every
// entry is a full 32-bit offset of a chunk stored uncompressed. A damaged
// entry does not pass for an overflow: its successors would point past
// the end of the file.
void decode_ewf_table(std::span<const uint8_t> raw_entries, uint64_t base, uint64_t file_size,
                      std::vector<uint64_t>& out);
