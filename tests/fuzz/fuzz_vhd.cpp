// VHD files: the footer and dynamic header checks on the raw input, then a
// fuzzed file (and the parent it may name, "p.vhd") opened as -image opens
// it, read, and its NTFS volume listed.
#include "fuzz_input.hpp"

#include "storage/vhd_footer.hpp"
#include "storage/vhd_header.hpp"

int fuzz::fuzz_vhd(const uint8_t* data, size_t size) {
    static const scratch_folder folder("vhd");
    const std::span<const uint8_t> in(data, size);
    vhd_footer f;
    vhd_dynamic_header h;
    std::string why;
    parse_vhd_footer(in, f, why);
    parse_vhd_header(in, h, why);
    run_container(folder, data, size, "disk.vhd", "p.vhd");
    return 0;
}
