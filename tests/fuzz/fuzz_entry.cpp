// MFT entry loading: base records, attribute lists and the extension
// records they name, flattened into attribute items.
#include "fuzz_input.hpp"

#include "ntfs/attributes.hpp"
#include "ntfs/open_volume.hpp"

int fuzz::fuzz_entry(const uint8_t* data, size_t size) {
    image_input in = decode_image(data, size);
    std::unique_ptr<ntfs_volume> v;
    if (!open_memory_volume(std::move(in.image), 0, v)) return 0;
    std::vector<attr_desc> items;
    for (uint64_t e = 0; e < max_fuzz_entries; ++e) collect_entry_attrs(*v, e, items);
    return 0;
}
