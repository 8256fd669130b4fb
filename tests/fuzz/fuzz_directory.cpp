// Directory indexes on a fuzzed volume: index roots, allocations read
// through their runs, attribute lists placing them in extension records.
#include "fuzz_input.hpp"

#include "ntfs/index.hpp"
#include "ntfs/open_volume.hpp"

int fuzz::fuzz_directory(const uint8_t* data, size_t size) {
    image_input in = decode_image(data, size);
    std::unique_ptr<ntfs_volume> v;
    if (!open_memory_volume(std::move(in.image), 0, v)) return 0;
    for (uint64_t e = 0; e < max_fuzz_entries; ++e) {
        child_entry_set s;
        collect_directory_children(*v, e, s);
    }
    return 0;
}
