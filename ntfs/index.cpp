#include "ntfs/index.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/entry.hpp"
#include "ntfs/file_record.hpp"

#include <algorithm>
#include <unordered_map>

namespace {

constexpr std::u16string_view i30 = u"$I30";

// True when the attribute's own name is exactly "$I30".
bool named_i30(le::bytes a) {
    const uint8_t nlen = le::u8(a, attr_header::name_length);
    const uint16_t noff = le::u16(a, attr_header::name_offset);
    if (nlen == 0 || noff == 0 || a.size() < uint64_t(noff) + 2u * nlen) return false;
    if (nlen != i30.size()) return false;
    for (size_t i = 0; i < i30.size(); ++i)
        if (le::u16(a, noff + 2 * i) != i30[i]) return false;
    return true;
}

// One piece of the $I30 allocation: its extents (VCNs as recorded) and, for
// the piece at VCN 0, the stream's initialized size.
struct allocation_piece {
    std::vector<extent> extents;
    uint64_t first_vcn = 0;
    uint64_t initialized = 0;
};

void add_piece(std::vector<allocation_piece>& pieces, le::bytes a) {
    if (!le::u8(a, attr_header::non_resident)) return;
    std::vector<run> runs;
    if (!decode_runlist(a, runs)) return;
    allocation_piece p;
    p.extents = runs_to_extents(runs);
    p.first_vcn = le::u64(a, attr_header::first_vcn);
    p.initialized = le::u64(a, attr_header::initialized_size);
    pieces.push_back(std::move(p));
}

// What one FILE record holds of the index.
struct index_parts {
    std::vector<uint8_t> root;                 // the $INDEX_ROOT attribute (last one named $I30)
    std::vector<allocation_piece> allocation;  // every $INDEX_ALLOCATION piece named $I30
    std::vector<uint8_t> list;                 // the last $ATTRIBUTE_LIST
    std::vector<uint8_t> bitmap;               // the $BITMAP attribute named $I30 (last one)
};

void scan_record(le::bytes rec, uint32_t allocated, index_parts& parts, uint16_t only_id = 0, bool match_id = false) {
    uint64_t off = le::u16(rec, file_header::first_attribute);
    while (le::fits(rec, off, 8)) {
        const uint32_t type = le::u32(rec, off);
        const uint32_t len = le::u32(rec, off + attr_header::length);
        if (type == attr_end || len == 0 || len > allocated || !le::fits(rec, off, len)) break;
        const le::bytes a = le::sub(rec, off, len);
        const bool id_ok = !match_id || le::u16(a, attr_header::id) == only_id;
        if (type == attr_attribute_list && !match_id) {
            parts.list.assign(a.begin(), a.end());
        } else if (type == attr_index_root && named_i30(a) && id_ok) {
            parts.root.assign(a.begin(), a.end());
        } else if (type == attr_index_allocation && named_i30(a) && id_ok) {
            add_piece(parts.allocation, a);
        } else if (type == attr_bitmap && named_i30(a) && id_ok) {
            parts.bitmap.assign(a.begin(), a.end());
        }
        off += len;
    }
}

// The extents of every allocation piece, in VCN order, as one list; and the
// initialized size the piece at VCN 0 gives.
std::vector<extent> allocation_extents(index_parts& parts, uint64_t& initialized) {
    std::sort(parts.allocation.begin(), parts.allocation.end(),
              [](const allocation_piece& x, const allocation_piece& y) { return x.first_vcn < y.first_vcn; });
    std::vector<extent> all;
    initialized = 0;
    for (const auto& p : parts.allocation) {
        merge_extents(all, p.extents);
        if (p.first_vcn == 0) initialized = p.initialized;
    }
    return all;
}

// True when the node of an index root says its entries lead to index
// blocks (the flag of a large index), so that the root alone is not the
// whole index.
bool root_leads_to_blocks(le::bytes root_attr) {
    if (root_attr.empty()) return false;
    constexpr uint64_t node_flags = 12;  // in the node header
    constexpr uint8_t has_blocks = 0x01;
    return (le::u8(resident_value(root_attr), root_node_offset + node_flags) & has_blocks) != 0;
}

bool walk_root(ntfs_volume& vol, child_entry_set& s, le::bytes root_attr, index_slack* slack) {
    // Only a root that indexes $FILE_NAME holds a folder's children. Its
    // index block size is not read: the root's own entries do not depend
    // on it, and a damaged one must not hide them.
    const le::bytes v = resident_value(root_attr);
    if (le::u32(v, 0) != attr_file_name) return false;
    if (slack) collect_node_slack(v, root_node_offset, false, *slack);
    bool reached_end = false;
    const bool walked = walk_index_node(s, v, root_node_offset, false, reached_end);
    if (!reached_end) ++vol.damaged_index_nodes;
    return walked;
}

// The bits of the index bitmap: one per index block, set while the block is
// in use. A non-resident bitmap is read up to what the largest allocation
// this reader loads can need.
std::vector<uint8_t> bitmap_bits(ntfs_volume& v, le::bytes a) {
    std::vector<uint8_t> bits;
    if (a.empty()) return bits;
    if (!le::u8(a, attr_header::non_resident)) {
        const le::bytes value = resident_value(a);
        bits.assign(value.begin(), value.end());
        return bits;
    }
    std::vector<run> runs;
    if (!decode_runlist(a, runs)) return bits;
    constexpr uint64_t max_bitmap_bytes = max_index_allocation_bytes / index_block_size / 8;
    const uint64_t size = std::min(le::u64(a, attr_header::real_size), max_bitmap_bytes);
    bits.assign(static_cast<size_t>(size), 0);
    uint32_t length = static_cast<uint32_t>(size), flags = 0;
    if (size == 0 || !read_range(v, runs_to_extents(runs), 0, bits.data(), length, flags)) bits.clear();
    else bits.resize(length);
    return bits;
}

// Sets in `bits` the bit of every loaded block that the index's tree
// reaches from the root in `root_attr` through sub-node pointers. `b`
// holds the blocks, `numbers` their numbers counted by VCN. A sub-node VCN
// counts clusters, or 512-byte units where a cluster is larger than a
// block. Each block is followed once, so a pointer cycle ends.
void mark_tree_blocks(const ntfs_volume& v, le::bytes root_attr, le::bytes b, const std::vector<uint64_t>& numbers,
                      std::vector<uint8_t>& bits) {
    const uint64_t unit = v.bytes_per_cluster <= index_block_size ? v.bytes_per_cluster : 512;
    if (unit == 0 || root_attr.empty()) return;
    std::unordered_map<uint64_t, size_t> packed_of;  // block number -> its place in `b`
    for (size_t i = 0; i < numbers.size() && (i + 1) * index_block_size <= b.size(); ++i)
        packed_of.emplace(numbers[i], i);
    std::vector<bool> reached(numbers.size(), false);
    std::vector<size_t> pending;
    std::vector<uint64_t> vcns;
    const auto follow = [&](le::bytes node, uint64_t node_offset) {
        vcns.clear();
        subnode_vcns(node, node_offset, vcns);
        for (const uint64_t vcn : vcns) {
            if (vcn > UINT64_MAX / unit || (vcn * unit) % index_block_size != 0) continue;
            const uint64_t number = vcn * unit / index_block_size;
            const auto it = packed_of.find(number);
            if (it == packed_of.end() || reached[it->second]) continue;
            reached[it->second] = true;
            pending.push_back(it->second);
            if (number / 8 < bits.size()) bits[number / 8] |= static_cast<uint8_t>(1u << (number % 8));
        }
    };
    follow(resident_value(root_attr), root_node_offset);
    while (!pending.empty()) {
        const uint64_t k = uint64_t(pending.back()) * index_block_size;
        pending.pop_back();
        if (le::has(b, k, "INDX")) follow(le::sub(b, k, index_block_size), indx_node_offset);
    }
}

}  // namespace

bool find_named_attribute(le::bytes rec, uint64_t& cursor, uint32_t type, std::u16string_view name, uint32_t record_size) {
    while (le::fits(rec, cursor, 8)) {
        const uint32_t t = le::u32(rec, cursor);
        const uint32_t len = le::u32(rec, cursor + attr_header::length);
        if (t == attr_end || len == 0 || len > record_size) return false;
        if (t == type) {
            const uint16_t noff = le::u16(rec, cursor + attr_header::name_offset);
            bool match = le::fits(rec, cursor + noff, 2 * name.size());
            for (size_t i = 0; match && i < name.size(); ++i)
                match = le::u16(rec, cursor + noff + 2 * i) == name[i];
            if (match) return true;
        }
        cursor += len;
    }
    return false;
}

bool find_attribute_list_entry(le::bytes list, uint64_t& cursor, int64_t& remaining, uint32_t type,
                               std::u16string_view name) {
    while (remaining > 0 && le::fits(list, cursor, 26)) {
        const uint32_t t = le::u32(list, cursor);
        const uint16_t len = le::u16(list, cursor + 4);
        if (t == attr_end || len == 0) return false;
        if (t == type) {
            const uint8_t noff = le::u8(list, cursor + 7);
            bool match = le::fits(list, cursor + noff, 2 * name.size());
            for (size_t i = 0; match && i < name.size(); ++i)
                match = le::u16(list, cursor + noff + 2 * i) == name[i];
            if (match) return true;
        }
        remaining -= len;
        cursor += len;
    }
    return false;
}

bool read_index_allocation(child_entry_set& s, ntfs_volume& v, const std::vector<extent>& extents, uint64_t initialized,
                           bool c, index_slack* slack, le::bytes given_bitmap, le::bytes root_attr) {
    if (initialized == 0 || extents.empty()) return false;
    std::vector<uint8_t>& data = v.index_blocks;
    uint32_t n = 0xFFFFFFFF;
    if (!load_index_blocks(v, data, n, extents)) return false;
    const le::bytes b(data.data(), size_t(n) * index_block_size);
    // The bitmap counts blocks by VCN, the buffer packs them past sparse extents.
    const std::vector<uint64_t> numbers =
        slack || !given_bitmap.empty() ? index_block_numbers(extents, v.bytes_per_cluster, n) : std::vector<uint64_t>{};
    le::bytes bitmap = given_bitmap;
    // Blocks the bitmap marks free hold no live entries, unless the tree
    // leads to them: then the bitmap is damaged there, and the blocks the
    // tree reaches are read as in use.
    std::vector<uint8_t> mended;
    if (!bitmap.empty() && !root_attr.empty()) {
        bool free_index_block = false;
        for (size_t i = 0; i < numbers.size() && !free_index_block; ++i) {
            const uint64_t number = numbers[i];
            free_index_block = number / 8 < bitmap.size() && !((bitmap[number / 8] >> (number % 8)) & 1) &&
                               le::has(b, uint64_t(i) * index_block_size, "INDX");
        }
        if (free_index_block) {
            mended.assign(bitmap.begin(), bitmap.end());
            mark_tree_blocks(v, root_attr, b, numbers, mended);
            bitmap = mended;
        }
    }
    for (uint64_t k = 0; k + index_block_size <= b.size(); k += index_block_size) {
        const uint64_t packed = k / index_block_size;
        const uint64_t number = packed < numbers.size() ? numbers[packed] : packed;
        const bool past_bitmap = number / 8 >= bitmap.size();
        const bool marked = !past_bitmap && ((bitmap[number / 8] >> (number % 8)) & 1);
        if (!le::has(b, k, "INDX")) {
            // A block in use that holds no index (zeros where a bad sector
            // was imaged, say): the entries it held are lost to the listing.
            if (marked) ++v.index_gaps;
            continue;
        }
        const le::bytes block = le::sub(b, k, index_block_size);
        // A block the bitmap marks free is no longer part of the index: NTFS
        // leaves its bytes as they were, so the entries in it name files
        // that were moved or deleted since. Only its slack is read.
        const bool free_block = !bitmap.empty() && !past_bitmap && !marked;
        bool reached_end = false;
        if (!free_block) walk_index_node(s, block, indx_node_offset, c, reached_end);
        if (marked && !c && !reached_end) ++v.damaged_index_nodes;
        // Blocks past the bitmap's end count as in use: only their slack
        // is read.
        if (slack) collect_node_slack(block, indx_node_offset, !(past_bitmap || marked), *slack);
    }
    return true;
}

// How much of a directory's index is hinted ahead of its listing: what a
// folder of some hundred entries holds, a few chunks of a compressed
// image; the rest is hinted as it is read.
constexpr uint64_t index_hint_ahead_bytes = 128 * 1024;

void prefetch_kept_directory_index(ntfs_volume& v, uint64_t entry) {
    if (!takes_hints(v)) return;
    const auto kept = v.kept_records.find(entry);
    if (kept == v.kept_records.end()) return;
    const le::bytes r(kept->second);
    index_parts parts;
    scan_record(r, static_cast<uint32_t>(r.size()), parts);
    if (parts.allocation.empty()) return;
    uint64_t initialized = 0;
    prefetch_runs(v, allocation_extents(parts, initialized), index_hint_ahead_bytes);
}

bool collect_directory_children(ntfs_volume& v, uint64_t d, child_entry_set& s, index_slack* slack) {
    return collect_directory_children(v, d, {}, s, slack);
}

bool collect_directory_children(ntfs_volume& v, uint64_t d, le::bytes known, child_entry_set& s, index_slack* slack) {
    std::vector<uint8_t> rec;
    le::bytes r = known;
    for (int hop = 0;; ++hop) {
        if (hop > 0 || r.empty()) {
            if (!read_file_record(v, d, rec)) return false;
            r = rec;
        }
        const uint64_t base = le::u64(r, file_header::base_reference) & entry_number_mask;
        if (base == 0) break;
        // An extension record stands for its base record; a chain of them
        // that does not end in a base record is not followed for ever.
        if (base == d || hop >= max_base_redirections) return false;
        d = base;
    }
    const uint32_t allocated = std::max<uint32_t>(le::u32(r, file_header::bytes_allocated), static_cast<uint32_t>(r.size()));
    index_parts parts;
    scan_record(r, allocated, parts);

    // The attribute list can place the root and pieces of the allocation in
    // extension records: gather every one of them.
    if (!parts.list.empty()) {
        std::vector<uint8_t> list;
        const le::bytes la(parts.list);
        if (le::u8(la, attr_header::non_resident) && le::u64(la, attr_header::initialized_size) == 0) {
            list.clear();
        } else {
            attribute_list_bytes(v, la, list);
        }
        const le::bytes lb(list);
        std::vector<uint8_t> ext;
        for (uint32_t type : {attr_index_allocation, attr_index_root, attr_bitmap}) {
            if (type == attr_index_root && !parts.root.empty()) continue;
            if (type == attr_bitmap && !parts.bitmap.empty()) continue;
            uint64_t cursor = 0;
            int64_t remaining = static_cast<int64_t>(lb.size());
            while (find_attribute_list_entry(lb, cursor, remaining, type, i30)) {
                const uint64_t other = le::u64(lb, cursor + 16) & entry_number_mask;
                const uint16_t id = le::u16(lb, cursor + 24);
                if (other != d && read_file_record(v, other, ext) && extends_entry(ext, d)) {
                    const le::bytes eb(ext);
                    scan_record(eb, static_cast<uint32_t>(eb.size()), parts, id, true);
                }
                const uint16_t len = le::u16(lb, cursor + 4);
                cursor += len;
                remaining -= len;
            }
        }
    }

    bool result = false;
    if (!parts.root.empty()) result = walk_root(v, s, parts.root, slack);
    bool blocks_read = false;
    if (!parts.allocation.empty()) {
        uint64_t initialized = 0;
        const std::vector<extent> all = allocation_extents(parts, initialized);
        std::vector<uint8_t> bits = bitmap_bits(v, parts.bitmap);
        // A root that leads to index blocks while the bitmap marks none in
        // use: the bitmap is damaged, not the blocks free, and every block
        // is read as in use.
        if (root_leads_to_blocks(parts.root) && std::all_of(bits.begin(), bits.end(), [](uint8_t b) { return b == 0; }))
            bits.clear();
        result = read_index_allocation(s, v, all, initialized, false, slack, bits, parts.root);
        blocks_read = result;
    }
    // A root whose entries lead to index blocks, with no blocks read (the
    // allocation missing, no longer named $I30, or said to hold no bytes):
    // the entries those blocks held are lost, which the listing says.
    if (!blocks_read && root_leads_to_blocks(parts.root)) ++v.index_gaps;
    return result;
}
