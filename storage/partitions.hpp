// Finding the NTFS volume inside a disk: the partition record, the scan of
// a disk's first sectors (bare volume, MBR with its extended chain, GPT),
// the partition type names, and the volume check that accepts a volume
// offset or reports the partitions found and the offset to use.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct SectorSource;

// Bit of `Partition::type` that marks an entry the scan guessed rather than
// read from a partition table.
constexpr uint16_t partition_guess_bit = 0x8000;
// MBR type byte of a GPT protective entry, and the type of a GPT entry
// whose file system is not known.
constexpr uint16_t partition_type_gpt = 238;

struct Partition {
    uint64_t start_lba = 0;       // first sector, in units of sector_size
    uint64_t sector_count = 0;    // length in sectors of sector_size
    uint16_t type = 0;            // MBR type, 238 for GPT, or set by identify_fs
    uint32_t cluster_sectors = 0; // sectors per cluster from the boot sector
    // Bytes per sector of the partition table that placed this partition:
    // the unit of start_lba and sector_count. The byte offset is
    // start_lba x sector_size.
    uint32_t sector_size = 512;
    // Bytes per sector the file system's boot sector states (0 when unknown).
    // Kept apart from sector_size so that a boot sector can never move the
    // partition's offset.
    uint32_t fs_sector_size = 0;
    uint32_t volume_id = 0;
    uint8_t fs_known = 0;
    uint8_t is_gpt = 0;
    std::array<uint8_t, 16> type_guid{};
    std::array<uint8_t, 16> unique_guid{};
    std::string label;            // GPT name or ext volume name
    std::string fs_name;          // "ntfs", "exfat", "fat32", ...
    std::string mount_path;       // ext: last mount path
    uint32_t attributes = 0;      // GPT attribute bits (low word)
};

using PartitionList = std::vector<Partition>;

// Byte offset of a partition; false when it does not fit in 64 bits.
bool partition_offset(const Partition& p, uint64_t& offset);
// Byte offset of the partition's end; false on overflow.
bool partition_end(const Partition& p, uint64_t& end);

// Name of a partition type; a guessed entry (bit 0x8000) is named by its
// low byte with " [guess]" appended.
std::string type_name(uint16_t type);

// True when the 8 bytes at position 3 of the sector at `offset` read
// "NTFS    ".
bool has_ntfs_at(SectorSource& src, uint64_t offset);

// Builds the partition list of the disk in `src`. Returns the number of
// partitions found, 0 when none. `lenient` also searches the first MiB for
// a stray extended boot record when the disk carries no usable table.
size_t scan_partitions(SectorSource& src, PartitionList& list, bool lenient);

// Accepts the NTFS volume at `volume_offset`, or reports the partitions and
// the offset to use on `messages`. `ntfs_found` is set whenever an NTFS
// partition was seen; `volume_offset` then holds the one to suggest.
bool find_volume(std::ostream& messages, bool& ntfs_found, uint64_t& volume_offset, SectorSource& src, bool ignore_size);

bool open_image_and_find_volume(std::ostream& messages, const std::u16string& image, uint64_t& volume_offset,
                                bool& ntfs_found, bool ignore_size);
// Messages go to standard error.
bool open_drive_and_find_volume(int drive, uint64_t& volume_offset, bool& ntfs_found, bool ignore_size);
bool open_vmdk_and_find_volume(std::ostream& messages, const std::vector<std::u16string>& files,
                               uint64_t& volume_offset, bool& ntfs_found, bool ignore_size);

// What opening the chain named by "-vmdk" produced.
struct vmdk_probe {
    bool chain_opened = false;            // every file parsed and the chain linked
    bool volume_found = false;            // find_volume accepted the offset
    bool ntfs_found = false;              // an NTFS partition was seen
    std::string messages;                 // everything written on the way
    std::vector<std::u16string> suggested;  // parent files to add to the list
};

// Assembles the chain with its messages and finds its volume. True when the
// option parsing may go on: the chain opened and the volume was accepted or
// at least an NTFS partition was seen (its offset is then in volume_offset).
bool probe_vmdk_volume(const std::vector<std::u16string>& files, uint64_t& volume_offset, bool ignore_size,
                       vmdk_probe& out);

// The line that suggests a complete "-vmdk" list:
// suggested array:-vmdk "a | b"\n
std::string suggested_array_line(const std::vector<std::u16string>& suggested);
