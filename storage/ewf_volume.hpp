// The media description of an EWF image: the data of the "volume" section
// of the first segment, repeated by "disk" sections of some writers and by
// the "data" section of later segments. It gives the chunk size (sectors
// per chunk times bytes per sector) and the media size (sector count times
// bytes per sector).
#pragma once

#include <array>
#include <cstdint>
#include <span>

// Data bytes of the layout every EnCase, FTK Imager and libewf-written E01
// uses, and of the short layout of the original format and SMART files.
constexpr uint32_t ewf_volume_bytes = 1052;
constexpr uint32_t ewf_volume_short_bytes = 94;

// Sector sizes read: the 512 of disks, 2048 of optical media and 4096 of
// native 4K disks, and the powers of two between; any other value is
// damage, and it would break the sector arithmetic of the readers above.
constexpr uint32_t ewf_min_sector_bytes = 512;
constexpr uint32_t ewf_max_sector_bytes = 4096;
// Writers offer at most 32768 sectors per chunk.
constexpr uint32_t ewf_max_sectors_per_chunk = 32768;
// A chunk is decoded whole into memory: 64 MiB is 32768 sectors of 2048
// bytes, four times the largest chunk of 512-byte sectors; larger is refused.
constexpr uint64_t ewf_max_chunk_bytes = uint64_t(64) << 20;
// 64 PiB: far above any acquired medium, and low enough that no offset or
// count derived from it overflows.
constexpr uint64_t ewf_max_media_bytes = uint64_t(1) << 56;

struct ewf_media {
    uint32_t chunk_count = 0;  // as written; the reader derives its own from the sizes
    uint32_t sectors_per_chunk = 0;
    uint32_t bytes_per_sector = 0;
    uint64_t sector_count = 0;
    uint8_t media_type = 0;
    std::array<uint8_t, 16> set_id{};  // the segment set's GUID; zeros in older writers' files
};

// Reads the section data that follows the descriptor (`data`, as much of
// it as the section holds). False when it is shorter than either layout
// or its checksum fails; a checksum of 0 is accepted, as some acquisition
// hardware writes no checksum there.
bool read_ewf_media(std::span<const uint8_t> data, ewf_media& out);

// True when the sizes lie within the limits above, so that the chunk and
// media sizes derived from them can be used as they are.
bool ewf_media_sane(const ewf_media& m);

uint64_t ewf_chunk_bytes(const ewf_media& m);
uint64_t ewf_media_bytes(const ewf_media& m);
// Chunks needed to hold the media.
uint64_t ewf_chunks_needed(const ewf_media& m);
