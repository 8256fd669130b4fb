#include "storage/gpt.hpp"

#include "platform/unicode.hpp"
#include "storage/boot_sectors.hpp"
#include "storage/le.hpp"
#include "storage/mbr.hpp"
#include "storage/sector_source.hpp"

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace {

// Entries read at most. Tools write 128; the limit bounds the loop over a
// damaged header's count.
constexpr uint32_t max_gpt_entries = 16384;
// An entry holds 128 bytes of fields; tools write exactly that, and the
// format allows larger multiples. Larger than a page is damage.
constexpr uint32_t min_gpt_entry_size = 128;
constexpr uint32_t max_gpt_entry_size = 4096;
// Bytes read from the start of the disk to find the header at any sector
// size (the header of a 16384-byte-sector disk ends before 32768).
constexpr uint32_t gpt_probe_bytes = 32768;
constexpr uint32_t gpt_header_bytes = 92;
// GPT names are 36 UTF-16 characters.
constexpr uint64_t gpt_name_offset = 56;
constexpr uint64_t gpt_name_chars = 36;

bool header_at(le::bytes head, uint32_t b) {
    return le::has(head, b, "EFI PART") && le::u64(head, uint64_t(b) + 24) == 1;
}

std::string entry_name(le::bytes entry) {
    std::u16string name;
    for (uint64_t i = 0; i < gpt_name_chars; ++i) {
        const char16_t c = le::u16(entry, gpt_name_offset + 2 * i);
        if (c == 0) break;
        name.push_back(c);
    }
    return uni::to_utf8(name);
}

}  // namespace

bool gpt_sector_size(SectorSource& src, uint32_t& sector_size) {
    std::vector<uint8_t> head(gpt_probe_bytes);
    if (!read_into(src, 0, head)) return false;

    std::vector<uint32_t> order;
    if (src.kind == SourceKind::PhysicalDrive) {
        // A drive knows its own sector size: it alone decides.
        order.push_back(src.sector_size);
    } else {
        // A disk whose MBR carries the signature at the end of a larger
        // sector says so; but most large-sector disks carry it at byte 510
        // like any MBR, so every place of the header is tried after it.
        for (uint32_t b : gpt_sector_sizes)
            if (le::u16(head, uint64_t(b) - 2) == boot_signature) {
                order.push_back(b);
                break;
            }
        order.insert(order.end(), std::begin(gpt_sector_sizes), std::end(gpt_sector_sizes));
    }
    for (uint32_t b : order)
        if (b != 0 && le::fits(head, b, gpt_header_bytes) && header_at(head, b)) {
            sector_size = b;
            return true;
        }
    return false;
}

namespace {

// A backup header stands in the disk's last sector and names that sector
// as its own. The first sector size at which one stands, tried in the
// order of `gpt_sector_sizes`; false when none does.
bool backup_header(SectorSource& src, uint32_t& sector_size, std::vector<uint8_t>& header) {
    const uint64_t size = total_size(src);
    for (uint32_t b : gpt_sector_sizes) {
        if (src.kind == SourceKind::PhysicalDrive && b != src.sector_size) continue;
        if (size / b < 3) continue;
        const uint64_t last = size / b - 1;
        header.assign(b, 0);
        if (!read_into(src, last * b, header)) continue;
        const le::bytes h(header);
        if (le::has(h, 0, "EFI PART") && le::u64(h, 24) == last) {
            sector_size = b;
            return true;
        }
    }
    return false;
}

// A header's own size (offset 12) is at least its 92 bytes of fields and
// at most a sector.
bool header_crc_ok(le::bytes header) {
    const uint32_t size = le::u32(header, 12);
    if (size < gpt_header_bytes || size > header.size()) return false;
    std::vector<uint8_t> copy(header.begin(), header.begin() + size);
    std::fill_n(copy.begin() + 16, 4, uint8_t(0));  // the sum is taken with its own field zeroed
    return crc32(0L, copy.data(), static_cast<uInt>(copy.size())) == le::u32(header, 16);
}

// Bytes of the entry array summed per read.
constexpr uint32_t gpt_sum_piece_bytes = 65536;

bool entries_crc_ok(SectorSource& src, uint32_t b, le::bytes header) {
    const uint64_t table_lba = le::u64(header, 72);
    const uint32_t count = le::u32(header, 80);
    const uint32_t entry_size = le::u32(header, 84);
    if (count > max_gpt_entries || entry_size > max_gpt_entry_size || table_lba > UINT64_MAX / b) return false;
    const uint64_t table = table_lba * b;
    const uint64_t bytes = uint64_t(count) * entry_size;
    if (table > UINT64_MAX - bytes) return false;
    std::vector<uint8_t> piece(gpt_sum_piece_bytes);
    uLong sum = crc32(0L, Z_NULL, 0);
    for (uint64_t done = 0; done < bytes;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), bytes - done));
        if (!read_into(src, table + done, std::span<uint8_t>(piece.data(), n))) return false;
        sum = crc32(sum, piece.data(), static_cast<uInt>(n));
        done += n;
    }
    return sum == le::u32(header, 88);
}

// A table whose header and entries match their CRC-32 sums, as written.
bool table_sound(SectorSource& src, uint32_t b, le::bytes header) {
    return header_crc_ok(header) && entries_crc_ok(src, b, header);
}

// Appends one partition per used entry of the table `header` names, each
// identified from its first bytes; true when at least one was added.
bool add_entries(SectorSource& src, uint32_t b, le::bytes header, PartitionList& list) {
    const uint64_t table_lba = le::u64(header, 72);
    const uint32_t count = le::u32(header, 80);
    const uint32_t entry_size = le::u32(header, 84);
    if (count > max_gpt_entries || entry_size < min_gpt_entry_size || entry_size > max_gpt_entry_size) return false;
    if (table_lba > UINT64_MAX / b) return false;
    const uint64_t table = table_lba * b;
    if (table > UINT64_MAX - uint64_t(count) * entry_size) return false;
    std::vector<uint8_t> entry(entry_size);
    std::vector<uint8_t> first(identify_bytes);
    bool added = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!read_into(src, table + uint64_t(i) * entry_size, entry)) break;
        const le::bytes e(entry);
        if (std::all_of(entry.begin(), entry.begin() + 16, [](uint8_t c) { return c == 0; })) continue;
        const uint64_t first_lba = le::u64(e, 32);
        const uint64_t last_lba = le::u64(e, 40);
        // An entry that ends before it starts or lies past any addressable
        // byte cannot be placed; it is skipped.
        if (last_lba < first_lba || last_lba == UINT64_MAX || last_lba > UINT64_MAX / b) continue;

        Partition p;
        std::copy_n(entry.begin(), 16, p.type_guid.begin());
        std::copy_n(entry.begin() + 16, 16, p.unique_guid.begin());
        p.sector_size = b;
        p.is_gpt = 1;
        p.start_lba = first_lba;
        p.sector_count = last_lba - first_lba + 1;
        p.attributes = le::u32(e, 48);
        p.label = entry_name(e);
        p.type = partition_type_gpt;

        // An entry from LBA 0 to the last addressable sector holds 2^64
        // bytes, one more than the product can: its span saturates.
        const uint64_t span = p.sector_count > UINT64_MAX / b ? UINT64_MAX : p.sector_count * b;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(identify_bytes, span));
        std::fill(first.begin(), first.end(), uint8_t(0));
        if (read_into(src, first_lba * b, std::span<uint8_t>(first.data(), n)))
            identify_fs(p, std::span<const uint8_t>(first.data(), n));
        list.push_back(std::move(p));
        added = true;
    }
    return added;
}

}  // namespace

// The header at LBA 1, or, when it is not there or names no partition (the
// disk's first sectors damaged), the backup the format keeps in the disk's
// last sector, with its own copy of the entries before it. A table whose
// header or entries fail their CRC-32 sums gives way to a backup that
// passes them: damaged entries would place volumes where none are. With
// no sound backup the table at LBA 1 is read as it is.
bool scan_gpt(SectorSource& src, PartitionList& list) {
    uint32_t b = 0;
    std::vector<uint8_t> header;
    bool primary = gpt_sector_size(src, b);
    if (primary) {
        header.assign(b, 0);
        primary = read_into(src, b, header);
    }
    const uint32_t primary_b = b;
    if (primary && !table_sound(src, b, header)) {
        uint32_t backup_b = 0;
        std::vector<uint8_t> backup;
        if (backup_header(src, backup_b, backup) && table_sound(src, backup_b, backup) &&
            add_entries(src, backup_b, backup, list))
            return true;
        list.clear();
    }
    if (primary && add_entries(src, primary_b, header, list)) return true;
    list.clear();
    return backup_header(src, b, header) && add_entries(src, b, header, list);
}
