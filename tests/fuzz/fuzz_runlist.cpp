// Both runlist decoders, extents and their merging, VCN mapping, and
// attribute reads through fuzzed extents over a small in-memory volume.
#include "fuzz_input.hpp"

#include "ntfs/attribute_header.hpp"
#include "ntfs/runlist.hpp"
#include "ntfs/volume.hpp"

#include <algorithm>

namespace {
// The in-memory volume behind the reads: 64 KiB, so that extents run past
// its end as often as they stay inside.
constexpr size_t volume_bytes = 64 * 1024;
// Reads take at most this much, like the engine's largest bounded reads.
constexpr uint32_t max_read = 64 * 1024;
}  // namespace

int fuzz::fuzz_runlist(const uint8_t* data, size_t size) {
    const le::bytes in(data, size);
    // The attribute as a whole, as the non-resident decoder sees it.
    std::vector<run> runs;
    decode_runlist(in, runs);
    std::vector<extent> ext = runs_to_extents(runs);

    // The MFT decoder on the runlist the header points at.
    const uint16_t rl = le::u16(in, attr_header::runlist_offset);
    std::vector<run> mft_runs;
    decode_mft_runs(le::sub(in, rl, size - std::min<size_t>(rl, size)), mft_runs, attr_data, true);

    // A second piece from the input's second half merged into the first.
    std::vector<run> more;
    decode_runlist(le::sub(in, size / 2, size - size / 2), more);
    merge_extents(ext, runs_to_extents(more));
    total_clusters(ext, true);
    total_clusters(ext, false);
    size_t index = 0;
    uint64_t lcn = 0;
    for (uint64_t vcn : {uint64_t(0), le::u64(in, attr_header::first_vcn), le::u64(in, attr_header::last_vcn)})
        map_vcn(ext, vcn, index, lcn);

    ntfs_volume v;
    v.source = std::make_unique<SectorSource>();
    std::vector<uint8_t> disk(volume_bytes);
    for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i * 7);
    open_memory(*v.source, std::move(disk));
    v.initialized = true;
    v.bytes_per_sector = 512;
    v.bytes_per_cluster = 512u << (le::u8(in, attr_header::compression_unit) % 4);
    v.sectors_per_cluster = v.bytes_per_cluster / 512;
    v.total_clusters = volume_bytes / v.bytes_per_cluster;
    std::vector<uint8_t> buf(max_read);
    const uint64_t start = le::u64(in, attr_header::initialized_size) % (uint64_t(1) << 40);
    uint32_t length = std::max<uint32_t>(1, le::u32(in, attr_header::real_size) % max_read);
    uint32_t flags = le::u8(in, attr_header::non_resident) & read_range_skip_sparse;
    read_range(v, ext, start, buf.data(), length, flags);
    return 0;
}
