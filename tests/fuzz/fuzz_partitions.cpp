// Partition scanning of a fuzzed disk: MBR with its extended chain, GPT,
// the boot sectors that name file systems, and the volume check.
#include "fuzz_input.hpp"

#include "storage/partitions.hpp"
#include "storage/sector_source.hpp"

#include <sstream>

int fuzz::fuzz_partitions(const uint8_t* data, size_t size) {
    image_input in = decode_image(data, size);
    SectorSource src;
    open_memory(src, std::move(in.image));
    for (bool lenient : {false, true}) {
        PartitionList list;
        scan_partitions(src, list, lenient);
        for (const Partition& p : list) {
            uint64_t at = 0, end = 0;
            if (partition_offset(p, at)) has_ntfs_at(src, at);
            partition_end(p, end);
            type_name(p.type);
        }
    }
    std::ostringstream messages;
    bool ntfs_found = false;
    uint64_t offset = 0;
    find_volume(messages, ntfs_found, offset, src, false);
    if (ntfs_found && offset != 0) find_volume(messages, ntfs_found, offset, src, true);
    return 0;
}
