#include "storage/mbr.hpp"

#include "storage/boot_sectors.hpp"
#include "storage/le.hpp"
#include "storage/sector_source.hpp"

#include <array>
#include <set>

namespace {

// Extended boot records followed at most. No partitioning tool makes more
// than a few hundred logical partitions; the limit stops a damaged or
// hostile chain that loops or runs on.
constexpr size_t max_ebr_records = 1024;
// Where the lenient scan looks for a stray extended boot record: the first
// MiB, where partitioning tools put their tables.
constexpr uint64_t stray_ebr_search_end = 1048576;
constexpr uint32_t ebr_bytes = 512;
// The sector where old tools put the first partition (one track of 63
// sectors after the MBR).
constexpr uint64_t legacy_first_sector = 63;

struct mbr_entry {
    uint8_t type = 0;
    uint32_t start = 0;
    uint32_t count = 0;
};

mbr_entry entry_at(le::bytes sector, unsigned i) {
    const uint64_t at = mbr_entry_table + 16 * uint64_t(i);
    return {le::u8(sector, at + 4), le::u32(sector, at + 8), le::u32(sector, at + 12)};
}

bool entry_usable(const mbr_entry& e) {
    return e.type != 0 && e.count != 0 && mbr_type_accepted(e.type);
}

Partition make_partition(uint64_t start, uint64_t count, uint8_t type, uint32_t sector_size) {
    Partition p;
    p.start_lba = start;
    p.sector_count = count;
    p.type = type;
    p.sector_size = sector_size;
    return p;
}

bool read_record(SectorSource& src, uint64_t sector, uint32_t sector_size, std::array<uint8_t, ebr_bytes>& rec) {
    if (sector > UINT64_MAX / sector_size) return false;
    return read_into(src, sector * sector_size, rec);
}

bool is_ebr(le::bytes rec) {
    return le::u16(rec, mbr_signature_offset) == boot_signature && !looks_like_volume_boot_sector(rec);
}

// Walks the extended chain whose first record is at sector `ext_start`.
// Logical partitions are placed relative to the record that holds them,
// links relative to the start of the extended partition. Returns the type
// of the last logical partition seen in the first record (0 when none).
uint8_t read_ebr_chain(SectorSource& src, uint64_t ext_start, uint32_t sector_size, PartitionList& logicals) {
    std::array<uint8_t, ebr_bytes> rec{};
    std::set<uint64_t> seen;
    uint8_t first_type = 0;
    uint64_t current = ext_start;
    for (size_t n = 0; n < max_ebr_records; ++n) {
        if (!seen.insert(current).second) break;
        if (!read_record(src, current, sector_size, rec) || !is_ebr(rec)) break;
        bool have_next = false;
        uint64_t next = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const mbr_entry e = entry_at(rec, i);
            if (!entry_usable(e)) continue;
            if (mbr_type_extended(e.type)) {
                if (!have_next) {
                    have_next = true;
                    next = ext_start + e.start;
                }
                continue;
            }
            logicals.push_back(make_partition(current + e.start, e.count, e.type, sector_size));
            if (n == 0) first_type = e.type;
        }
        if (!have_next) break;
        current = next;
    }
    return first_type;
}

bool lists_start(const PartitionList& list, uint64_t start) {
    for (const auto& p : list)
        if (p.start_lba == start) return true;
    return false;
}

}  // namespace

bool mbr_type_accepted(uint8_t type) {
    static constexpr uint8_t accepted[] = {
        1,   4,   5,   6,   7,   8,   11,  12,  14,  15,  17,  18,  20,  21,  22,  23,  27,  28,  30,  31,
        36,  39,  65,  66,  67,  86,  100, 102, 116, 118, 121, 122, 123, 124, 125, 128, 129, 130, 131,
        132, 133, 134, 135, 136, 139, 140, 142, 144, 145, 146, 147, 151, 152, 154, 168, 171, 172, 175,
        182, 183, 187, 188, 194, 195, 196, 197, 198, 199, 203, 204, 205, 206, 207, 212, 213, 214, 216,
        222, 228, 229, 230, 232, 239, 240, 242, 244, 246, 249, 251, 252, 253, 254};
    for (uint8_t t : accepted)
        if (t == type) return true;
    return false;
}

// 0x85 is the extended partition Linux tools make: its chain is laid out
// as the others', and the logical partitions in it hold volumes too.
bool mbr_type_extended(uint8_t type) { return type == 5 || type == 15 || type == 0x85; }

mbr_result parse_mbr(SectorSource& src, std::span<const uint8_t> sector0, uint32_t sector_size, PartitionList& list,
                     bool past_protective) {
    for (unsigned i = 0; i < 4; ++i) {
        const mbr_entry e = entry_at(sector0, i);
        if (e.type == partition_type_gpt) {
            if (past_protective) continue;
            return mbr_result::gpt;
        }
        if (!entry_usable(e)) continue;
        list.push_back(make_partition(e.start, e.count, e.type, sector_size));
        if (!mbr_type_extended(e.type)) continue;

        PartitionList logicals;
        const uint8_t guess_type = read_ebr_chain(src, e.start, sector_size, logicals);
        // An NTFS boot sector at sector 63 that no table names: a primary
        // entry was probably wiped. It is offered as a guess, reaching up to
        // the extended partition.
        if (!lists_start(list, legacy_first_sector) && !lists_start(logicals, legacy_first_sector) &&
            has_ntfs_at(src, legacy_first_sector * sector_size)) {
            const uint64_t count = e.start > legacy_first_sector ? e.start - legacy_first_sector : 0;
            Partition g = make_partition(legacy_first_sector, count, guess_type, sector_size);
            g.type = static_cast<uint16_t>(g.type | partition_guess_bit);
            list.insert(list.begin(), g);
        }
        list.insert(list.end(), logicals.begin(), logicals.end());
        // Primary entries after the extended one are partitions as well:
        // tools that make the extended partition first write such tables,
        // and the system mounts what they name. A second extended entry is
        // not followed: a table has one chain.
        for (unsigned j = i + 1; j < 4; ++j) {
            const mbr_entry after = entry_at(sector0, j);
            if (entry_usable(after) && !mbr_type_extended(after.type))
                list.push_back(make_partition(after.start, after.count, after.type, sector_size));
        }
        break;
    }
    return mbr_result::partitions;
}

void scan_for_stray_ebr(SectorSource& src, PartitionList& list) {
    std::array<uint8_t, ebr_bytes> rec{};
    for (uint64_t off = ebr_bytes; off < stray_ebr_search_end; off += ebr_bytes) {
        if (!read_into(src, off, rec)) return;
        if (!is_ebr(rec)) continue;
        read_ebr_chain(src, off / ebr_bytes, ebr_bytes, list);
        return;
    }
}
