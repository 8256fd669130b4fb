#include "storage/ewf_volume.hpp"

#include "storage/ewf_section.hpp"
#include "storage/le.hpp"

#include <algorithm>

bool read_ewf_media(std::span<const uint8_t> d, ewf_media& out) {
    out = ewf_media{};
    // The long layout keeps its checksum in its last 4 bytes, the short one
    // at byte 90; the sector count is 64 bits in the long one, 32 in the
    // short one.
    const bool long_layout = d.size() >= ewf_volume_bytes;
    if (!long_layout && d.size() < ewf_volume_short_bytes) return false;
    const uint32_t checked = long_layout ? ewf_volume_bytes - 4 : ewf_volume_short_bytes - 4;
    const uint32_t stored = le::u32(d, checked);
    if (stored != 0 && stored != ewf_adler32(d.first(checked))) return false;
    out.media_type = le::u8(d, 0);
    out.chunk_count = le::u32(d, 4);
    out.sectors_per_chunk = le::u32(d, 8);
    out.bytes_per_sector = le::u32(d, 12);
    out.sector_count = long_layout ? le::u64(d, 16) : le::u32(d, 16);
    if (long_layout) std::copy_n(d.begin() + 64, out.set_id.size(), out.set_id.begin());
    return true;
}

bool ewf_media_sane(const ewf_media& m) {
    const uint32_t bps = m.bytes_per_sector;
    if (bps < ewf_min_sector_bytes || bps > ewf_max_sector_bytes || (bps & (bps - 1)) != 0) return false;
    if (m.sectors_per_chunk == 0 || m.sectors_per_chunk > ewf_max_sectors_per_chunk) return false;
    if (ewf_chunk_bytes(m) > ewf_max_chunk_bytes) return false;
    return m.sector_count != 0 && m.sector_count <= ewf_max_media_bytes / bps;
}

uint64_t ewf_chunk_bytes(const ewf_media& m) { return uint64_t(m.sectors_per_chunk) * m.bytes_per_sector; }

uint64_t ewf_media_bytes(const ewf_media& m) { return m.sector_count * m.bytes_per_sector; }

uint64_t ewf_chunks_needed(const ewf_media& m) {
    const uint64_t chunk = ewf_chunk_bytes(m);
    if (chunk == 0) return 0;
    const uint64_t media = ewf_media_bytes(m);
    return media / chunk + (media % chunk != 0);
}
