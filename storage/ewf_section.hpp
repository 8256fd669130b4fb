// EWF (E01) segment files: the file header that opens every segment and
// the section descriptor that opens every section after it. A segment is
// the file header followed by sections chained through the descriptors'
// next offsets; the last section of a segment is "next" (more segments
// follow) or "done" (the last segment of the set).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The file header: an 8-byte signature, 0x01, the segment number (16 bits)
// and two zero bytes.
constexpr uint32_t ewf_file_header_bytes = 13;
// Every section descriptor: type text (16), next offset (8), section size
// (8), padding (40), Adler-32 of the 72 bytes before it (4).
constexpr uint32_t ewf_descriptor_bytes = 76;

struct ewf_file_header {
    bool valid = false;    // the EVF signature and the field markers
    uint16_t segment = 0;  // 1 for the first segment; 0 is never valid
};

ewf_file_header read_ewf_file_header(std::span<const uint8_t> bytes);

enum class ewf_section_type { other, header, header2, volume, disk, data, sectors, table, table2, error2, next, done };

struct ewf_section {
    ewf_section_type type = ewf_section_type::other;
    std::string name;      // the type text up to its first NUL, for messages
    uint64_t offset = 0;   // of the descriptor in its segment file
    uint64_t next = 0;     // offset of the next section's descriptor
    uint64_t size = 0;     // bytes of the section, the descriptor included
    bool checksum_ok = false;
};

// Reads the descriptor held by `bytes` (ewf_descriptor_bytes of them),
// which starts at `offset` of its file.
ewf_section read_ewf_section(std::span<const uint8_t> bytes, uint64_t offset);

// Bytes the section spans, its descriptor included: its size field, or,
// where a writer left that below a descriptor's length (the oldest ones
// wrote 0), the distance to the next section.
uint64_t ewf_section_length(const ewf_section& s);

// True for the sections that end a segment: "next" and "done".
bool ends_segment(const ewf_section& s);

// A stretch of sectors the imager could not read from the evidence (an
// entry of an "error2" section); it wrote zeros in their place.
struct ewf_read_error {
    uint64_t first_sector = 0;
    uint64_t sectors = 0;
};

// An "error2" section's data after its descriptor: a header of the entry
// count, 512 unused bytes and the Adler-32 of those 516 bytes; the entries
// of 8 bytes (first sector, sector count); the Adler-32 of the entries.
constexpr uint32_t ewf_error2_header_bytes = 520;
constexpr uint32_t ewf_error2_entry_bytes = 8;
// Entries read from one section: an imager writes one per stretch it
// could not read, a handful on a failing disk; the bound keeps a crafted
// count from driving a read of gigabytes (this many take 8 MiB).
constexpr uint32_t ewf_max_error2_entries = 1u << 20;

// Reads the entries of an "error2" section from `data` (what follows its
// descriptor); false when its header or entries fail their checksums or
// the entries do not fit in `data`.
bool read_ewf_error2(std::span<const uint8_t> data, std::vector<ewf_read_error>& out);

// The Adler-32 checksum EWF stores after its structures and chunks.
uint32_t ewf_adler32(std::span<const uint8_t> bytes);
