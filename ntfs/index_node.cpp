#include "ntfs/index_node.hpp"
#include "ntfs/file_record.hpp"

#include <algorithm>
#include <cstring>

bool walk_index_node(child_entry_set& s, le::bytes b, uint64_t h, bool c) {
    bool reached_end = false;
    return walk_index_node(s, b, h, c, reached_end);
}

bool walk_index_node(child_entry_set& s, le::bytes b, uint64_t h, bool c, bool& reached_end) {
    reached_end = false;
    if (!le::fits(b, h, 16)) return false;
    const uint32_t n = le::u32(b, h + 4);
    if (n - 1u > max_node_bytes - 1u) return false;
    uint64_t e = h + le::u32(b, h);
    int64_t remaining = n;
    bool end_entry = false;
    while (remaining < static_cast<int64_t>(max_node_bytes)) {
        if (!le::fits(b, e, 16)) break;
        const uint64_t ref = le::u64(b, e);
        const uint16_t len = le::u16(b, e + 8);
        const uint16_t key_len = le::u16(b, e + 10);
        const uint16_t flags = le::u16(b, e + 12);
        if (len > n || key_len > n) break;
        if (!c && key_len > len) break;
        if (ref == 0 || flags == 2 || flags == 3) {
            if (!c) {
                end_entry = flags == 2 || flags == 3;
                break;
            }
        } else {
            s.emplace(ref & entry_number_mask, static_cast<uint8_t>(c));
        }
        remaining -= len;
        if (remaining < 0) break;
        e += len;
        const uint16_t next = le::u16(b, e + 8);
        if (!le::fits(b, e, 16) || next == 0 || next > max_index_entry_length) break;
        if (remaining <= 0) break;
    }
    // Whole when the walk stopped at the end entry and that entry ends
    // where the bytes in use do. A stop on a bad entry, an end entry the
    // walk never met, or one that leaves bytes in use after it: the
    // entries that follow are left out.
    reached_end = end_entry && e + le::u16(b, e + 8) >= h + n;
    return true;
}

void subnode_vcns(le::bytes b, uint64_t h, std::vector<uint64_t>& vcns) {
    if (!le::fits(b, h, 16)) return;
    const uint32_t n = le::u32(b, h + 4);
    if (n - 1u > max_node_bytes - 1u) return;
    const uint64_t end = h + n;
    constexpr uint16_t leads_to_subnode = 0x01, last_entry = 0x02;
    // Each entry is at least 16 bytes long, so a node holds at most 256.
    for (uint64_t e = h + le::u32(b, h); e + 16 <= end && le::fits(b, e, 16);) {
        const uint16_t len = le::u16(b, e + 8);
        const uint16_t flags = le::u16(b, e + 12);
        if (len < 16 || len > max_index_entry_length || e + len > end) return;
        if ((flags & leads_to_subnode) && len >= 24 && le::fits(b, e + len - 8, 8)) vcns.push_back(le::u64(b, e + len - 8));
        if (flags & last_entry) return;
        e += len;
    }
}

void fixup_index_block(std::span<uint8_t> block) {
    if (!le::has(block, 0, "INDX")) return;
    const uint16_t u = le::u16(block, 4), w = le::u16(block, 6);
    apply_fixups(block, block.size(), u, w);
}

namespace {

// Reads the blocks of `runs` into `out` (n blocks long) from its start;
// `filled` says how many bytes from the start were filled: past them the
// bytes are the caller's to zero.
// `k` is the clusters a block, 1 where a cluster holds one or more blocks;
// `d` the bytes of the allocation, which the read-ahead hints cover.
void fill_index_blocks(ntfs_volume& v, std::vector<uint8_t>& out, uint32_t n, const std::vector<extent>& runs,
                       uint64_t k, uint64_t d, size_t& filled) {
    const uint64_t a = v.bytes_per_cluster;
    prefetch_runs(v, runs, d);
    // Clusters no larger than a block are read straight into their place;
    // what a short read leaves is zeroed. Larger ones hold several blocks
    // and go through a buffer of their own, since the last may hold more
    // blocks than are wanted.
    std::vector<uint8_t> cluster(a > index_block_size ? static_cast<size_t>(a) : 0);
    uint64_t done = 0;      // complete blocks
    uint64_t in_block = 0;  // clusters gathered for the current block (small clusters)
    for (const extent& e : runs) {
        if (e.sparse) continue;
        uint32_t i = 0;
        // Small clusters of an image are read as one stretch per extent,
        // straight into place: what the loop below does cluster by cluster
        // through the cache, when every byte arrives. Otherwise (or where
        // the stretch fails) the loop reads the extent.
        if (a <= index_block_size && v.initialized && e.lcn <= UINT64_MAX / a && reads_stretches(v)) {
            const uint64_t wanted = std::min<uint64_t>(e.length, (n - done) * k - in_block);
            uint8_t* into = out.data() + done * index_block_size + in_block * a;
            if (wanted > 0 && read_volume_stretch(v, e.lcn * a, into, wanted * a)) {
                const uint64_t gathered = in_block + wanted;
                for (uint64_t b = 0; b < gathered / k; ++b)
                    fixup_index_block(std::span<uint8_t>(out).subspan((done + b) * index_block_size, index_block_size));
                done += gathered / k;
                in_block = gathered % k;
                i = e.length;
            }
        }
        for (; i < e.length && done < n; ++i) {
            uint32_t len = static_cast<uint32_t>(a);
            uint8_t* into = a <= index_block_size ? out.data() + done * index_block_size + in_block * a : cluster.data();
            if (!read_clusters(v, e.lcn + i, into, len)) len = 0;
            if (len < a) {
                // What could not be read (a bad sector, the end of a cut
                // image), or lies past the end of the source, is no index:
                // it is zeroed, leaving no bytes of a failed read behind,
                // and its block fails its checks. The clusters after it are
                // read on, since later extents may lie before the damage.
                ++v.index_gaps;
                std::memset(into + len, 0, static_cast<size_t>(a - len));
            }
            if (a <= index_block_size) {
                if (++in_block == k) {
                    fixup_index_block(std::span<uint8_t>(out).subspan(done * index_block_size, index_block_size));
                    ++done;
                    in_block = 0;
                }
            } else {
                for (uint64_t sub = 0; sub < a / index_block_size && done < n; ++sub) {
                    std::memcpy(out.data() + done * index_block_size, cluster.data() + sub * index_block_size,
                                index_block_size);
                    fixup_index_block(std::span<uint8_t>(out).subspan(done * index_block_size, index_block_size));
                    ++done;
                }
            }
        }
        if (done >= n) break;
    }
    filled = static_cast<size_t>(done * index_block_size + (a <= index_block_size ? in_block * a : 0));
}
}  // namespace

std::vector<uint64_t> index_block_numbers(const std::vector<extent>& runs, uint64_t a, uint32_t n) {
    std::vector<uint64_t> numbers;
    if (a == 0) return numbers;
    numbers.reserve(n);
    // Where the extent starts in the buffer, and where the next block does.
    // A block that starts before an extent's end is placed by the VCN of
    // that extent; the next block's start never lies before the extent's,
    // so both stay below n blocks plus one extent (no overflow).
    uint64_t packed = 0, next = 0;
    for (const extent& e : runs) {
        if (numbers.size() >= n) break;
        if (e.sparse) continue;
        const uint64_t end = packed + uint64_t(e.length) * a;
        const bool placeable = e.vcn <= (UINT64_MAX - end) / a;
        for (; next < end && numbers.size() < n; next += index_block_size)
            numbers.push_back(placeable ? (e.vcn * a + (next - packed)) / index_block_size : UINT64_MAX);
        packed = end;
    }
    return numbers;
}

bool load_index_blocks(ntfs_volume& v, std::vector<uint8_t>& out, uint32_t& n, const std::vector<extent>& runs) {
    const auto none = [&out] {
        out.clear();
        return false;
    };
    if (runs.empty()) return none();
    const uint64_t a = v.bytes_per_cluster;
    if (a == 0) return none();
    // An allocation can never hold more clusters than the volume has: as its
    // boot sector claims it, and as its source really holds it (the boot
    // sector of a damaged volume may claim any size).
    uint64_t volume_clusters = v.total_clusters ? v.total_clusters : 1;
    const uint64_t source_bytes = v.source ? total_size(*v.source) : 0;
    const uint64_t start = v.volume_offset > 0 ? static_cast<uint64_t>(v.volume_offset) : 0;
    if (source_bytes > 0) volume_clusters = std::min<uint64_t>(volume_clusters, source_bytes > start ? (source_bytes - start) / a : 0);
    const uint64_t clusters =
        std::min({total_clusters(runs, true), volume_clusters, max_index_allocation_bytes / a});
    const uint64_t d = a * clusters;
    if (d == 0) return none();
    uint64_t blocks = 0;
    uint64_t k = 1;
    if (a < index_block_size) {
        k = index_block_size / a;
        blocks = d / a / k;
    } else {
        blocks = (a / index_block_size) * (d / a);
    }
    if (blocks == 0) return none();
    n = static_cast<uint32_t>(std::min<uint64_t>(n, blocks));
    // `out` may be a buffer kept from an earlier call. It is never made
    // shorter, since growing it again would zero bytes the reads then
    // overwrite; what the reads below do not fill of the blocks is zeroed
    // when they end, not all of it first.
    const size_t length = size_t(n) * index_block_size;
    if (out.size() < length) out.resize(length);
    size_t filled = 0;
    fill_index_blocks(v, out, n, runs, k, d, filled);
    std::memset(out.data() + filled, 0, length - filled);
    return true;
}

