// Loading one MFT entry: its base record, its attributes, and the
// attributes its $ATTRIBUTE_LIST places in extension records.
#pragma once

#include "cli/params.hpp"
#include "ntfs/runlist.hpp"
#include "ntfs/volume.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The per-entry parsing context. Its diagnostics log starts closed, so its
// messages are formatted and dropped.
struct mft_entries_ctx : cmd_params {
    explicit mft_entries_ctx(ntfs_volume* volume);
    ~mft_entries_ctx() override;

    ntfs_volume* volume = nullptr;   // not owned; null when not usable
    uint32_t record_size = 1024;
    uint32_t sector_size = 512;
    bool record_size_taken = false;
    // Only the attributes a listing row uses are sorted into items: object
    // IDs, $DATA, index allocations and reparse points (and attribute lists
    // are followed); the others are passed over.
    bool listing_items_only = false;

    // The entry-level read: exactly one record's bytes at the entry's
    // mapped position, entry fixup applied. `bad` reports a BAAD record.
    bool read_entry_record(uint64_t entry, std::vector<uint8_t>& out, bool& bad);
    void diag(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
};

struct std_info_value {
    uint16_t attr_id = 0;
    std::array<uint8_t, 72> bytes{};
};

struct file_name_value {
    std::array<uint8_t, 64> head{};  // the first 64 value bytes
    uint8_t name_length = 0;
    uint8_t name_space = 0;
    std::u16string name;
    uint16_t attr_id = 0;
    uint64_t entry = 0;              // the entry it was reported under
};

struct attribute_item {
    std::u16string name;
    std::string label;               // "unnamed data" marks the unnamed $DATA
    std::vector<uint8_t> bytes;      // the attribute, header included
    std::vector<extent> extents;
    std::string link_target;         // reparse points
};

struct parsed_entry {
    uint64_t entry = 0;
    uint32_t sequence = 0;
    std::array<uint8_t, 42> header{};
    std::vector<uint8_t> raw;
    bool is_extension = false;
    uint64_t base_ref = 0;
    std::map<uint16_t, std_info_value> std_info;
    std::map<std::string, file_name_value> file_names;
    std::map<uint64_t, attribute_item> attributes;
    bool unnamed_data_seen = false;
    // The extension records attributes were taken from, each with its
    // number (from 1, in the order they were met), and the number of the
    // one being read; 0 while the base record is.
    std::map<uint64_t, uint16_t> extension_records;
    uint16_t source = 0;
};

// Extension records numbered apart in an entry's attribute keys: a list
// of 256 KiB names at most some ten thousand records.
constexpr uint16_t max_extension_ordinal = 0xFFFF;

bool load_entry(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry);
// The same from the entry's record already read with its fixups applied
// (read_file_record's bytes, when they are one record size long); pe.raw
// stays empty, the caller holding the bytes.
bool load_entry(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes record);
void load_attribute_list(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes list_attribute);
void walk_list_entries(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes list);

// An attribute list holds at most this many bytes: NTFS caps it at 256 KiB,
// so a runlist claiming more is damage and is read no further.
constexpr uint64_t max_attribute_list_bytes = 256 * 1024;

// Reads the bytes of an $ATTRIBUTE_LIST attribute (resident value, or the
// clusters of a non-resident one, zero-filled where they cannot be read;
// `cut`, when given, says whether a cluster could not be read).
bool attribute_list_bytes(ntfs_volume& v, le::bytes attribute, std::vector<uint8_t>& out, bool* cut = nullptr);
