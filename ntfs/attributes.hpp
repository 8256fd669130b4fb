// Turning the attributes of an MFT entry into attribute items.
#pragma once

#include "ntfs/attr_desc.hpp"
#include "ntfs/entry.hpp"

#include <string>
#include <vector>

// Sorts one attribute (at `attr_offset` of `record`) into the maps of
// `pe`, reported under `entry`. Sets `is_list` for an $ATTRIBUTE_LIST.
// False when the attribute does not lie inside the record.
bool parse_attribute(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes record, uint64_t attr_offset,
                     bool& is_list);

// Loads the entry and flattens it into items: the entry header, the
// $STANDARD_INFORMATION items, the $FILE_NAME items, then the others.
bool collect_entry_attrs(ntfs_volume& v, uint64_t entry, std::vector<attr_desc>& out);
// The items of collect_entry_attrs that a listing row reads, in the same
// order: the object IDs, $DATA streams, index allocations and reparse
// points; the entry header, $STANDARD_INFORMATION and $FILE_NAME items and
// the other attributes are left out, and resident values are kept only
// for object IDs, and no item carries extents. `record` is the entry's record as
// read_file_record read it: when it is one record size long its bytes are
// those the entry load would read again and are used as they are.
bool collect_listing_attrs(ntfs_volume& v, uint64_t entry, le::bytes record, std::vector<attr_desc>& out);

// Reparse-point tags whose data carry the two names.
constexpr uint32_t reparse_tag_symlink = 0xA000000C;
constexpr uint32_t reparse_tag_mount_point = 0xA0000003;

// The target of reparse data `r` (the attribute's value): the print name,
// or the substitute name when there is no print name, after skipping the
// substitute name's leading NUL units. Symbolic links keep a flags word
// before their names, so their path buffer starts 20 bytes in; every other
// tag's at 16. `print_only` takes only the print name. Empty when the names
// do not lie inside `r`.
std::u16string reparse_target(le::bytes r, bool print_only);

// Windows refuses reparse data longer than 16 KiB (its buffer's limit), so
// reparse data kept in clusters is read up to that size and no further.
constexpr uint64_t max_reparse_value_bytes = 16 * 1024;

// The value of non-resident reparse-point attribute `attr`, read from its
// clusters into `value` when it is taken as one: the piece that starts at
// the value's first byte, a size above the 16-byte header and within the
// limit above, every byte read, its data inside the value and its names
// inside the data. A long link target (some hundreds of characters) no
// longer fits in the record and is kept this way. False, with `value`
// empty, otherwise and when `v` is null.
bool read_reparse_value(ntfs_volume* v, le::bytes attr, std::vector<uint8_t>& value);
