#include "support/volumes.hpp"
#include "support/test_paths.hpp"

namespace test_volumes {

std::vector<volume> all() {
    struct candidate {
        bool fixture;
        const char* name;
        uint64_t sector;
    };
    static const candidate list[] = {
        {true, "main.img", 0},
        {true, "bigdir.img", 0},
        {true, "streams.img", 0},
        {true, "c512.img", 0},
        {true, "c1024.img", 0},
        {true, "c64k.img", 0},
        {true, "s4096.img", 0},
        {true, "mftfrag.img", 0},
        {true, "mbr.img", 34816},
        {true, "mbr.img", 141312},
        {true, "gpt.img", 18432},
        {true, "gpt4k.img", 2048},
        {true, "mbr4k.img", 2048},
        {true, "vdisk.img", 2048},
        {true, "vdisk_changed.img", 2048},
        {false, "7-undel-ntfs/7-ntfs-undel.dd", 0},
        {false, "10-ntfs-autodetect/10-ntfs-disk.dd", 63},
        {false, "10-ntfs-autodetect/10-ntfs-disk.dd", 96390},
        {false, "10-ntfs-autodetect/10-ntfs-part1.dd", 0},
        {false, "10-ntfs-autodetect/10-ntfs-part2.dd", 0},
        {false, "10-ntfs-autodetect/10-ntfs-part3.dd", 0},
        {false, "ntfs3.raw", 0},
        {false, "ntfs3_attrlist.raw", 0},
        {false, "ntfs_index.raw", 128},
        {false, "vss_1_vol.raw", 67584},
        {false, "vss_3_volstor.raw", 2048},
        {false, "vss_3_volstor.raw", 4196352},
    };
    std::vector<volume> out;
    for (const auto& c : list) {
        const std::string p = c.fixture ? test_paths::fixture(c.name) : test_paths::testdata(c.name);
        if (p.empty()) continue;
        out.push_back({std::string(c.name) + "@" + std::to_string(c.sector), p, c.sector * 512});
    }
    return out;
}

}  // namespace test_volumes
