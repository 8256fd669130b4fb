// Path to entry and entry to path on a fuzzed volume: the parameter chunk
// (or the root) is resolved with link following, and every low entry is
// climbed to the root.
#include "fuzz_input.hpp"

#include "ntfs/open_volume.hpp"
#include "ntfs/resolve.hpp"
#include "platform/unicode.hpp"

int fuzz::fuzz_paths(const uint8_t* data, size_t size) {
    image_input in = decode_image(data, size);
    const std::u16string path = in.param.empty() ? u"\\" : uni::to_utf16(in.param);
    std::unique_ptr<ntfs_volume> v;
    if (!open_memory_volume(std::move(in.image), 0, v)) return 0;
    resolve_result found;
    resolve_path(*v, path, true, nullptr, found);
    resolve_path(*v, path, false, nullptr, found);
    for (uint64_t e = 0; e < max_fuzz_entries; ++e) {
        std::vector<std::u16string> paths;
        collect_entry_paths(*v, e, {}, paths);
    }
    return 0;
}
