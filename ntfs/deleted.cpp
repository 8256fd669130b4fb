#include "ntfs/deleted.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/names.hpp"
#include "storage/damage.hpp"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

// The fixed part of a $FILE_NAME value before the name.
constexpr uint32_t file_name_head = 66;

// The sequence number a record has after NTFS freed it once: one more,
// skipping 0 when it wraps.
uint16_t freed_seq(uint16_t seq) { return seq == 0xFFFF ? 1 : static_cast<uint16_t>(seq + 1); }

bool link_less(const deleted_link& a, const deleted_link& b) {
    return a.parent != b.parent ? a.parent < b.parent : a.entry < b.entry;
}

// The links of one record's resident $FILE_NAMEs, as record_deleted_links
// gives them, under `entry`.
void append_name_links(le::bytes rec, uint64_t entry, std::vector<deleted_link>& out) {
    const size_t first_link = out.size();
    uint64_t off = le::u16(rec, file_header::first_attribute);
    while (le::fits(rec, off, 8)) {
        const uint32_t type = le::u32(rec, off);
        const uint32_t len = le::u32(rec, off + attr_header::length);
        if (type == attr_end || len == 0 || !le::fits(rec, off, len)) break;
        const le::bytes a = le::sub(rec, off, len);
        if (type == attr_file_name && !le::u8(a, attr_header::non_resident)) {
            const le::bytes v = resident_value(a);
            const uint8_t units = le::u8(v, 64);
            if (units != 0 && v.size() >= file_name_head + 2u * units) {
                const uint64_t ref = le::u64(v, 0);
                const deleted_link link{ref & entry_number_mask, entry, static_cast<uint16_t>(ref >> 48)};
                const bool known = std::any_of(out.begin() + static_cast<std::ptrdiff_t>(first_link), out.end(),
                                               [&](const deleted_link& l) { return l.parent == link.parent; });
                if (!known) out.push_back(link);
            }
        }
        off += len;
    }
}

// A link found in an extension record no longer in use: it is its base
// record's, when that record turns out to be a deleted file too.
struct extension_link {
    deleted_link link;       // under the base record's entry number
    uint16_t base_seq = 0;   // the base record's sequence number it holds
};

// Feeds the bytes of the MFT's data to the records they make up, in order:
// `carry` holds the start of a record that the previous piece cut off.
struct record_feed {
    uint64_t stride = 0;
    uint64_t entry = 0;
    std::vector<uint8_t> carry;
    std::vector<uint8_t> scratch;
    std::vector<deleted_link>& links;
    std::vector<extension_link> extension_links{};
    std::vector<deleted_link> found{};

    void record(const uint8_t* bytes) {
        // Most records are in use: the flags word says so before any copy.
        const le::bytes raw(bytes, static_cast<size_t>(stride));
        if (le::has(raw, 0, "FILE") && !(le::u16(raw, file_header::flags) & record_in_use)) {
            scratch.assign(raw.begin(), raw.end());
            if (fixup_plain(scratch)) {
                const uint64_t base = le::u64(le::bytes(scratch), file_header::base_reference);
                if (base == 0) {
                    record_deleted_links(scratch, entry, links);
                } else if (valid_file_header(scratch)) {
                    // A file with many names keeps some of them, or all,
                    // in extension records its attribute list names.
                    found.clear();
                    append_name_links(scratch, base & entry_number_mask, found);
                    for (const deleted_link& l : found)
                        extension_links.push_back({l, static_cast<uint16_t>(base >> 48)});
                }
            }
        }
        ++entry;
    }

    void feed(const uint8_t* bytes, size_t n) {
        size_t pos = 0;
        if (!carry.empty()) {
            const size_t take = std::min<size_t>(n, static_cast<size_t>(stride - carry.size()));
            carry.insert(carry.end(), bytes, bytes + take);
            pos = take;
            if (carry.size() < stride) return;
            record(carry.data());
            carry.clear();
        }
        for (; n - pos >= stride; pos += static_cast<size_t>(stride)) record(bytes + pos);
        carry.assign(bytes + pos, bytes + n);
    }
};

deleted_record* record_of(deleted_map& m, uint64_t entry) {
    auto it = std::lower_bound(m.records.begin(), m.records.end(), entry,
                               [](const deleted_record& r, uint64_t e) { return r.entry < e; });
    return it != m.records.end() && it->entry == entry ? &*it : nullptr;
}

}  // namespace

uint64_t mft_entries_in_use(const ntfs_volume& v) {
    uint64_t n = v.entry_count > 0 ? static_cast<uint64_t>(v.entry_count) : 0;
    // The MFT's data size, when its record gives one, ends the entries it
    // has ever written; the clusters after it are only reserved.
    if (v.mft_info.data_size_set && v.record_stride > 0)
        n = std::min<uint64_t>(n, v.mft_info.data_size / static_cast<uint64_t>(v.record_stride));
    return n;
}

uint64_t orphan_folder_entry(const ntfs_volume& v) { return mft_entries_in_use(v); }

bool freed_record_matches(uint16_t record_seq, uint16_t ref_seq) {
    return record_seq == ref_seq || record_seq == freed_seq(ref_seq);
}

void record_deleted_links(le::bytes rec, uint64_t entry, std::vector<deleted_link>& out) {
    if (!valid_file_header(rec) || (le::u16(rec, file_header::flags) & record_in_use)) return;
    if (le::u64(rec, file_header::base_reference) != 0) return;
    append_name_links(rec, entry, out);
}

namespace {

// The records of MFT bytes [from, to) that the pass could not read (past
// the end of a cut image, a read error, a piece of the MFT no run maps):
// deleted entries among them are missing from the listing, which says so.
void report_unread_records(uint64_t from, uint64_t to, uint64_t stride) {
    if (to <= from) return;
    const uint64_t first = from / stride, last = (to - 1) / stride;
    report_listing_gap(first == last ? "MFT entry " + std::to_string(first) + ": its record could not be read, a deleted entry there is not listed"
                                     : "MFT entries " + std::to_string(first) + " to " + std::to_string(last) +
                                           ": their records could not be read, deleted entries among them are not listed");
}

}  // namespace

bool build_deleted_map(ntfs_volume& v, deleted_map& out) {
    out = deleted_map{};
    if (!v.initialized || v.record_stride <= 0 || v.bytes_per_cluster == 0 || v.entry_count <= 0) return false;
    const std::vector<run>& runs = v.mft_info.data_runs;
    if (runs.empty() || runs.front().resident) return true;
    const uint64_t c = v.bytes_per_cluster;
    const uint64_t stride = static_cast<uint64_t>(v.record_stride);
    // However long the runs say the MFT is, it cannot be longer than the
    // source holds: runs that map the same clusters again and again would
    // otherwise make a few megabytes read as millions of records.
    const uint64_t source_bytes = v.source ? total_size(*v.source) : 0;
    const uint64_t entries = mft_entries_in_use(v);
    uint64_t budget = entries > UINT64_MAX / stride ? UINT64_MAX : entries * stride;
    budget = std::min(budget, source_bytes);

    const uint64_t piece_clusters = std::max<uint64_t>(1, mft_pass_chunk_bytes / c);
    std::vector<uint8_t> piece(static_cast<size_t>(piece_clusters * c));
    record_feed feed{stride, 0, {}, {}, out.links};
    uint64_t scanned = 0;
    uint64_t unread_from = 0, unread_to = 0;  // the stretch of MFT bytes not read, reported when it ends
    const auto unread = [&](uint64_t from, uint64_t to) {
        if (from != unread_to) {
            report_unread_records(unread_from, unread_to, stride);
            unread_from = from;
        }
        unread_to = to;
    };
    for (const run& r : runs) {
        for (uint64_t done = 0; done < r.length && scanned < budget;) {
            const uint64_t n = std::min<uint64_t>(piece_clusters, r.length - done);
            const uint64_t bytes = std::min<uint64_t>(n * c, budget - scanned);
            uint32_t got = static_cast<uint32_t>(bytes);
            const bool sparse = r.lcn < 0;
            const uint64_t lcn = sparse ? 0 : static_cast<uint64_t>(r.lcn) + done;
            if (sparse || lcn > UINT64_MAX / c || !read_volume_bytes(v, lcn * c, piece.data(), got)) got = 0;
            // What cannot be read counts as zeros: its records are skipped
            // and the entry numbers after it stay right.
            std::memset(piece.data() + got, 0, static_cast<size_t>(bytes - got));
            if (got < bytes) unread(scanned + got, scanned + bytes);
            feed.feed(piece.data(), static_cast<size_t>(bytes));
            done += n;
            scanned += bytes;
        }
        if (scanned >= budget) break;
    }
    // Records past what the source holds are not looked at.
    if (entries <= UINT64_MAX / stride && scanned < entries * stride) unread(scanned, entries * stride);
    report_unread_records(unread_from, unread_to, stride);
    // The names of extension records count for a base record that is a
    // deleted file itself, and the same file: its sequence number the one
    // the extension records hold, or one more.
    std::vector<uint8_t> base;
    uint64_t checked = ~uint64_t(0);
    uint16_t checked_seq = 0;
    bool base_deleted = false;
    for (const extension_link& x : feed.extension_links) {
        if (x.link.entry != checked || x.base_seq != checked_seq) {
            checked = x.link.entry;
            checked_seq = x.base_seq;
            base_deleted = x.link.entry < entries && read_file_record(v, x.link.entry, base) &&
                           valid_file_header(base) && le::u64(le::bytes(base), file_header::base_reference) == 0 &&
                           !(le::u16(base, file_header::flags) & record_in_use) &&
                           freed_record_matches(le::u16(base, file_header::sequence), x.base_seq);
        }
        if (base_deleted) out.links.push_back(x.link);
    }
    std::sort(out.links.begin(), out.links.end(), link_less);
    // One link per record and parent, whichever of its records held it.
    out.links.erase(std::unique(out.links.begin(), out.links.end(),
                                [](const deleted_link& a, const deleted_link& b) {
                                    return a.parent == b.parent && a.entry == b.entry;
                                }),
                    out.links.end());
    return true;
}

const parent_state& parent_of(ntfs_volume& v, deleted_map& m, uint64_t parent) {
    auto it = m.parents.find(parent);
    if (it != m.parents.end()) return it->second;
    parent_state s;
    std::vector<uint8_t> rec;
    if (v.entry_count > 0 && parent < static_cast<uint64_t>(v.entry_count) && read_file_record(v, parent, rec) &&
        valid_file_header(rec) && le::u64(rec, file_header::base_reference) == 0) {
        const uint16_t flags = le::u16(rec, file_header::flags);
        s.valid = true;
        s.in_use = (flags & record_in_use) != 0;
        s.directory = (flags & record_is_directory) != 0;
        s.seq = le::u16(rec, file_header::sequence);
    }
    return m.parents.emplace(parent, s).first->second;
}

bool link_holds(ntfs_volume& v, deleted_map& m, const deleted_link& link) {
    const parent_state& p = parent_of(v, m, link.parent);
    if (!p.valid || !p.directory) return false;
    if (p.in_use) return p.seq == link.parent_seq;
    return freed_record_matches(p.seq, link.parent_seq);
}

void classify_deleted(ntfs_volume& v, deleted_map& m) {
    if (m.classified) return;
    m.classified = true;
    m.records.clear();
    m.orphans.clear();
    // Each record's home: a folder in use that holds it if there is one,
    // else the first deleted folder that does.
    std::vector<deleted_record>& recs = m.records;
    for (const deleted_link& l : m.links) recs.push_back({l.entry, l.parent, false, false, deleted_place::unknown});
    std::stable_sort(recs.begin(), recs.end(),
                     [](const deleted_record& a, const deleted_record& b) { return a.entry < b.entry; });
    recs.erase(std::unique(recs.begin(), recs.end(),
                           [](const deleted_record& a, const deleted_record& b) { return a.entry == b.entry; }),
               recs.end());
    for (const deleted_link& l : m.links) {
        if (!link_holds(v, m, l)) continue;
        deleted_record* r = record_of(m, l.entry);
        const bool in_use = parent_of(v, m, l.parent).in_use;
        if (!r->has_home || (in_use && !r->home_in_use)) {
            r->parent = l.parent;
            r->has_home = true;
            r->home_in_use = in_use;
        }
    }

    // Follow each chain of homes up to a folder in use, a record already
    // placed, a record without a home, or back into itself.
    std::vector<deleted_record*> path;
    std::set<uint64_t> on_path;
    for (deleted_record& start : recs) {
        if (start.place != deleted_place::unknown) continue;
        path.clear();
        on_path.clear();
        deleted_record* cur = &start;
        deleted_place above = deleted_place::unknown;  // what the chain reaches
        while (true) {
            path.push_back(cur);
            on_path.insert(cur->entry);
            if (!cur->has_home) {
                cur->place = deleted_place::orphan;
                above = deleted_place::orphan_tree;
                break;
            }
            if (cur->home_in_use) {
                cur->place = above = deleted_place::reached;
                break;
            }
            deleted_record* home = record_of(m, cur->parent);
            // A deleted folder that left no name of its own, a chain that
            // closes on itself, or one too long to be real: the record
            // whose home it is heads an orphan tree.
            if (!home || on_path.count(home->entry) || path.size() >= max_deleted_chain) {
                cur->place = deleted_place::orphan;
                above = deleted_place::orphan_tree;
                break;
            }
            if (home->place != deleted_place::unknown) {
                above = home->place == deleted_place::reached ? deleted_place::reached : deleted_place::orphan_tree;
                break;
            }
            cur = home;
        }
        for (deleted_record* r : path)
            if (r->place == deleted_place::unknown) r->place = above;
    }
    for (const deleted_record& r : recs)
        if (r.place == deleted_place::orphan) m.orphans.push_back(r.entry);
}

std::vector<uint64_t> deleted_children(ntfs_volume& v, deleted_map& m, uint64_t folder) {
    std::vector<uint64_t> out;
    auto it = std::lower_bound(m.links.begin(), m.links.end(), deleted_link{folder, 0, 0}, link_less);
    if (it == m.links.end() || it->parent != folder) return out;
    classify_deleted(v, m);
    for (; it != m.links.end() && it->parent == folder; ++it) {
        const deleted_record* r = record_of(m, it->entry);
        if (r && r->place != deleted_place::orphan && link_holds(v, m, *it)) out.push_back(it->entry);
    }
    return out;
}

bool deleted_entry_place(ntfs_volume& v, deleted_map& m, uint64_t entry, uint64_t& folder,
                         std::vector<std::u16string>& names) {
    classify_deleted(v, m);
    names.clear();
    const deleted_record* r = record_of(m, entry);
    if (!r) return false;
    std::vector<uint8_t> rec;
    for (size_t steps = 0; r && steps < max_deleted_chain; ++steps) {
        entry_name_map in_parent;
        if (read_file_record(v, r->entry, rec)) collect_entry_names(v, r->entry, rec, true, r->parent, in_parent);
        names.emplace_back(listed_name(in_parent));
        if (r->place == deleted_place::orphan) {
            folder = orphan_folder_entry(v);
            break;
        }
        folder = r->parent;
        if (parent_of(v, m, r->parent).in_use) break;
        r = record_of(m, r->parent);
    }
    std::reverse(names.begin(), names.end());
    return true;
}
