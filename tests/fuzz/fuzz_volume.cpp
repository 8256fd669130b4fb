// The boot sector and volume initialization, then record reads through the
// MFT's runs: both fixup variants and the raw cluster reads.
#include "fuzz_input.hpp"

#include "ntfs/boot_sector.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/open_volume.hpp"

#include <algorithm>

int fuzz::fuzz_volume(const uint8_t* data, size_t size) {
    image_input in = decode_image(data, size);
    boot_sector_fields bs;
    parse_boot_sector(in.image, bs);
    std::unique_ptr<ntfs_volume> v;
    if (!open_memory_volume(std::move(in.image), 0, v)) return 0;

    std::vector<uint8_t> rec;
    std::vector<uint8_t> buf(max_record_size);
    for (uint64_t e = 0; e < max_fuzz_entries; ++e) {
        read_file_record(*v, e, rec);
        int kind = 0;
        read_record_checked(*v, e, rec, kind);
        uint32_t length = 0;
        read_file_record(*v, e, std::span<uint8_t>(buf), length);
    }
    // Entry numbers at the ends of the range map without overflow.
    for (uint64_t e : {uint64_t(v->entry_count), uint64_t(1) << 47, entry_number_mask, ~uint64_t(0)}) {
        uint32_t length = 0;
        entry_offset(*v, e, &length);
        read_file_record(*v, e, rec);
    }
    std::vector<uint8_t> cluster(v->bytes_per_cluster);
    for (uint64_t lcn : {uint64_t(0), v->total_clusters, v->total_clusters - 1, ~uint64_t(0)}) {
        uint32_t length = v->bytes_per_cluster;
        read_clusters(*v, lcn, cluster.data(), length);
    }
    return 0;
}
