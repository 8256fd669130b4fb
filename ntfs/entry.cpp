#include "ntfs/entry.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/attributes.hpp"
#include "ntfs/file_record.hpp"
#include "storage/damage.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

mft_entries_ctx::mft_entries_ctx(ntfs_volume* v) {
    if (v && v->source && v->initialized) {
        volume = v;
        record_size = working_record_size(*v);
        sector_size = v->bytes_per_sector;
    }
    diag_enabled = 0;
}

mft_entries_ctx::~mft_entries_ctx() = default;

void mft_entries_ctx::diag(const char* format, ...) {
    if (!diag_enabled || !diag_stream || !format) return;
    std::vector<char> buf(std::strlen(format) + 256 + 1);
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf.data(), buf.size(), format, ap);
    va_end(ap);
    *diag_stream << "->" << buf.data() << '\n';
    diag_stream->flush();
}

bool mft_entries_ctx::read_entry_record(uint64_t entry, std::vector<uint8_t>& out, bool& bad) {
    bad = false;
    if (!volume) return false;
    if (!record_size_taken) {
        record_size = working_record_size(*volume);
        record_size_taken = true;
    }
    out.assign(record_size, 0);
    // Read as the volume reads every record: a record that a run of the MFT
    // ends inside goes on where the next run puts it.
    if (!read_record_bytes(*volume, entry, out.data(), record_size)) return false;
    if (!fixup_entry(out, bad)) return false;
    if (bad) diag("err: fixup_mft type: BAAD");
    return true;
}

bool attribute_list_bytes(ntfs_volume& v, le::bytes a, std::vector<uint8_t>& out, bool* cut) {
    out.clear();
    if (cut) *cut = false;
    if (!le::u8(a, attr_header::non_resident)) {
        const le::bytes val = resident_value(a);
        if (le::u16(a, attr_header::value_offset) == 0 || val.empty()) return false;
        out.assign(val.begin(), val.end());
        return true;
    }
    std::vector<run> runs;
    if (!decode_runlist(a, runs)) return false;
    const std::vector<extent> ext = runs_to_extents(runs);
    const uint64_t c = v.bytes_per_cluster;
    if (c == 0) return false;
    // The list is as long as its data size: the rest of its last cluster is
    // slack, which may still hold entries of a longer list it once was.
    const uint64_t size = std::min({total_clusters(ext, false) * c, le::u64(a, attr_header::real_size),
                                    max_attribute_list_bytes});
    // Zeroed first: clusters that cannot be read leave zeros, which end the
    // walk of the list, never stale memory.
    out.assign(static_cast<size_t>(size), 0);
    // A cluster the list ends inside (or a cluster larger than the whole
    // list) is read whole here and only its start is kept.
    std::vector<uint8_t> cluster;
    uint64_t pos = 0;
    for (const extent& e : ext) {
        for (uint32_t i = 0; i < e.length && pos < size; ++i) {
            const uint64_t take = std::min(c, size - pos);
            // Sparse clusters hold no data on disk; they read as zeros.
            if (!e.sparse) {
                uint32_t len = static_cast<uint32_t>(c);
                if (take < c) cluster.resize(static_cast<size_t>(c));
                uint8_t* to = take < c ? cluster.data() : out.data() + pos;
                if (!read_clusters(v, e.lcn + i, to, len)) {
                    if (cut) *cut = true;
                    return true;
                }
                if (take < c) std::memcpy(out.data() + pos, cluster.data(), static_cast<size_t>(take));
            }
            pos += take;
        }
    }
    return true;
}

namespace {

// The number of extension record `r` among the entry's extension records,
// from 1 in the order the lists name them: attribute ids are numbered
// afresh in every record, so attributes are told apart by it too.
uint16_t extension_ordinal(parsed_entry& pe, uint64_t r) {
    const auto at = pe.extension_records.find(r);
    if (at != pe.extension_records.end()) return at->second;
    // Past the last number, records share it (lists are far shorter).
    if (pe.extension_records.size() >= max_extension_ordinal) return max_extension_ordinal;
    const uint16_t number = static_cast<uint16_t>(pe.extension_records.size() + 1);
    pe.extension_records.emplace(r, number);
    return number;
}

}  // namespace

void walk_list_entries(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes list) {
    int64_t remaining = static_cast<int64_t>(list.size());
    uint64_t pos = 0;
    std::vector<uint8_t> rec;
    while (remaining > 0 && le::fits(list, pos, 26)) {
        const uint16_t len = le::u16(list, pos + 4);
        if (len == 0) break;
        const uint32_t type = le::u32(list, pos);
        const uint64_t r = le::u64(list, pos + 16) & entry_number_mask;
        const uint16_t id = le::u16(list, pos + 24);
        if (r != entry) {
            ctx.diag("primary entry %llu pointing to ref entry %llu", static_cast<unsigned long long>(entry),
                     static_cast<unsigned long long>(r));
            bool bad = false;
            const bool read = ctx.read_entry_record(r, rec, bad);
            if (!read && ctx.volume && !record_start_readable(*ctx.volume, r))
                report_listing_gap("MFT entry " + std::to_string(entry) + ": its extension record " + std::to_string(r) +
                                   " could not be read, the attributes it holds are not listed");
            if (read && extends_entry(rec, entry)) {
                const le::bytes rb(rec);
                uint64_t off = le::u16(rb, file_header::first_attribute);
                int64_t left = static_cast<int64_t>(ctx.record_size);
                bool first = true;
                while (le::fits(rb, off, 8)) {
                    const uint32_t atype = le::u32(rb, off);
                    const uint32_t alen = le::u32(rb, off + attr_header::length);
                    if (atype == attr_end || alen == 0) break;
                    if (first && alen >= ctx.record_size) break;
                    first = false;
                    if (atype == type && le::u16(rb, off + attr_header::id) == id) {
                        bool is_list = false;
                        pe.source = extension_ordinal(pe, r);
                        parse_attribute(pe, ctx, entry, rb, off, is_list);
                        pe.source = 0;
                        break;
                    }
                    off += alen;
                    left -= alen;
                    if (left <= 0) break;
                }
            }
        }
        remaining -= len;
        if (remaining < 0) break;
        pos += len;
    }
}

void load_attribute_list(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes list_attribute) {
    if (!ctx.volume) return;
    std::vector<uint8_t> bytes;
    bool cut = false;
    const bool read = attribute_list_bytes(*ctx.volume, list_attribute, bytes, &cut);
    if (cut)
        report_listing_gap("MFT entry " + std::to_string(entry) +
                           ": its attribute list could not be read whole, the attributes it names past there are not listed");
    if (!read || bytes.empty()) return;
    walk_list_entries(pe, ctx, entry, bytes);
}

namespace {

// Sorts the attributes of the entry's record `r`.
bool parse_entry_record(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes r) {
    pe.entry = entry;
    pe.sequence = le::u16(r, file_header::sequence);
    std::memcpy(pe.header.data(), r.data(), std::min(r.size(), pe.header.size()));
    pe.base_ref = le::u64(r, file_header::base_reference);
    pe.is_extension = pe.base_ref != 0;

    const uint16_t first = le::u16(r, file_header::first_attribute);
    if (first == 0) return true;
    std::vector<std::vector<uint8_t>> lists;
    uint64_t off = first;
    while (le::fits(r, off, 8)) {
        const uint32_t type = le::u32(r, off);
        const uint32_t len = le::u32(r, off + attr_header::length);
        if (type == attr_end || len == 0 || len > ctx.record_size) break;
        bool is_list = false;
        if (!parse_attribute(pe, ctx, entry, r, off, is_list)) break;
        if (is_list) {
            const le::bytes a = le::sub(r, off, len);
            lists.emplace_back(a.begin(), a.end());
        }
        off += len;
    }
    for (const auto& l : lists) load_attribute_list(pe, ctx, entry, l);
    return true;
}

}  // namespace

bool load_entry(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry) {
    pe = parsed_entry{};
    if (!ctx.volume) return false;
    std::vector<uint8_t> rec;
    bool bad = false;
    if (!ctx.read_entry_record(entry, rec, bad) || rec.empty()) {
        ctx.diag("err: mftfixup %llx", static_cast<unsigned long long>(entry));
        return false;
    }
    if (bad) {
        ctx.diag("err: recd bad %llx", static_cast<unsigned long long>(entry));
        return false;
    }
    pe.raw = std::move(rec);
    return parse_entry_record(pe, ctx, entry, pe.raw);
}

bool load_entry(parsed_entry& pe, mft_entries_ctx& ctx, uint64_t entry, le::bytes record) {
    pe = parsed_entry{};
    if (!ctx.volume || record.empty()) return false;
    return parse_entry_record(pe, ctx, entry, record);
}
