#include "ntfs/runlist.hpp"
#include "ntfs/attribute_header.hpp"
#include "ntfs/volume.hpp"

#include <algorithm>
#include <cstring>
#include <map>

bool decode_mft_runs(le::bytes rl, std::vector<run>& out, uint32_t attr_type, bool empty_first) {
    if (empty_first) out.clear();
    size_t pos = 0;
    int64_t running = 0;
    bool any = false;
    while (pos < rl.size() && out.size() < max_runs_per_runlist) {
        const uint8_t h = rl[pos];
        if (h == 0) break;
        const unsigned l = h & 0x0F, f = h >> 4;
        // Offsets wider than 8 bytes cannot be represented; a run that does
        // not end inside the attribute is cut off there.
        if (f > 8 || !le::fits(rl, pos, 1 + l + f)) break;
        run r;
        r.attr_type = attr_type;
        r.position = pos;
        r.length = static_cast<uint32_t>(le::uint_n(rl, pos + 1, std::min(l, 8u)));
        r.has_offset = f > 0;
        if (f == 0) {
            r.lcn = -1;
        } else {
            running = static_cast<int64_t>(static_cast<uint64_t>(running) +
                                           static_cast<uint64_t>(le::int_n(rl, pos + 1 + l, f)));
            r.lcn = running;
        }
        r.delta = ~uint64_t(0);
        out.push_back(std::move(r));
        any = true;
        pos += 1 + l + f;
    }
    return any;
}

bool decode_runlist(le::bytes attr, std::vector<run>& out) {
    out.clear();
    const uint32_t length = le::u32(attr, attr_header::length);
    if (attr.empty() || length == 0) return false;
    const uint64_t end = std::min<uint64_t>(length, attr.size());
    const uint16_t rl_off = le::u16(attr, attr_header::runlist_offset);
    if (rl_off >= end) return true;
    int64_t remaining = static_cast<int64_t>(end - rl_off);
    uint64_t vcn = le::u64(attr, attr_header::first_vcn);
    uint64_t pos = rl_off;
    int64_t running = 0;
    while (remaining > 0 && out.size() < max_runs_per_runlist) {
        const uint8_t h = le::u8(attr, pos);
        if (h == 0) break;
        const unsigned l = h & 0x0F, f = h >> 4;
        const int64_t n = 1 + l + f;
        if (remaining < n || f > 8) break;
        uint64_t d = le::uint_n(attr, pos + 1 + l, f);
        run r;
        r.has_offset = f > 0;
        if (f > 0 && ((d >> (8 * f - 1)) & 1)) {
            r.negative = 1;
            const uint64_t mask = f == 8 ? ~uint64_t(0) : ((uint64_t(1) << (8 * f)) - 1);
            d = ((~d) + 1) & mask;
            running = static_cast<int64_t>(static_cast<uint64_t>(running) - d);
        } else {
            running = static_cast<int64_t>(static_cast<uint64_t>(running) + d);
        }
        r.lcn = running;
        r.delta = d;
        r.length = static_cast<uint32_t>(le::uint_n(attr, pos + 1, std::min(l, 8u)));
        r.vcn = vcn;
        r.attr_type = le::u32(attr, attr_header::type);
        r.position = pos;
        out.push_back(std::move(r));
        vcn += out.back().length;
        pos += static_cast<uint64_t>(n);
        remaining -= n;
    }
    return true;
}

std::vector<extent> runs_to_extents(const std::vector<run>& runs) {
    std::vector<extent> out;
    out.reserve(runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        const run& r = runs[i];
        extent e;
        e.vcn = r.vcn;
        e.length = r.length;
        if (r.delta != 0 || (i == 0 && r.has_offset)) {
            e.lcn = static_cast<uint64_t>(r.lcn);
        } else {
            e.sparse = 1;
        }
        out.push_back(e);
    }
    return out;
}

void merge_extents(std::vector<extent>& existing, const std::vector<extent>& added) {
    std::map<uint64_t, extent> by_vcn;
    for (const auto& e : existing) by_vcn.emplace(e.vcn, e);
    for (const auto& e : added) by_vcn.emplace(e.vcn, e);
    existing.clear();
    uint64_t next = 0;
    for (auto& [vcn, e] : by_vcn) {
        e.vcn = next;
        next += e.length;
        existing.push_back(e);
    }
}

bool map_vcn(const std::vector<extent>& extents, uint64_t v, size_t& index, uint64_t& lcn) {
    for (size_t i = 0; i < extents.size(); ++i) {
        const extent& e = extents[i];
        if (e.vcn <= v && v - e.vcn < e.length) {
            index = i;
            lcn = e.sparse ? 0 : e.lcn + (v - e.vcn);
            return true;
        }
    }
    return false;
}

uint64_t total_clusters(const std::vector<extent>& extents, bool allocated_only) {
    uint64_t total = 0;
    for (const auto& e : extents)
        if (!allocated_only || !e.sparse) total += e.length;
    return total;
}

bool read_range(ntfs_volume& v, const std::vector<extent>& extents, uint64_t s, uint8_t* buffer, uint32_t& n,
                uint32_t& w) {
    const bool skip_sparse = (w & read_range_skip_sparse) != 0;
    w = 8;
    const uint64_t c = v.bytes_per_cluster;
    if (c == 0 || !buffer || n == 0) return false;
    uint64_t a = s % c;
    const uint64_t first = s / c;
    const uint64_t last = (s + n) / c;
    uint64_t g = (s + n) % c;

    struct listed { uint64_t lcn; bool sparse; };
    std::vector<listed> clusters;
    for (uint64_t vcn = first; vcn <= last; ++vcn) {
        size_t idx = 0;
        uint64_t lcn = 0;
        if (!map_vcn(extents, vcn, idx, lcn)) break;
        const bool sparse = extents[idx].sparse != 0;
        if (sparse && skip_sparse) {
            if (vcn == first) a = 0;
            if (vcn == last) g = 0;
            continue;
        }
        clusters.push_back({lcn, sparse});
    }

    std::vector<uint8_t> cluster(static_cast<size_t>(c));
    uint64_t delivered = 0;
    bool processed = false;
    for (size_t i = 0; i < clusters.size() && delivered < n; ++i) {
        uint64_t from = 0, take = c;
        if (i == 0) {
            from = a;
            take = std::min<uint64_t>(n, c - a);
        } else if (i == clusters.size() - 1 && g != 0) {
            take = std::min<uint64_t>(n - delivered, g);
        }
        take = std::min<uint64_t>(take, n - delivered);
        processed = true;
        if (clusters[i].sparse) {
            std::memset(buffer + delivered, 0, static_cast<size_t>(take));
            w |= read_range_hit_sparse;
        } else {
            uint32_t len = static_cast<uint32_t>(c);
            if (!read_clusters(v, clusters[i].lcn, cluster.data(), len)) break;
            std::memcpy(buffer + delivered, cluster.data() + from, static_cast<size_t>(take));
        }
        delivered += take;
    }
    if (skip_sparse) w &= ~read_range_hit_sparse;
    if (!processed) return false;
    n = static_cast<uint32_t>(delivered);
    return true;
}
