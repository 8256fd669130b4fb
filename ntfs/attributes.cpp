#include "ntfs/attributes.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/names_utf16.hpp"
#include "storage/damage.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

// The $FILE_NAME value holds 66 bytes before the name.
constexpr size_t file_name_fixed = 66;
// $STANDARD_INFORMATION values are taken up to this many bytes.
constexpr size_t std_info_bytes = 72;
// The key used for attribute types without a rule of their own.
constexpr uint64_t shared_type_key = 0xFFFFFFFFFFFFULL;

// The attribute types whose items a listing row reads; a folder's row
// names its $INDEX_ROOT.
bool is_listing_type(uint32_t t) {
    return t == attr_object_id || t == attr_data || t == attr_index_root || t == attr_index_allocation ||
           t == attr_reparse_point;
}

bool is_known_type(uint32_t t) { return (t >= 0x10 && t <= 0xC0 && t % 0x10 == 0) || t == 0x100; }

bool same_name(const std::u16string& a, const std::u16string& b) { return a == b; }

std::vector<extent> decode_extents(le::bytes attr) {
    std::vector<run> runs;
    if (!decode_runlist(attr, runs)) return {};
    return runs_to_extents(runs);
}

attribute_item make_item(le::bytes attr, const std::u16string& name) {
    attribute_item it;
    it.name = name;
    it.bytes.assign(attr.begin(), attr.end());
    if (le::u8(attr, attr_header::non_resident)) it.extents = decode_extents(attr);
    return it;
}

// The value of reparse-point attribute `attr` when it is taken as one:
// resident, longer than its 16-byte header, its data length inside the
// `to_end` bytes from the attribute to the end of its record, and both
// names inside the data with at least one of them there. Empty otherwise.
// True when both names of reparse value `v` lie inside its data length
// and at least one of them is there.
bool reparse_names_inside(le::bytes v) {
    const uint16_t data_len = le::u16(v, 4);
    const uint16_t sub_off = le::u16(v, 8), sub_len = le::u16(v, 10);
    const uint16_t prn_off = le::u16(v, 12), prn_len = le::u16(v, 14);
    if (sub_len == 0 && prn_len == 0) return false;
    return uint32_t(sub_off) + sub_len < data_len && uint32_t(prn_off) + prn_len < data_len;
}

le::bytes taken_reparse_value(le::bytes attr, uint64_t to_end) {
    const uint16_t voff = le::u16(attr, attr_header::value_offset);
    const uint32_t vlen = le::u32(attr, attr_header::value_length);
    if (le::u8(attr, attr_header::non_resident) || voff == 0 || vlen <= 16) return {};
    const le::bytes v = resident_value(attr);
    if (v.empty()) return {};
    const uint16_t data_len = le::u16(v, 4);
    if (data_len == 0 || uint64_t(voff) + data_len >= to_end) return {};
    return reparse_names_inside(v) ? v : le::bytes{};
}

// Resident values must lie inside the attribute to be taken.
bool has_value(le::bytes attr) {
    return le::u16(attr, attr_header::value_offset) != 0 && le::u32(attr, attr_header::value_length) != 0;
}

// Adds a piece's extents to an item. The sizes of a non-resident attribute
// live in the header of its piece at VCN 0, so that header is kept.
void add_piece(attribute_item& item, le::bytes attr) {
    merge_extents(item.extents, decode_extents(attr));
    const le::bytes held(item.bytes);
    if (le::u8(attr, attr_header::non_resident) && le::u8(held, attr_header::non_resident) &&
        le::u64(attr, attr_header::first_vcn) == 0 && le::u64(held, attr_header::first_vcn) != 0)
        item.bytes.assign(attr.begin(), attr.end());
}

// The item holding another piece of the same non-resident attribute. Each
// piece carries the attribute id of the record it stands in, so pieces in
// extension records have ids of their own; a type and name are unique to
// one attribute, and they tell the pieces apart.
attribute_item* other_piece(parsed_entry& pe, le::bytes attr, const std::u16string& name) {
    if (!le::u8(attr, attr_header::non_resident)) return nullptr;
    for (auto& [k, item] : pe.attributes) {
        const le::bytes held(item.bytes);
        if (le::u8(held, attr_header::non_resident) && le::u32(held, attr_header::type) == le::u32(attr, attr_header::type) &&
            same_name(item.name, name))
            return &item;
    }
    return nullptr;
}

// The key a $DATA attribute is kept under. A record numbers its attributes
// apart, so two streams of other names under one id in it are damage, yet
// both are there and both are listed: the later one takes the key with the
// lowest number above the type bits (a $DATA key leaves those bits clear)
// that is free or holds a stream of its own name (a piece of it, joined as
// before). A record holds far fewer streams than the numbers go up to.
constexpr uint64_t max_streams_per_id = 0xFFFF;
constexpr unsigned stream_number_shift = 16;

uint64_t stream_key(const parsed_entry& pe, uint64_t key, const std::u16string& name) {
    for (uint64_t n = 0; n <= max_streams_per_id; ++n) {
        const uint64_t k = key | (n << stream_number_shift);
        const auto it = pe.attributes.find(k);
        if (it == pe.attributes.end() || same_name(it->second.name, name)) return k;
    }
    return key;
}

// Merges a non-resident piece into the item under `key`, or into the item
// of another piece of it, or makes a new one.
void merge_piece(parsed_entry& pe, uint64_t key, le::bytes attr, const std::u16string& name) {
    auto it = pe.attributes.find(key);
    if (it == pe.attributes.end()) {
        if (attribute_item* other = other_piece(pe, attr, name)) {
            add_piece(*other, attr);
        } else {
            pe.attributes.emplace(key, make_item(attr, name));
        }
    } else if (same_name(it->second.name, name)) {
        add_piece(it->second, attr);
    }
}

}  // namespace

std::u16string reparse_target(le::bytes r, bool print_only) {
    if (r.size() < 16) return {};
    const uint32_t tag = le::u32(r, 0);
    const uint64_t buffer = (tag == reparse_tag_symlink) ? 20 : 16;
    const uint16_t sub_off = le::u16(r, 8), sub_len = le::u16(r, 10);
    const uint16_t prn_off = le::u16(r, 12), prn_len = le::u16(r, 14);
    uint64_t sub = buffer + sub_off, prn = buffer + prn_off;
    // Skip the substitute name's leading NULs, moving both names along.
    for (uint32_t i = 0; i < sub_len / 2u && le::fits(r, sub, 2) && le::u16(r, sub) == 0; ++i) {
        sub += 2;
        prn += 2;
    }
    if (prn_len != 0 || print_only) return read_utf16(r, prn, prn_len / 2u);
    return read_utf16(r, sub, sub_len / 2u);
}

bool read_reparse_value(ntfs_volume* v, le::bytes attr, std::vector<uint8_t>& value) {
    value.clear();
    if (!v || !le::u8(attr, attr_header::non_resident) || le::u64(attr, attr_header::first_vcn) != 0) return false;
    const uint64_t size = le::u64(attr, attr_header::real_size);
    if (size <= 16 || size > max_reparse_value_bytes) return false;
    const std::vector<extent> extents = decode_extents(attr);
    value.assign(static_cast<size_t>(size), 0);
    uint32_t length = static_cast<uint32_t>(size), flags = 0;
    const bool read = !extents.empty() && read_range(*v, extents, 0, value.data(), length, flags) && length == size;
    if (!read || 8u + le::u16(value, 4) > size || le::u16(value, 4) == 0 || !reparse_names_inside(value)) {
        value.clear();
        return false;
    }
    return true;
}

namespace {

// The reparse value of `attr` as the listing takes it: in the record
// (`to_end` bytes from the attribute to the record's end), or read from
// its clusters into `outside`. Empty when it is taken as neither.
le::bytes listed_reparse_value(ntfs_volume* v, le::bytes attr, uint64_t to_end, std::vector<uint8_t>& outside) {
    const le::bytes in_record = taken_reparse_value(attr, to_end);
    if (!in_record.empty() || !read_reparse_value(v, attr, outside)) return in_record;
    return outside;
}

}  // namespace

bool parse_attribute(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes record, uint64_t attr_offset,
                     bool& is_list) {
    is_list = false;
    if (record.empty() || !le::fits(record, attr_offset, 16)) return false;
    const uint32_t len = le::u32(record, attr_offset + attr_header::length);
    if (len == 0 || !le::fits(record, attr_offset, len)) return false;
    const le::bytes a = le::sub(record, attr_offset, len);
    const uint32_t type = le::u32(a, attr_header::type);
    if (ctx.listing_items_only && type != attr_attribute_list && !is_listing_type(type)) return true;
    const uint16_t id = le::u16(a, attr_header::id);
    const bool non_resident = le::u8(a, attr_header::non_resident) != 0;
    const uint8_t name_len = le::u8(a, attr_header::name_length);
    const uint16_t name_off = le::u16(a, attr_header::name_offset);
    std::u16string name;
    if (name_off && name_len && le::fits(a, name_off, 2u * name_len)) name = read_utf16(a, name_off, name_len);
    else if (name_len && type == attr_data) {
        // A stream whose name does not lie within its attribute cannot be
        // told by name: taken as unnamed it would pass for the file's data,
        // or its runs would join them. It is left out, and said.
        report_listing_gap("MFT entry " + std::to_string(entry) + ": a $DATA attribute (id " + std::to_string(id) +
                           ") has its name outside it, the stream is not listed");
        return true;
    }
    // Ids are unique within one record only: the record's number among the
    // entry's extension records keeps the attributes of different records
    // apart (0, for the base record, leaves its keys as they are).
    const uint64_t key = (uint64_t(id) << 48) | (uint64_t(pe.source) << 32) | type;

    switch (type) {
    case attr_standard_information:
        if (!non_resident && has_value(a)) {
            const le::bytes v = resident_value(a);
            if (v.empty()) break;
            std_info_value si;
            si.attr_id = id;
            std::memcpy(si.bytes.data(), v.data(), std::min(v.size(), std_info_bytes));
            pe.std_info.emplace(id, si);
        }
        break;
    case attr_attribute_list:
        is_list = true;
        break;
    case attr_file_name: {
        if (non_resident || !has_value(a)) break;
        const le::bytes v = resident_value(a);
        const uint8_t nlen = le::u8(v, 0x40);
        if (v.size() < file_name_fixed + 2u * nlen) break;
        file_name_value fn;
        std::memcpy(fn.head.data(), v.data(), fn.head.size());
        fn.name_length = nlen;
        fn.name_space = le::u8(v, 0x41);
        fn.name = read_utf16(v, file_name_fixed, nlen);
        fn.attr_id = id;
        fn.entry = entry;
        const std::string k = name_key(le::u64(v, 0) & entry_number_mask, fn.name, entry);
        pe.file_names.emplace(k, std::move(fn));
        break;
    }
    case attr_object_id:
        if (le::u16(a, attr_header::value_offset) != 0 && le::u32(a, attr_header::value_length) >= 16)
            pe.attributes.emplace(key, make_item(a, name));
        break;
    case attr_security_descriptor:
        if (non_resident) merge_piece(pe, key, a, name);
        else pe.attributes.emplace(key, make_item(a, name));
        break;
    case attr_volume_name:
        pe.attributes.emplace(key, make_item(a, name));
        break;
    case attr_volume_information:
        if (has_value(a)) pe.attributes.emplace(key, make_item(a, name));
        break;
    case attr_data: {
        const uint64_t k = stream_key(pe, key, name);
        if (!non_resident && has_value(a)) {
            attribute_item it = make_item(a, name);
            if (name.empty()) it.label = "unnamed data";
            pe.attributes.emplace(k, std::move(it));
            break;
        }
        if (pe.attributes.find(k) == pe.attributes.end()) {
            if (name.empty() && pe.unnamed_data_seen) {
                // A later piece of the unnamed stream, under another id.
                for (auto& [ik, item] : pe.attributes) {
                    if ((ik & 0x80) && item.label == "unnamed data") {
                        add_piece(item, a);
                        break;
                    }
                }
            } else if (attribute_item* other = other_piece(pe, a, name)) {
                // A later piece of a named stream, under another id.
                add_piece(*other, a);
            } else {
                attribute_item it = make_item(a, name);
                if (name.empty()) it.label = "unnamed data";
                pe.attributes.emplace(k, std::move(it));
            }
        } else {
            merge_piece(pe, k, a, name);
        }
        if (name.empty()) pe.unnamed_data_seen = true;
        break;
    }
    case attr_reparse_point: {
        std::vector<uint8_t> outside;
        const le::bytes v = listed_reparse_value(ctx.volume, a, record.size() - attr_offset, outside);
        if (v.empty()) break;
        attribute_item it = make_item(a, name);
        it.link_target = ntfs_text_to_utf8(reparse_target(v, false));
        pe.attributes.emplace(key, std::move(it));
        break;
    }
    default: {
        const uint64_t k = is_known_type(type) ? key : ((uint64_t(id) << 48) | shared_type_key);
        if (!non_resident && has_value(a)) {
            pe.attributes.emplace(k, make_item(a, name));
        } else {
            merge_piece(pe, k, a, name);
        }
        break;
    }
    }
    (void)ctx;
    return true;
}

static void fill_times(attr_desc& d, le::bytes v, uint64_t at) {
    d.created = le::u64(v, at);
    d.modified = le::u64(v, at + 8);
    d.mft_changed = le::u64(v, at + 16);
    d.accessed = le::u64(v, at + 24);
}

namespace {

// Flattens a loaded entry into items.
// For a `listing` the entry-header item is left out and of the resident
// values only those of object IDs are kept.
void flatten_entry(ntfs_volume& v, uint64_t entry, const parsed_entry& pe, std::vector<attr_desc>& out, bool listing) {
    out.reserve(1 + pe.std_info.size() + pe.file_names.size() + pe.attributes.size());
    const le::bytes hdr(pe.header.data(), pe.header.size());
    const uint64_t seq_bits = uint64_t(pe.sequence & 0xFFFF) << 48;
    const uint32_t usa_records = (uint32_t(le::u16(hdr, file_header::usa_count)) - 1) * fixup_stride;
    if (!listing) {
        attr_desc h;
        h.type = attr_entry_header;
        h.file_ref = entry;
        h.self_ref = (entry & entry_number_mask) | seq_bits;
        const uint16_t flags = le::u16(hdr, file_header::flags);
        h.rec_flags = static_cast<uint8_t>(((flags & record_in_use) ? 0 : rec_flag_not_in_use) |
                                           ((flags & record_is_directory) ? rec_flag_directory : 0) | rec_flag_always |
                                           ((le::u16(hdr, file_header::link_count) & 0x0F) << rec_link_count_shift) |
                                           (pe.base_ref ? rec_flag_extension : 0));
        h.base_ref = pe.base_ref;
        h.record_size = usa_records;
        out.push_back(std::move(h));
    }

    const uint64_t file_ref = (entry & entry_number_mask) | seq_bits;
    for (const auto& [id, si] : pe.std_info) {
        attr_desc d;
        d.type = attr_standard_information;
        d.attr_id = id;
        d.file_ref = file_ref;
        const le::bytes b(si.bytes.data(), si.bytes.size());
        fill_times(d, b, 0);
        d.file_attributes = le::u32(b, 32);
        d.record_size = usa_records;
        out.push_back(std::move(d));
    }
    for (const auto& [key, fn] : pe.file_names) {
        attr_desc d;
        d.type = attr_file_name;
        d.attr_id = fn.attr_id;
        d.file_ref = file_ref;
        const le::bytes b(fn.head.data(), fn.head.size());
        d.parent_ref = le::u64(b, 0);
        fill_times(d, b, 8);
        d.real_size = le::u64(b, 48);
        d.name_flags = le::u8(b, 56);
        d.name_space = fn.name_space;
        d.text = ntfs_name_to_utf8(fn.name);
        d.record_size = usa_records;
        out.push_back(std::move(d));
    }
    const uint32_t rs = working_record_size(v);
    for (const auto& [key, item] : pe.attributes) {
        if (item.bytes.empty()) continue;
        const le::bytes a(item.bytes);
        attr_desc d;
        d.type = le::u32(a, attr_header::type);
        d.attr_id = le::u16(a, attr_header::id);
        d.attr_flags = le::u16(a, attr_header::flags);
        d.file_ref = file_ref;
        d.non_resident = le::u8(a, attr_header::non_resident) ? 1 : 0;
        if (d.non_resident) {
            d.owner_entry = pe.is_extension ? pe.base_ref : entry;
            d.allocated_size = le::u64(a, attr_header::allocated_size);
            d.real_size = le::u64(a, attr_header::real_size);
            d.initialized_size = le::u64(a, attr_header::initialized_size);
            d.compressed_size = le::u64(a, attr_header::compressed_size);
            d.compression_unit = le::u8(a, attr_header::compression_unit);
            // A listing row reads no clusters: its items carry no extents.
            if (!listing) d.extents = item.extents;
        } else {
            const le::bytes val = resident_value(a);
            d.value_length = le::u32(a, attr_header::value_length);
            if (d.value_length < rs && (!listing || d.type == attr_object_id)) d.value.assign(val.begin(), val.end());
            if (d.type == attr_volume_name && item.name.empty() && !val.empty())
                d.name = ntfs_name_to_utf8(read_utf16(val, 0, val.size() / 2));
            if (d.type == attr_object_id && d.value_length == 16 && val.size() == 16) {
                std::memcpy(d.object_id, val.data(), 16);
                d.has_object_id = 1;
            }
        }
        if (d.type == attr_reparse_point) d.text = item.link_target;
        if (!item.name.empty()) d.name = ntfs_text_to_utf8(item.name);
        d.record_size = rs;
        out.push_back(std::move(d));
    }
}

// The listing items of `r`, the entry's record of one record size, made
// from each attribute on its own. That gives what the entry load gives when
// the record holds all of the entry (no attribute list) and no two of its
// listing attributes are pieces the load would join or keys it would fold
// (same type with the same name or id). False, with `out` not to be used,
// when the record is not of that kind and needs the full load.
bool listing_items_in_record(ntfs_volume& v, uint64_t entry, le::bytes r, std::vector<attr_desc>& out) {
    const uint32_t rs = working_record_size(v);
    const uint64_t base_ref = le::u64(r, file_header::base_reference);
    const uint64_t file_ref = (entry & entry_number_mask) | (uint64_t(le::u16(r, file_header::sequence)) << 48);
    // The listing attributes that made an item, for the duplicate check. A
    // record holds a few; one with more goes to the full load, which has no
    // such bound.
    // Names are held as the record's own bytes (little-endian units, cut at
    // the first NUL as read_utf16 cuts them), so that no string is made for
    // the unnamed attributes most records hold only.
    struct seen_attr {
        uint32_t type;
        uint16_t id;
        le::bytes name;
    };
    constexpr size_t max_seen = 16;
    seen_attr seen[max_seen];
    size_t seen_count = 0;
    uint64_t off = le::u16(r, file_header::first_attribute);
    if (off == 0) return true;
    while (le::fits(r, off, 8)) {
        const uint32_t type = le::u32(r, off);
        const uint32_t len = le::u32(r, off + attr_header::length);
        if (type == attr_end || len == 0 || len > rs) break;
        if (!le::fits(r, off, 16) || !le::fits(r, off, len)) break;
        if (type == attr_attribute_list) return false;
        const le::bytes a = le::sub(r, off, len);
        const uint64_t at = off;
        off += len;
        if (!is_listing_type(type)) continue;
        const uint16_t id = le::u16(a, attr_header::id);
        const uint8_t name_len = le::u8(a, attr_header::name_length);
        const uint16_t name_off = le::u16(a, attr_header::name_offset);
        le::bytes name;
        // A name outside its attribute: the full load leaves such a stream out.
        if (name_len && (!name_off || !le::fits(a, name_off, 2u * name_len))) return false;
        if (name_len) {
            name = le::sub(a, name_off, 2u * name_len);
            size_t units = 0;
            while (units < name_len && (name[2 * units] | name[2 * units + 1]) != 0) ++units;
            name = name.first(2 * units);
        }
        for (size_t i = 0; i < seen_count; ++i)
            if (seen[i].type == type &&
                (seen[i].id == id || std::equal(seen[i].name.begin(), seen[i].name.end(), name.begin(), name.end())))
                return false;
        if (seen_count == max_seen) return false;
        const bool non_resident = le::u8(a, attr_header::non_resident) != 0;
        std::string target;
        if (type == attr_object_id) {
            if (le::u16(a, attr_header::value_offset) == 0 || le::u32(a, attr_header::value_length) < 16) continue;
        } else if (type == attr_reparse_point) {
            std::vector<uint8_t> outside;
            const le::bytes val = listed_reparse_value(&v, a, r.size() - at, outside);
            if (val.empty()) continue;
            target = ntfs_text_to_utf8(reparse_target(val, false));
        }
        attr_desc& d = out.emplace_back();
        d.type = type;
        d.attr_id = id;
        d.attr_flags = le::u16(a, attr_header::flags);
        d.file_ref = file_ref;
        d.non_resident = non_resident ? 1 : 0;
        if (non_resident) {
            d.owner_entry = base_ref ? base_ref : entry;
            d.allocated_size = le::u64(a, attr_header::allocated_size);
            d.real_size = le::u64(a, attr_header::real_size);
            d.initialized_size = le::u64(a, attr_header::initialized_size);
            d.compressed_size = le::u64(a, attr_header::compressed_size);
            d.compression_unit = le::u8(a, attr_header::compression_unit);
        } else {
            const le::bytes val = resident_value(a);
            d.value_length = le::u32(a, attr_header::value_length);
            if (type == attr_object_id) {
                if (d.value_length < rs) d.value.assign(val.begin(), val.end());
                if (d.value_length == 16 && val.size() == 16) {
                    std::memcpy(d.object_id, val.data(), 16);
                    d.has_object_id = 1;
                }
            }
        }
        d.text = std::move(target);
        if (!name.empty()) d.name = ntfs_text_to_utf8(read_utf16(name, 0, name.size() / 2));
        d.record_size = rs;
        seen[seen_count++] = {type, id, name};
    }
    // The entry load keeps its items in the order of their keys: the id
    // above the type.
    std::sort(out.begin(), out.end(), [](const attr_desc& x, const attr_desc& y) {
        return (uint64_t(x.attr_id) << 48 | x.type) < (uint64_t(y.attr_id) << 48 | y.type);
    });
    return true;
}

}  // namespace

bool collect_entry_attrs(ntfs_volume& v, uint64_t entry, std::vector<attr_desc>& out) {
    out.clear();
    mft_entries_ctx ctx(&v);
    parsed_entry pe;
    if (!load_entry(pe, ctx, entry) || pe.raw.empty()) return false;
    flatten_entry(v, entry, pe, out, false);
    return true;
}

bool collect_listing_attrs(ntfs_volume& v, uint64_t entry, le::bytes record, std::vector<attr_desc>& out) {
    out.clear();
    if (v.source && v.initialized && record.size() == working_record_size(v)) {
        if (listing_items_in_record(v, entry, record, out)) return true;
        out.clear();
    }
    mft_entries_ctx ctx(&v);
    ctx.listing_items_only = true;
    parsed_entry pe;
    // A record of one record size holds the bytes the entry load would read
    // again; any other is read anew.
    const bool loaded = record.size() == working_record_size(v) ? load_entry(pe, ctx, entry, record)
                                                                : load_entry(pe, ctx, entry) && !pe.raw.empty();
    if (!loaded) return false;
    flatten_entry(v, entry, pe, out, true);
    return true;
}
