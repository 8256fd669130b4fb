// Disks held in container files: EWF segments (E01), split raw pieces,
// VHD and VHDX. Each reader presents the disk the container stands for
// through one read call; the sector source holds one of them for `-image`.
// The format is told from the file's own signature, never from its name
// (split raw pieces, which have none, are told by their numbered names).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

// A disk read out of one or more container files.
struct disk_container {
    virtual ~disk_container() = default;
    // Fills `buffer` with `length` disk bytes from `offset`; `offset` +
    // `length` lies within `disk_size` (the source checks it). Parts the
    // container cannot deliver (damaged, missing) read as zeros and are
    // reported through report_damage; false only when no byte could be
    // read at all for a reason that is not damage (an I/O error).
    virtual bool read(uint8_t* buffer, uint64_t offset, uint32_t length) = 0;
    // A hint that the disk bytes at these offsets will be read soon, in
    // this order; a container whose reads are costly (decompression) may
    // prepare them ahead. A newer hint comes before the older ones.
    virtual void prefetch(std::span<const uint64_t> offsets) { (void)offsets; }
    // Disk bytes the container keeps decoded, lent in place rather than
    // copied: the `length` bytes from `offset`, which stay as they are
    // until `give_back(token)`. False when the container lends nothing, or
    // not these bytes (they are then read); a failure reads as one too.
    virtual bool lend(uint64_t offset, uint32_t length, const uint8_t*& data, uint64_t& token) {
        (void)offset, (void)length, (void)data, (void)token;
        return false;
    }
    virtual void give_back(uint64_t token) { (void)token; }
    uint64_t disk_size = 0;     // bytes of the disk
    uint32_t sector_size = 512; // logical sector of the disk: 512 or 4096
};

enum class image_format {
    raw,          // no container: the file's bytes are the disk
    split_raw,    // numbered pieces read as their concatenation
    ewf,          // EWF E01/S01 segments
    ewf2,         // EWF2 (Ex01): refused
    logical_ewf,  // logical evidence files (L01, Lx01): refused, they hold files, not a disk
    vhd,
    vhdx,
    vmdk,         // a descriptor or a sparse extent: the VMDK reader
};

// Bytes of a file's start and end that identify_image looks at.
constexpr uint32_t identify_head_bytes = 1024;
constexpr uint32_t identify_tail_bytes = 512;

// Tells the format from the first bytes of a file (`head`) and its last
// bytes (`tail`, where a fixed VHD keeps its only footer).
image_format identify_image(std::span<const uint8_t> head, std::span<const uint8_t> tail);

// Reads the start and end of `path` and tells its format; a file whose name
// ends in a number of three or more digits with numbered siblings beside it
// is `split_raw` when its bytes show no container. False when the file
// cannot be opened.
bool identify_image_file(const std::u16string& path, image_format& format);

// The files that reading the image `path` opens, `path` first: with it the
// other segments of an EWF set, the other pieces of a split raw image, and
// the parents of a differencing VHD or VHDX or of a VMDK snapshot.
std::vector<std::u16string> image_files(const std::u16string& path);

// The openers: each parses its container, checks every size and offset it
// reads before use, and on failure leaves `out` empty and `message` saying
// what is wrong (one line, no newline, naming the file).
bool open_split_raw(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message);
bool open_ewf(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message);
bool open_vhd(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message);
bool open_vhdx(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message);
