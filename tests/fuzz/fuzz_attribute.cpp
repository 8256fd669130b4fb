// Attribute parsing over one FILE record given whole: the attribute walk
// of entry loading, the name pass and the reparse targets, without a
// volume behind the record.
#include "fuzz_input.hpp"

#include "ntfs/attribute_header.hpp"
#include "ntfs/attributes.hpp"
#include "ntfs/boot_sector.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/names.hpp"

#include <algorithm>

int fuzz::fuzz_attribute(const uint8_t* data, size_t size) {
    // One record of the largest size a volume may have.
    std::vector<uint8_t> rec(data, data + std::min<size_t>(size, max_record_size));
    bool bad = false;
    fixup_entry(rec, bad);
    const le::bytes r(rec);

    ntfs_volume none;  // no source: attribute lists are not followed
    mft_entries_ctx ctx(nullptr);
    parsed_entry pe;
    uint64_t off = le::u16(r, file_header::first_attribute);
    // Each step moves forward by a non-zero length, so the walk ends.
    while (le::fits(r, off, 8)) {
        const uint32_t len = le::u32(r, off + attr_header::length);
        if (le::u32(r, off) == attr_end || len == 0) break;
        bool is_list = false;
        if (!parse_attribute(pe, ctx, 7, r, off, is_list)) break;
        const le::bytes a = le::sub(r, off, len);
        if (le::u32(a, 0) == attr_reparse_point) {
            reparse_target(resident_value(a), false);
            reparse_target(resident_value(a), true);
        }
        off += len;
    }
    reparse_target(r, false);
    entry_name_map names;
    collect_entry_names(none, 7, r, true, any_parent, names);
    collect_entry_names(none, 7, r, false, 5, names);
    return 0;
}
