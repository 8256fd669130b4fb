#include "ntfs/volume.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/boot_sector.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/record_window.hpp"
#include "storage/damage.hpp"

#include <algorithm>
#include <cstring>
#include <new>

ntfs_volume::ntfs_volume() = default;
// What the cache borrowed from the source goes back while the source is open.
ntfs_volume::~ntfs_volume() { clear(cache); }

uint32_t working_record_size(const ntfs_volume& v) { return v.record_size ? v.record_size : 1024; }

bool read_volume_bytes(ntfs_volume& v, uint64_t position, uint8_t* buffer, uint32_t& length) {
    if (!v.source || position > static_cast<uint64_t>(INT64_MAX)) return false;
    const int64_t relative = static_cast<int64_t>(position);
    if (v.volume_offset < 0 || relative > INT64_MAX - v.volume_offset) return false;
    return cached_read(v.cache, *v.source, buffer, length, relative + v.volume_offset) && length > 0;
}

bool reads_stretches(const ntfs_volume& v) {
    return v.source && v.volume_offset >= 0 &&
           (v.source->kind == SourceKind::Image || v.source->kind == SourceKind::Memory);
}

bool read_volume_stretch(ntfs_volume& v, uint64_t position, uint8_t* buffer, uint64_t length) {
    if (!reads_stretches(v) || length == 0 || length > UINT32_MAX) return false;
    const uint64_t limit = static_cast<uint64_t>(INT64_MAX - v.volume_offset);
    if (length > limit || position > limit - length) return false;
    uint32_t got = static_cast<uint32_t>(length);
    return read(*v.source, buffer, got, static_cast<int64_t>(position) + v.volume_offset) && got == length;
}

// Record length for an entry: record 0 uses the record size; the others the
// stride between entries, which record 0's header gives.
static uint32_t entry_length(const ntfs_volume& v, uint64_t entry) {
    if (entry == 0 || v.record_stride <= 0) return v.record_size;
    return static_cast<uint32_t>(v.record_stride);
}

namespace {

// Where byte `p` of the MFT lies relative to the volume, and how many bytes
// from there on its run still holds; false when no run holds it.
bool place_mft_byte(const ntfs_volume& v, uint64_t p, uint64_t& position, uint64_t& run_bytes_left) {
    const uint64_t c = v.bytes_per_cluster;
    const uint64_t vcn = p / c, r = p % c;
    uint64_t passed = 0;
    for (const run& rn : v.mft_info.data_runs) {
        if (vcn < passed + rn.length) {
            if (rn.lcn < 0) return false;
            const uint64_t lcn = static_cast<uint64_t>(rn.lcn) + (vcn - passed);
            if (lcn > (UINT64_MAX - r) / c) return false;
            position = r + c * lcn;
            run_bytes_left = (passed + rn.length - vcn) * c - r;
            return true;
        }
        passed += rn.length;
    }
    return false;
}

// Where entry `entry` (not 0) lies relative to the volume, and how many
// bytes from there on its MFT run still holds; false when it cannot be
// mapped.
bool place_entry(const ntfs_volume& v, uint64_t entry, uint64_t& position, uint64_t& run_bytes_left) {
    if (!v.initialized || v.bytes_per_cluster == 0 || v.record_stride <= 0) return false;
    const uint64_t stride = static_cast<uint64_t>(v.record_stride);
    if (entry > UINT64_MAX / stride) return false;
    return place_mft_byte(v, entry * stride, position, run_bytes_left);
}

// Where entry `entry`'s record starts, as entry_offset gives it, and how
// many bytes from there on its MFT run holds: 0 for entry 0, read from the
// boot sector's position, and for an entry no run maps (read at 0, where
// the record header check refuses the boot sector).
struct record_place {
    uint64_t position = 0;
    uint64_t run_bytes_left = 0;
};

record_place place_record(const ntfs_volume& v, uint64_t entry) {
    record_place r;
    if (entry == 0) {
        r.position = v.mft_offset;
    } else if (!place_entry(v, entry, r.position, r.run_bytes_left)) {
        r = {};
    }
    return r;
}

}  // namespace

uint64_t entry_offset(const ntfs_volume& v, uint64_t entry, uint32_t* length) {
    if (length) *length = entry_length(v, entry);
    return place_record(v, entry).position;
}

uint64_t entries_back_to_back(const ntfs_volume& v, uint64_t entry) {
    uint64_t position = 0, left = 0;
    if (entry == 0 || !place_entry(v, entry, position, left) || position == 0) return 0;
    return left / static_cast<uint64_t>(v.record_stride);
}

// Only containers do anything with read-ahead hints; raw sources skip the work.
bool takes_hints(const ntfs_volume& v) { return v.source && v.source->container && v.volume_offset >= 0; }

namespace {

void hint(ntfs_volume& v, uint64_t relative, std::vector<uint64_t>& offsets) {
    if (relative <= UINT64_MAX - static_cast<uint64_t>(v.volume_offset))
        offsets.push_back(relative + static_cast<uint64_t>(v.volume_offset));
}

}  // namespace

void prefetch_records(ntfs_volume& v, const child_entry_set& entries) {
    if (!takes_hints(v)) return;
    std::vector<uint64_t> offsets;
    offsets.reserve(entries.size());
    for (const auto& [entry, flag] : entries) {
        // A kept record is taken as it is, without a read: decoding it
        // ahead would only push out of the cache what is read.
        if (v.kept_records.count(entry)) continue;
        const uint64_t pos = entry_offset(v, entry);
        if (pos != 0) hint(v, pos, offsets);
    }
    prefetch(*v.source, offsets);
}

void prefetch_runs(ntfs_volume& v, const std::vector<extent>& runs, uint64_t max_bytes) {
    if (!takes_hints(v) || v.bytes_per_cluster == 0) return;
    // One offset per 4 KiB is enough for any container to see every piece.
    constexpr uint64_t step = 4096;
    const uint64_t c = v.bytes_per_cluster;
    std::vector<uint64_t> offsets;
    for (const extent& e : runs) {
        if (e.sparse || e.lcn > UINT64_MAX / c) continue;
        const uint64_t bytes = uint64_t(e.length) * c;
        for (uint64_t at = 0; at < bytes && offsets.size() * step < max_bytes; at += step)
            if (e.lcn * c <= UINT64_MAX - at) hint(v, e.lcn * c + at, offsets);
    }
    prefetch(*v.source, offsets);
}

namespace {

// A record of which only the first `read` bytes could be read (the image
// ends inside it, or a read failed there), the rest zeros: when the record
// says it uses bytes past that point, what they held is missing from the
// listing, and a line says so. A cut past the bytes in use loses nothing.
void report_cut_record(uint64_t entry, std::span<const uint8_t> record, uint32_t read, bool read_failed) {
    if (!le::has(record, 0, "FILE") || !le::fits(record, file_header::bytes_in_use, 4)) return;
    const uint32_t in_use =
        static_cast<uint32_t>(std::min<uint64_t>(le::u32(record, file_header::bytes_in_use), record.size()));
    if (read >= in_use) return;
    report_listing_gap("MFT entry " + std::to_string(entry) + ": its record " +
                       (read_failed ? "could not be read" : "is cut short by the end of the image") + " after byte " +
                       std::to_string(read) + " of the " + std::to_string(in_use) +
                       " it uses, what it holds past there is not listed");
}

// Reads the `want` bytes of entry `entry`'s record, placed at `place`,
// into `buffer`. Where clusters are smaller than a record,
// a run of the MFT may end inside it: the rest is read from where the next
// run puts it, not from the clusters after the run. A record whose rest no
// run holds (a cut runlist) goes on in the clusters after, as a single
// read would. A read cut short by the end of the source leaves zeros,
// which the signature check refuses or the walks stop at. False when the
// record's first bytes cannot be read.
bool read_entry_bytes(ntfs_volume& v, uint64_t entry, const record_place& place, uint32_t want, uint8_t* buffer) {
    uint64_t at = place.position, in_run = want;
    uint64_t p = 0, left = 0;
    const bool mapped = place.run_bytes_left != 0;
    if (mapped) in_run = place.run_bytes_left;
    for (uint32_t done = 0; done < want;) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(want - done, std::max<uint64_t>(in_run, 1)));
        uint32_t got = piece;
        const bool read_failed = !read_volume_bytes(v, at, buffer + done, got);
        if (read_failed) {
            if (done == 0) return false;
            got = 0;
        }
        if (got < piece) {
            std::memset(buffer + done + got, 0, want - done - got);
            report_cut_record(entry, std::span<const uint8_t>(buffer, want), done + got, read_failed);
            break;
        }
        done += piece;
        // `at` + `piece` cannot wrap: the read of it succeeded. Nor can the
        // MFT byte: it lies within the runs, as the entry's first did.
        if (mapped && done < want &&
            place_mft_byte(v, entry * static_cast<uint64_t>(v.record_stride) + done, p, left)) {
            at = p;
            in_run = left;
        } else {
            at += piece;
            in_run = want - done;
        }
    }
    return true;
}

// read_entry_bytes, then the record's fixups.
bool read_record_at(ntfs_volume& v, uint64_t entry, const record_place& place, uint32_t want,
                    std::span<uint8_t> buffer) {
    if (want == 0 || buffer.size() < want) return false;
    if (!read_entry_bytes(v, entry, place, want, buffer.data())) return false;
    return fixup_plain(buffer.first(want));
}

}  // namespace

bool read_record_bytes(ntfs_volume& v, uint64_t entry, uint8_t* buffer, uint32_t length) {
    return length != 0 && buffer && read_entry_bytes(v, entry, place_record(v, entry), length, buffer);
}

bool record_start_readable(ntfs_volume& v, uint64_t entry) {
    uint8_t head[8];
    return read_record_bytes(v, entry, head, sizeof head);
}

bool read_file_record(ntfs_volume& v, uint64_t entry, std::span<uint8_t> buffer, uint32_t& length) {
    const uint32_t want = entry_length(v, entry);
    if (!read_record_at(v, entry, place_record(v, entry), want, buffer)) return false;
    length = want;
    return true;
}

bool read_file_record(ntfs_volume& v, uint64_t entry, std::vector<uint8_t>& out, uint64_t* position) {
    const uint32_t want = entry_length(v, entry);
    const record_place place = place_record(v, entry);
    if (position) *position = place.position;
    if (want == 0 || want > max_record_size) {
        out.clear();
        return false;
    }
    // Every byte is written by the read or zeroed after a short one, so a
    // buffer kept from the last record is not cleared first.
    out.resize(want);
    if (!read_record_at(v, entry, place, want, std::span<uint8_t>(out))) {
        out.clear();
        return false;
    }
    return true;
}

void keep_record(ntfs_volume& v, uint64_t entry, std::span<const uint8_t> record) {
    if (record.size() > max_kept_record_bytes - std::min(v.kept_record_bytes, max_kept_record_bytes)) return;
    try {
        if (v.kept_records.try_emplace(entry, record.begin(), record.end()).second) v.kept_record_bytes += record.size();
    } catch (const std::bad_alloc&) {
        // Not kept: the record is read again when it is next wanted.
    }
}

bool take_kept_record(ntfs_volume& v, uint64_t entry, std::vector<uint8_t>& out) {
    const auto it = v.kept_records.find(entry);
    if (it == v.kept_records.end()) return false;
    out.swap(it->second);
    v.kept_record_bytes -= std::min(v.kept_record_bytes, out.size());
    v.kept_records.erase(it);
    return true;
}

void drop_kept_records(ntfs_volume& v) {
    v.kept_records.clear();
    v.kept_record_bytes = 0;
}

bool read_record_checked(ntfs_volume& v, uint64_t entry, std::vector<uint8_t>& out, int& kind) {
    kind = kind_none;
    const uint32_t size = working_record_size(v);
    out.assign(size, 0);
    if (!read_entry_bytes(v, entry, place_record(v, entry), size, out.data())) return false;
    kind = fixup_checked(out);
    return kind != kind_none;
}

bool read_clusters(ntfs_volume& v, uint64_t lcn, uint8_t* buffer, uint32_t& length) {
    if (!v.initialized || v.bytes_per_cluster == 0 || length == 0 || length % v.bytes_per_cluster != 0) return false;
    if (lcn > UINT64_MAX / v.bytes_per_cluster) return false;
    return read_volume_bytes(v, lcn * v.bytes_per_cluster, buffer, length);
}

// Follows the MFT's own attribute list: every entry naming another record
// contributes the runs of the matching $DATA piece in that record.
static bool follow_mft_attribute_list(ntfs_volume& v, le::bytes list) {
    // Each list entry has a fixed 26-byte head.
    constexpr size_t list_entry_head = 26;
    size_t pos = 0;
    int64_t remaining = static_cast<int64_t>(list.size());
    std::vector<uint8_t> ext;
    while (remaining >= static_cast<int64_t>(list_entry_head)) {
        const uint16_t len = le::u16(list, pos + 4);
        if (len == 0) break;
        const uint32_t type = le::u32(list, pos);
        const uint64_t ref = le::u64(list, pos + 16);
        const uint16_t id = le::u16(list, pos + 24);
        const uint64_t rec = ref & entry_number_mask;
        if (rec != 0) {
            int kind = kind_none;
            if (read_record_checked(v, rec, ext, kind) && le::has(ext, 0, "FILE") &&
                le::u16(ext, file_header::sequence) == static_cast<uint16_t>(ref >> 48)) {
                const le::bytes r(ext);
                uint64_t off = le::u16(r, file_header::first_attribute);
                // Find the attribute of the same type and id and take its runs.
                for (int guard = 0; guard < 1024; ++guard) {
                    const le::bytes a = attribute_at(r, off);
                    if (a.empty() || le::u32(a, 0) == attr_end) break;
                    if (le::u32(a, 0) == type && le::u16(a, attr_header::id) == id) {
                        walk_volume_attributes(v, r, off, static_cast<int64_t>(r.size() - off), v.mft_info, false, true);
                        break;
                    }
                    off += a.size();
                }
            }
        }
        pos += len;
        remaining -= len;
    }
    return true;
}

// A piece of the MFT's $DATA in an extension record starts at its own
// first VCN. When the runs gathered so far end before it (a piece that
// could not be read, a runlist cut short in record 0), the clusters between
// are left unmapped, so that every entry after them keeps its place rather
// than moving down onto the records of later entries. Only a gap inside the
// MFT's data size, which one run can stand for, is left so; any other piece
// is appended where the runs end.
static void leave_gap_before_piece(mft_walk_result& result, uint64_t first_vcn, uint32_t bytes_per_cluster) {
    uint64_t mapped = 0;
    for (const run& r : result.data_runs) {
        if (r.resident) return;
        mapped += r.length;
    }
    if (result.data_runs.empty() || first_vcn <= mapped || bytes_per_cluster == 0 || !result.data_size_set) return;
    const uint64_t data_clusters = result.data_size / bytes_per_cluster + 1;
    if (first_vcn > data_clusters || first_vcn - mapped > UINT32_MAX) return;
    run gap;
    gap.lcn = -1;
    gap.length = static_cast<uint32_t>(first_vcn - mapped);
    gap.attr_type = attr_data;
    result.data_runs.push_back(std::move(gap));
}

bool walk_volume_attributes(ntfs_volume& v, le::bytes rec, size_t start, int64_t remaining, mft_walk_result& result,
                            bool reset, bool first_only) {
    if (reset) result = mft_walk_result{};
    const uint32_t stride_limit = v.record_stride > 0 ? static_cast<uint32_t>(v.record_stride) : working_record_size(v);
    uint64_t off = start;
    while (remaining > 0) {
        if (!le::fits(rec, off, 8)) break;
        const uint32_t type = le::u32(rec, off);
        if (type == attr_end) break;
        const uint32_t len = le::u32(rec, off + attr_header::length);
        if (len == 0 || len > stride_limit || len > remaining || !le::fits(rec, off, len)) break;
        const le::bytes a = le::sub(rec, off, len);
        if (type == attr_attribute_list) {
            result.attribute_list.assign(a.begin(), a.end());
        } else if (type == attr_data) {
            if (le::u8(a, attr_header::non_resident)) {
                const uint16_t rl = le::u16(a, attr_header::runlist_offset);
                const bool skip = le::u64(a, attr_header::initialized_size) == 0 && rl >= len;
                if (!skip) {
                    const size_t runs_before = result.data_runs.size();
                    if (!reset) leave_gap_before_piece(result, le::u64(a, attr_header::first_vcn), v.bytes_per_cluster);
                    // A base record's runs replace what was there; an
                    // extension record's pieces are appended.
                    if (!decode_mft_runs(le::sub(a, rl, len - std::min<uint32_t>(rl, len)), result.data_runs, type, reset)) {
                        if (!reset) result.data_runs.resize(runs_before);
                        return false;
                    }
                    if (!result.data_size_set) {
                        result.data_size = le::u64(a, attr_header::real_size);
                        result.data_size_set = true;
                    }
                }
            } else {
                const le::bytes value = resident_value(a);
                if (!value.empty()) {
                    run r;
                    r.resident = 1;
                    r.resident_bytes.assign(value.begin(), value.end());
                    r.resident_length = static_cast<uint32_t>(value.size());
                    r.attr_type = type;
                    result.data_runs.push_back(std::move(r));
                    if (!result.data_size_set) {
                        result.data_size = value.size();
                        result.data_size_set = true;
                    }
                }
            }
        }
        if (first_only) break;
        off += len;
        remaining -= len;
    }
    return true;
}

// Follows a non-resident or resident attribute list of record 0.
static bool walk_mft_list(ntfs_volume& v) {
    const le::bytes a(v.mft_info.attribute_list);
    if (a.empty()) return true;
    if (!le::u8(a, attr_header::non_resident)) return follow_mft_attribute_list(v, resident_value(a));
    if (le::u64(a, attr_header::initialized_size) == 0) return true;
    std::vector<run> runs;
    if (!decode_runlist(a, runs)) return false;
    const std::vector<extent> ext = runs_to_extents(runs);
    // The MFT's list is at most a few records long; a list claiming more
    // than this is damage and is not followed past it.
    constexpr uint64_t max_mft_list_bytes = 1024 * 1024;
    const uint64_t bytes = std::min<uint64_t>(total_clusters(ext, false) * v.bytes_per_cluster, max_mft_list_bytes);
    if (bytes == 0) return true;
    std::vector<uint8_t> buf(static_cast<size_t>(bytes), 0);
    uint32_t length = static_cast<uint32_t>(bytes), flags = 0;
    if (!read_range(v, ext, 0, buf.data(), length, flags)) return false;
    const uint64_t real = std::min<uint64_t>(le::u64(a, attr_header::real_size), length);
    return follow_mft_attribute_list(v, le::bytes(buf.data(), static_cast<size_t>(real ? real : length)));
}

// Reads record 0 at `mft_offset`, enlarged when its own fixup array says
// records are longer, and walks its attributes for the MFT's own runs (and
// the pieces its attribute list names); false when the record fails its
// checks or its runs cannot be walked.
bool load_record0(ntfs_volume& v) {
    if (!read_file_record(v, 0, v.record0) || !valid_file_header(v.record0)) return false;
    const uint32_t implied = (uint32_t(le::u16(v.record0, file_header::usa_count)) - 1) * fixup_stride;
    if (le::u16(v.record0, file_header::usa_count) > 1 && implied > v.record_size) {
        v.record_size = implied;
        if (!read_file_record(v, 0, v.record0) || !valid_file_header(v.record0)) return false;
    }

    // The distance between entries. A zero or implausible value falls back
    // to the record size, so entry arithmetic never divides by zero.
    const uint32_t allocated = le::u32(v.record0, file_header::bytes_allocated);
    v.record_stride = (allocated >= min_record_size && allocated <= max_record_size) ? static_cast<int32_t>(allocated)
                                                                                    : static_cast<int32_t>(v.record_size);

    const le::bytes r0(v.record0);
    const uint16_t first = le::u16(r0, file_header::first_attribute);
    if (!walk_volume_attributes(v, r0, first, static_cast<int64_t>(r0.size()) - first, v.mft_info, true, false))
        return false;
    if (!v.mft_info.attribute_list.empty()) {
        v.initialized = true;
        if (!walk_mft_list(v)) v.initialized = false;
    }
    return true;
}

bool initialize(ntfs_volume& v, uint64_t& mft_offset) {
    if (v.initialized) {
        mft_offset = v.mft_offset;
        return true;
    }
    if (!v.source) {
        v.initialized = false;
        return false;
    }
    uint32_t got = boot_sector_size;
    std::memset(v.boot, 0, sizeof v.boot);
    if (!read_volume_bytes(v, 0, v.boot, got)) return false;
    boot_sector_fields bs;
    if (!parse_boot_sector(le::bytes(v.boot, sizeof v.boot), bs)) return false;

    v.bytes_per_sector = bs.bytes_per_sector;
    v.sectors_per_cluster = bs.sectors_per_cluster;
    v.bytes_per_cluster = uint32_t(bs.bytes_per_sector) * bs.sectors_per_cluster;
    v.record_size = record_size_from_boot(bs.clusters_per_record, v.bytes_per_cluster);
    v.clusters_per_record = bs.clusters_per_record < 0 ? static_cast<int32_t>(v.record_size / v.bytes_per_cluster)
                                                       : bs.clusters_per_record;
    v.total_clusters = bs.total_sectors / bs.sectors_per_cluster;
    if (bs.mft_lcn > UINT64_MAX / v.bytes_per_cluster) return false;
    v.mft_offset = v.bytes_per_cluster * bs.mft_lcn;
    if (v.record_size < min_record_size || v.record_size > max_record_size) return false;

    // Record 0 tells where the MFT lies. When it cannot be used (a bad
    // sector, a torn write, a record marked BAAD), its copy in $MFTMirr,
    // which NTFS keeps in step with it, locates the MFT instead; entry 0
    // itself is still read from the MFT, as it is there.
    const uint32_t boot_record_size = v.record_size;
    if (!load_record0(v)) {
        const uint64_t mft_offset_from_boot = v.mft_offset;
        if (bs.mft_mirror_lcn == 0 || bs.mft_mirror_lcn == bs.mft_lcn ||
            bs.mft_mirror_lcn > UINT64_MAX / v.bytes_per_cluster)
            return false;
        v.record_size = boot_record_size;
        v.mft_offset = v.bytes_per_cluster * bs.mft_mirror_lcn;
        const bool mirrored = load_record0(v);
        v.mft_offset = mft_offset_from_boot;
        if (!mirrored) return false;
        report_listing_gap("MFT record 0 is damaged, the MFT is located through its copy in $MFTMirr");
    }
    uint64_t vcn = 0, clusters = 0;
    for (run& r : v.mft_info.data_runs) {
        r.vcn = vcn;
        vcn += r.length;
        clusters += r.length;
    }
    if (v.mft_info.data_runs.empty()) {
        v.entry_count = 0;
    } else {
        if (v.mft_info.data_runs.front().resident) clusters = 1;
        v.entry_count = static_cast<int64_t>(clusters * v.bytes_per_cluster / static_cast<uint64_t>(v.record_stride));
    }
    v.initialized = true;
    mft_offset = v.mft_offset;
    return true;
}
