#include "storage/partitions.hpp"

#include "platform/unicode.hpp"
#include "storage/boot_sectors.hpp"
#include "storage/gpt.hpp"
#include "storage/le.hpp"
#include "storage/mbr.hpp"
#include "storage/sector_source.hpp"
#include "storage/vmdk.hpp"

#include <algorithm>
#include <array>
#include <iostream>
#include <sstream>

namespace {

// Bytes read from the start of a disk: the MBR and, for disks with sectors
// up to 16384 bytes, the place of the signature at the end of sector 0.
constexpr uint32_t disk_head_bytes = 16384;
// Sector sizes whose MBR carries the boot signature at the end of its own
// sector rather than at byte 510.
constexpr uint32_t large_mbr_sectors[] = {1024, 2048, 4096, 8192, 16384};
// The sector size most large-sector disks have; their MBR is otherwise
// indistinguishable from a 512-byte one.
constexpr uint32_t advanced_format_sector = 4096;
// Where a bare ext volume keeps its superblock, and the superblock's magic.
constexpr uint64_t ext_superblock = 1024;
constexpr uint64_t ext_magic_at = 1080;
constexpr uint16_t ext_magic = 0xEF53;

bool valid_sector_size(uint32_t s) {
    return s >= 512 && s <= 16384 && (s & (s - 1)) == 0;
}

std::string hex(uint64_t v) {
    std::ostringstream o;
    o << std::hex << v;
    return o.str();
}

// Reads each partition's first bytes and identifies its file system.
// Returns how many were recognised.
size_t identify_all(SectorSource& src, PartitionList& list) {
    size_t known = 0;
    std::vector<uint8_t> bytes;
    for (auto& p : list) {
        uint64_t off = 0;
        if (p.sector_size == 0 || !partition_offset(p, off)) continue;
        uint64_t n = std::max<uint64_t>(identify_bytes, p.sector_size);
        if (p.sector_count != 0 && p.sector_count <= n / p.sector_size) n = std::max<uint64_t>(p.sector_count * p.sector_size, 512);
        bytes.assign(static_cast<size_t>(n), 0);
        if (read_into(src, off, bytes) && identify_fs(p, bytes)) ++known;
    }
    return known;
}

bool any_known(const PartitionList& list) {
    return std::any_of(list.begin(), list.end(), [](const Partition& p) { return p.fs_known != 0; });
}

// Reads an MBR disk with sectors of `c` bytes. When the disk carries the
// signature at byte 510, and is not a drive that states its sector size, it
// may still have 4096-byte sectors: when no partition shows a boot sector
// with 512-byte sectors but some do with 4096, the disk is read that way.
size_t scan_mbr_disk(SectorSource& src, le::bytes head, uint32_t c, bool size_known, bool lenient,
                     PartitionList& list) {
    if (parse_mbr(src, head, c, list) == mbr_result::gpt) {
        list.clear();
        if (scan_gpt(src, list)) return list.size();
        // Neither GPT table is left: the other entries of a hybrid MBR
        // still place the volumes they name.
        list.clear();
        parse_mbr(src, head, c, list, true);
        identify_all(src, list);
        return list.size();
    }
    if (list.empty() && lenient) scan_for_stray_ebr(src, list);
    identify_all(src, list);
    if (size_known || c != 512 || list.empty() || any_known(list)) return list.size();

    PartitionList wide;
    if (parse_mbr(src, head, advanced_format_sector, wide) == mbr_result::partitions && identify_all(src, wide) > 0)
        list = std::move(wide);
    return list.size();
}

size_t bare_volume(le::bytes head, PartitionList& list) {
    Partition p;
    p.sector_size = 512;
    identify_fs(p, le::sub(head, 0, 512));
    list.push_back(std::move(p));
    return 1;
}

size_t stray_ebr(SectorSource& src, PartitionList& list) {
    scan_for_stray_ebr(src, list);
    identify_all(src, list);
    return list.size();
}

}  // namespace

bool partition_offset(const Partition& p, uint64_t& offset) {
    if (p.sector_size != 0 && p.start_lba > UINT64_MAX / p.sector_size) return false;
    offset = p.start_lba * p.sector_size;
    return true;
}

bool partition_end(const Partition& p, uint64_t& end) {
    if (p.sector_count > UINT64_MAX - p.start_lba) return false;
    const uint64_t sectors = p.start_lba + p.sector_count;
    if (p.sector_size != 0 && sectors > UINT64_MAX / p.sector_size) return false;
    end = sectors * p.sector_size;
    return true;
}

std::string type_name(uint16_t type) {
    const bool guess = (type & partition_guess_bit) != 0;
    const unsigned t = guess ? (type & 0xFF) : type;
    const char* name = "unk";
    switch (t) {
    case 0: name = "empty"; break;
    case 1: case 141: name = "fat12"; break;
    case 2: name = "xenix root"; break;
    case 3: name = "xenix /usr"; break;
    case 4: name = "fat16"; break;
    case 5: case 15: name = "exten"; break;
    case 6: name = "fat"; break;
    case 7: name = "ntfs or exfat"; break;
    case 8: name = "aix boot"; break;
    case 9: name = "aix data"; break;
    case 10: name = "os/2 boot"; break;
    case 11: case 12: name = "fat32"; break;
    case 14: name = "fat16 LBA mapped"; break;
    case 17: case 20: case 22: case 30: case 144: case 145: case 146: name = "hidden fat16"; break;
    case 23: case 39: name = "hidden ntfs"; break;
    case 27: case 28: case 151: case 152: name = "hidden fat32"; break;
    case 130: name = "linux swap"; break;
    case 131: name = "linux"; break;
    case 134: name = "fat16 volume set"; break;
    case 135: name = "ntfs volume set"; break;
    case 136: name = "linux partition table"; break;
    case 139: case 140: name = "fat32 fault tolerant"; break;
    case 142: name = "linux Logical Volume Mgr"; break;
    case 147: name = "hidden linux"; break;
    case 160: case 161: name = "hibernation partition"; break;
    case 166: name = "openbsd"; break;
    case 175: name = "hfs"; break;
    case 238: name = "gpt"; break;
    default: break;
    }
    return guess ? std::string(name) + " [guess]" : std::string(name);
}

bool has_ntfs_at(SectorSource& src, uint64_t offset) {
    std::array<uint8_t, 36> b{};
    return read_into(src, offset, b) && le::has(b, 3, "NTFS    ");
}

size_t scan_partitions(SectorSource& src, PartitionList& list, bool lenient) {
    list.clear();
    std::vector<uint8_t> head(disk_head_bytes);
    if (!read_into(src, 0, head)) return 0;
    const le::bytes h(head);
    const le::bytes sector0 = le::sub(h, 0, 512);

    // A drive states its own sector size; for anything else it is found.
    const bool size_known = src.kind == SourceKind::PhysicalDrive && valid_sector_size(src.sector_size);
    const uint32_t c = size_known ? src.sector_size : 512;

    const bool signed510 = le::u16(h, mbr_signature_offset) == boot_signature;
    const bool boot_sector = looks_like_volume_boot_sector(sector0);
    if (signed510 && !boot_sector) return scan_mbr_disk(src, h, c, size_known, lenient, list);
    if (boot_sector) {
        if (!lenient) return bare_volume(h, list);
        Partition probe;
        if (identify_fs(probe, sector0)) return bare_volume(h, list);
        return stray_ebr(src, list);
    }
    for (uint32_t s : large_mbr_sectors)
        if (le::u16(h, uint64_t(s) - 2) == boot_signature) return scan_mbr_disk(src, h, s, true, lenient, list);
    if (le::u16(h, ext_magic_at) == ext_magic && !lenient) {
        Partition p;
        p.sector_size = 512;
        identify_fs(p, le::sub(h, ext_superblock, 1024));
        list.push_back(std::move(p));
        return 1;
    }
    return lenient ? stray_ebr(src, list) : 0;
}

bool find_volume(std::ostream& messages, bool& ntfs_found, uint64_t& volume_offset, SectorSource& src,
                 bool ignore_size) {
    if (!src.is_open) return false;
    const uint64_t size = total_size(src);
    if (size < volume_offset) {
        messages << "volume offset 0x" << hex(volume_offset) << " is not within image bounds\n";
        return false;
    }

    PartitionList list;
    if (scan_partitions(src, list, false) == 0) {
        if (has_ntfs_at(src, 0)) {
            ntfs_found = true;
            volume_offset = 0;
            return true;
        }
        if (scan_partitions(src, list, true) == 0) {
            messages << "couldn't find any partitions on disk\n";
            return false;
        }
        messages << "disk is corrupted, partition info questionable\n";
    }
    if (list.empty()) {
        messages << "couldn't find any partitions on disk.\n";
        return false;
    }

    // The offset suggested is that of the last partition whose type names
    // NTFS; where some of them were read as NTFS volumes, the last of
    // those, since type 7 is also exFAT's and BitLocker's, and a partition
    // of that type may hold nothing yet.
    bool suggest = false, suggest_volume = false;
    uint64_t suggestion = 0, volume_suggestion = 0;
    for (const auto& p : list) {
        const std::string name = type_name(p.type);
        const bool ntfs = name.find("ntfs") != std::string::npos;
        uint64_t start = 0;
        if (!partition_offset(p, start)) continue;
        if (start == volume_offset) {
            if (!ntfs) {
                messages << "volume offset selected 0x" << hex(volume_offset) << " is not a NTFS partition, but ["
                         << name << "]\n";
                break;
            }
            ntfs_found = true;
            uint64_t end = 0;
            if ((partition_end(p, end) && size >= end) || ignore_size) return true;
            messages << "volume offset 0x" << hex(volume_offset)
                     << " is a NTFS partition, however image size does not encapsulate entire volume\n";
            return false;
        }
        if (ntfs) {
            ntfs_found = true;
            suggest = true;
            suggestion = start;
            if (p.fs_known && p.fs_name == "ntfs") {
                suggest_volume = true;
                volume_suggestion = start;
            }
            if (size < start) messages << "volume offset 0x" << hex(start) << " is not within image bounds\n";
        }
    }

    messages << "\n";
    for (const auto& p : list) {
        uint64_t start = 0;
        if (!partition_offset(p, start)) continue;
        volume_offset = start;
        messages << "volume offset [ 0x" << hex(start) << " ] : " << type_name(p.type) << "\n";
    }
    messages << "\n";
    if (suggest_volume) suggestion = volume_suggestion;
    if (suggest) {
        volume_offset = suggestion;
        messages << "use option [-offset 0x" << hex(suggestion) << "]\n";
    } else {
        messages << "prob detecting ntfs partition\n";
    }
    return false;
}

bool open_image_and_find_volume(std::ostream& messages, const std::u16string& image, uint64_t& volume_offset,
                                bool& ntfs_found, bool ignore_size) {
    SectorSource src;
    std::string why;
    if (!open_image(src, image, why)) {
        if (why.empty()) messages << "invalid image: " << uni::to_utf8(image) << "\n";
        else messages << why << "\n";
        return false;
    }
    const bool ok = find_volume(messages, ntfs_found, volume_offset, src, ignore_size);
    close(src);
    return ok;
}

bool open_drive_and_find_volume(int drive, uint64_t& volume_offset, bool& ntfs_found, bool ignore_size) {
    SectorSource src;
    if (!open_physical_drive(src, drive)) {
        std::cerr << "problems accessing physical disk #" << drive << ", aborting \n";
        return false;
    }
    const bool ok = find_volume(std::cerr, ntfs_found, volume_offset, src, ignore_size);
    close(src);
    return ok;
}

bool open_vmdk_and_find_volume(std::ostream& messages, const std::vector<std::u16string>& files,
                               uint64_t& volume_offset, bool& ntfs_found, bool ignore_size) {
    SectorSource src;
    if (!open_vmdk(src, files)) {
        messages << "invalid disk collection of snaps \n";
        return false;
    }
    const bool ok = find_volume(messages, ntfs_found, volume_offset, src, ignore_size);
    close(src);
    return ok;
}

bool probe_vmdk_volume(const std::vector<std::u16string>& files, uint64_t& volume_offset, bool ignore_size,
                       vmdk_probe& out) {
    out = vmdk_probe{};
    std::ostringstream messages;
    std::unique_ptr<VmdkChain> chain;
    try {
        chain = std::make_unique<VmdkChain>();
    } catch (const std::bad_alloc&) {
        out.messages = "prob creating virtual vmware disk mapping\n";
        return false;
    }
    if (!chain->assemble(files, messages, out.suggested)) {
        out.messages = messages.str();
        return false;
    }
    SectorSource src;
    out.chain_opened = open_vmdk_chain(src, std::move(chain));
    if (out.chain_opened)
        out.volume_found = find_volume(messages, out.ntfs_found, volume_offset, src, ignore_size);
    else
        messages << "invalid disk collection of snaps \n";
    out.messages = messages.str();
    return out.chain_opened && (out.volume_found || out.ntfs_found);
}

std::string suggested_array_line(const std::vector<std::u16string>& suggested) {
    std::string line = "suggested array:-vmdk \"";
    for (size_t i = 0; i < suggested.size(); ++i) {
        if (i) line += " | ";
        line += uni::to_utf8(suggested[i]);
    }
    return line + "\"\n";
}
