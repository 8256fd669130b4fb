#include "ntfs/index_slack.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/index_node.hpp"
#include "ntfs/names_utf16.hpp"

#include <algorithm>
#include <cstring>

namespace {

// The highest namespace value NTFS writes (Win32 and DOS in one name).
constexpr uint8_t max_name_space = 3;
// A $FILE_NAME key holds at most 255 name units.
constexpr uint32_t max_file_name_key = file_name_fixed + 2 * 255;

uint64_t align_up(uint64_t v) { return (v + index_entry_alignment - 1) / index_entry_alignment * index_entry_alignment; }

}  // namespace

bool valid_utf16_name(std::u16string_view name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t u = name[i];
        if (u == 0) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool read_slack_entry(le::bytes node, uint64_t pos, uint64_t end, uint64_t directory, uint64_t entry_limit,
                      slack_entry& out, uint64_t& length) {
    end = std::min<uint64_t>(end, node.size());
    if (pos > end || end - pos < index_entry_head + file_name_fixed) return false;
    const uint64_t ref = le::u64(node, pos);
    if (ref == 0 || (ref & entry_number_mask) >= entry_limit) return false;
    // NTFS gives a record in use a sequence number of at least 1, so an
    // index entry never refers with 0. Eight bytes that hold a small number
    // and no sequence are mostly the subnode VCN of an end entry written
    // over the start of an older entry: the older name and lengths still
    // stand after it, but the number is a block's, not the file's record.
    if ((ref >> 48) == 0) return false;
    const uint16_t entry_length = le::u16(node, pos + 8);
    const uint16_t key_length = le::u16(node, pos + 10);
    const le::bytes key = le::sub(node, pos + index_entry_head, end - pos - index_entry_head);
    const uint8_t units = le::u8(key, 64);
    const uint8_t name_space = le::u8(key, 65);
    if (units == 0 || name_space > max_name_space) return false;
    const uint32_t key_needed = file_name_fixed + 2u * units;
    if (key_length < key_needed || key_length > max_file_name_key) return false;
    if (entry_length < index_entry_head + key_needed || entry_length > max_index_entry_length ||
        entry_length % index_entry_alignment != 0)
        return false;
    // The name must lie whole inside the slack it was found in.
    if (key.size() < key_needed) return false;
    if ((le::u64(key, 0) & entry_number_mask) != directory) return false;
    std::u16string name = read_utf16(key, file_name_fixed, units);
    if (name.size() != units || !valid_utf16_name(name)) return false;

    out.file_ref = ref;
    entry_name& n = out.name;
    n.parent_ref = le::u64(key, 0);
    std::memcpy(n.head.data(), key.data(), n.head.size());
    n.name_space = name_space;
    n.attr_id = 0;
    n.record_number = ref & entry_number_mask;
    n.name = std::move(name);
    length = index_entry_head + align_up(key_needed);
    return true;
}

void collect_node_slack(le::bytes b, uint64_t h, bool whole_node, index_slack& slack) {
    if (!le::fits(b, h, 16)) return;
    const uint32_t first = le::u32(b, h);
    const uint32_t in_use = le::u32(b, h + 4);
    const uint32_t allocated = le::u32(b, h + 8);
    // The node ends where its allocated size says, and never past the
    // buffer; a damaged size leaves the buffer as the bound.
    const uint64_t room = b.size() - h;
    const uint64_t end = h + ((allocated == 0 || allocated > room) ? room : allocated);
    uint64_t start = 0;
    if (whole_node) {
        start = (first >= 16 && first < end - h) ? first : 16;
    } else {
        // The live entries end at the bytes in use; a node whose count is
        // damaged has no slack anyone can place.
        if (in_use < 16 || in_use > end - h) return;
        start = in_use;
    }
    uint64_t pos = h + align_up(start);
    // One entry is filled over and over: most places tried hold no entry,
    // and read_slack_entry sets every field it reads when one is there.
    slack_entry e;
    while (pos < end && end - pos >= index_entry_head + file_name_fixed) {
        uint64_t length = 0;
        if (!read_slack_entry(b, pos, end, slack.directory, slack.entry_limit, e, length)) {
            pos += index_entry_alignment;
            continue;
        }
        slack.entries.push_back(std::move(e));
        pos += length;
    }
}

