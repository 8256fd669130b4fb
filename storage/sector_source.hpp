// One object through which the partition scan and the NTFS engine read raw
// bytes: an image file, a live volume, a device path, a physical drive, a
// VMDK chain, or (for tests and fuzzing) bytes held in memory. It knows the
// size of what it opened and its sector size, and reads at absolute byte
// offsets, hiding the sector alignment that devices demand.
#pragma once

#include "platform/platform.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct VmdkChain;
struct disk_container;

enum class SourceKind : int {
    Image = 0,
    Volume = 1,
    DevicePath = 2,
    PhysicalDrive = 3,
    VmdkChain = 4,
    SplitRaw = 5,  // numbered pieces of a raw image, read as one
    Ewf = 6,       // EWF (E01) segments
    Vhd = 7,
    None = 8,
    Memory = 9,  // bytes held in memory: tests and fuzz targets
    Vhdx = 10,
};

// Drives numbered at or above this are refused: Windows names at most 25
// physical drives through \\.\PhysicalDriveN in this tool's convention.
constexpr int max_physical_drive = 25;

struct SectorSource {
    SectorSource();
    ~SectorSource();
    SectorSource(const SectorSource&) = delete;
    SectorSource& operator=(const SectorSource&) = delete;

    std::unique_ptr<VmdkChain> vmdk;
    std::unique_ptr<disk_container> container;  // kinds SplitRaw, Ewf, Vhd, Vhdx
    std::u16string device_path;
    int32_t disk_number = -1;
    int32_t partition_number = -1;
    platform::device handle;
    int fd = -1;
    int64_t cylinders = 0;
    uint32_t media_type = 0;
    uint32_t tracks_per_cylinder = 0;
    uint32_t sectors_per_track = 0;
    uint32_t sector_size = 0;
    std::string image_path_utf8;
    std::u16string image_path;
    SourceKind kind = SourceKind::None;
    bool is_open = false;
    int64_t size = 0;
    std::vector<uint8_t> memory;  // SourceKind::Memory only
};

void reset(SectorSource& src);
// Opens an image file for `-image`: its signature decides whether it is a
// raw image or a container (EWF, VHD, VHDX, a VMDK) and the container's
// disk is what the source reads; numbered pieces with no signature are a
// split raw image. On failure `message` says why when there is more to say
// than that the file does not open (a refused format, a damaged header, a
// missing piece); it is empty otherwise.
bool open_image(SectorSource& src, const std::u16string& path, std::string& message);
bool open_image(SectorSource& src, const std::u16string& path);
bool open_device(SectorSource& src, const std::u16string& path, SourceKind kind, bool letter_form);
bool open_physical_drive(SectorSource& src, int number);
bool open_vmdk(SectorSource& src, const std::vector<std::u16string>& files);
// Takes a chain whose files were already added and linked.
bool open_vmdk_chain(SectorSource& src, std::unique_ptr<VmdkChain> chain);
bool open_memory(SectorSource& src, std::vector<uint8_t> bytes);
void close(SectorSource& src);

// Reads `length` bytes at absolute byte `offset`. `length` is in/out: an
// image read that runs past the end is shortened and reports the shortened
// count. Bytes that could not be read are zero-filled, so no caller ever
// parses stale memory.
bool read(SectorSource& src, uint8_t* buffer, uint32_t& length, int64_t offset);

uint64_t total_size(const SectorSource& src);

// Tells the source that the bytes at these absolute offsets will be read
// soon, in this order (a container may decode them ahead); a hint only.
void prefetch(SectorSource& src, std::span<const uint64_t> offsets);

// The `length` bytes from `offset` as the source's container keeps them,
// lent until give_back (disk_container::lend); false when they are not
// lent, and then they are read as usual.
bool lend(SectorSource& src, int64_t offset, uint32_t length, const uint8_t*& data, uint64_t& token);
void give_back(const SectorSource& src, uint64_t token);

// Fills `out` from absolute byte `offset`: the buffer is zeroed first, so
// bytes past the end of the source read as zeros. True when the read
// succeeded and delivered at least one byte.
bool read_into(SectorSource& src, uint64_t offset, std::span<uint8_t> out);

// Reads at `relative + volume_offset`; true when the source read succeeded
// and delivered at least one byte.
bool read_at(SectorSource& src, int64_t relative, int64_t volume_offset, uint8_t* buffer, uint32_t& length);
