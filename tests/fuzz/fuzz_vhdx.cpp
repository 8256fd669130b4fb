// VHDX files: the header, region table, metadata and parent locator checks
// on the raw input, then a fuzzed file (and the parent it may name,
// "p.vhdx") opened as -image opens it, read, and its NTFS volume listed.
#include "fuzz_input.hpp"

#include "storage/vhdx_header.hpp"
#include "storage/vhdx_metadata.hpp"

int fuzz::fuzz_vhdx(const uint8_t* data, size_t size) {
    static const scratch_folder folder("vhdx");
    const std::span<const uint8_t> in(data, size);
    std::string why;
    vhdx_header h;
    parse_vhdx_header(in, h, why);
    vhdx_regions r;
    parse_vhdx_region_table(in, r, why);
    vhdx_metadata m;
    parse_vhdx_metadata(in, m, why);
    run_container(folder, data, size, "disk.vhdx", "p.vhdx");
    return 0;
}
