// VMDK hosted sparse extents: the header checks, the descriptor, the grain
// directory and tables of a fuzzed extent file, reads through it, and the
// NTFS volume found inside it.
#include "fuzz_input.hpp"

#include "ntfs/index.hpp"
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"
#include "storage/vmdk.hpp"

int fuzz::fuzz_vmdk(const uint8_t* data, size_t size) {
    static const scratch_folder folder("vmdk");
    const std::span<const uint8_t> in(data, size);
    const vmdk_sparse_header h = read_sparse_header(in);
    grain_directory_entries(h);
    sparse_header_sane(h, size);
    vmdk_descriptor d;
    parse_descriptor(in, d);

    const std::string file = folder.write("extent.vmdk", std::vector<uint8_t>(data, data + size));
    if (file.empty()) return 0;
    const std::u16string path = uni::to_utf16(file);
    VmdkChain chain;
    if (!chain.add_file(path) || !chain.link()) return 0;
    std::vector<uint8_t> buf(64 * 1024);
    const uint64_t disk = chain.capacity_sectors() * vmdk_sector;
    for (uint64_t at : {uint64_t(0), disk / 2, disk - 4096, disk, ~uint64_t(0) - 100}) {
        uint32_t length = static_cast<uint32_t>(buf.size());
        chain.read(buf.data(), at, length);
    }
    std::unique_ptr<ntfs_volume> v;
    if (open_vmdk_volume({path}, 0, v)) {
        child_entry_set s;
        collect_directory_children(*v, 5, s);
    }
    return 0;
}
