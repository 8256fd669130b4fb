#include "storage/mountinfo.hpp"

#include <algorithm>
#include <array>
#include <map>

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// A decimal number of at most 32 bits; false on anything else.
bool parse_u32(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// The next field separated by single spaces, from `pos` on; false at the end.
bool next_field(std::string_view line, size_t& pos, std::string_view& field) {
    if (pos >= line.size()) return false;
    const size_t end = std::min(line.find(' ', pos), line.size());
    field = line.substr(pos, end - pos);
    pos = end + 1;
    return true;
}

}  // namespace

std::string decode_mount_field(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
            is_octal(field[i + 3])) {
            const int v = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (v <= 0xFF) {
                out.push_back(static_cast<char>(v));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool parse_mount_line(std::string_view line, mount_entry& out) {
    out = mount_entry{};
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // id, parent id, major:minor, root, mount point, options
    std::array<std::string_view, 6> head;
    size_t pos = 0;
    for (auto& f : head)
        if (!next_field(line, pos, f) || f.empty()) return false;
    if (!parse_u32(head[0], out.id) || !parse_u32(head[1], out.parent)) return false;
    const size_t colon = head[2].find(':');
    if (colon == std::string_view::npos || !parse_u32(head[2].substr(0, colon), out.device.major) ||
        !parse_u32(head[2].substr(colon + 1), out.device.minor))
        return false;
    // Optional fields up to the "-" that ends them.
    std::string_view f;
    do {
        if (!next_field(line, pos, f)) return false;
    } while (f != "-");
    std::string_view type, source;
    if (!next_field(line, pos, type) || type.empty() || !next_field(line, pos, source)) return false;
    out.root = decode_mount_field(head[3]);
    out.mount_point = decode_mount_field(head[4]);
    out.fs_type = decode_mount_field(type);
    out.source = decode_mount_field(source);
    return !out.mount_point.empty() && out.mount_point[0] == '/';
}

std::vector<mount_entry> parse_mount_table(std::string_view text) {
    std::vector<mount_entry> out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t end = std::min(text.find('\n', i), text.size());
        mount_entry m;
        if (parse_mount_line(text.substr(i, end - i), m)) out.push_back(std::move(m));
        i = end + 1;
    }
    return out;
}

bool path_within(std::string_view mount_point, std::string_view path) {
    if (mount_point.empty() || path.empty() || path[0] != '/') return false;
    if (mount_point == "/") return true;
    if (path.size() < mount_point.size() || path.compare(0, mount_point.size(), mount_point) != 0) return false;
    return path.size() == mount_point.size() || path[mount_point.size()] == '/';
}

std::vector<bool> covered_mounts(const std::vector<mount_entry>& mounts) {
    // By a sibling, which hides what lies within too; by a mount on the
    // same point, which lies over the mount and what lies within it.
    std::vector<bool> covered(mounts.size(), false);
    std::vector<bool> stacked(mounts.size(), false);
    std::map<uint32_t, std::vector<size_t>> children;
    std::map<uint32_t, size_t> by_id;
    for (size_t i = 0; i < mounts.size(); ++i) {
        children[mounts[i].parent].push_back(i);
        by_id.emplace(mounts[i].id, i);
    }
    for (const auto& [parent, group] : children) {
        for (const size_t i : group) {
            const mount_entry& m = mounts[i];
            for (const size_t j : group) {
                const mount_entry& n = mounts[j];
                if (j == i || m.id == parent || n.id == parent || !path_within(n.mount_point, m.mount_point)) continue;
                if (n.mount_point.size() < m.mount_point.size() || j > i) covered[i] = true;
            }
            // A child on the mount's own point lies over all of it.
            const auto p = by_id.find(parent);
            if (p != by_id.end() && p->second != i && m.id != parent && m.mount_point == mounts[p->second].mount_point)
                stacked[p->second] = true;
        }
    }
    // What lies within a mount a sibling covers is covered too (within a
    // stacked one, all but the mount on top is covered by that as a
    // sibling); the walk up is bounded, since a damaged table may hold a
    // loop of parents.
    std::vector<bool> out = covered;
    for (size_t i = 0; i < mounts.size(); ++i) {
        size_t at = i;
        for (size_t steps = 0; steps < mounts.size() && !out[i]; ++steps) {
            const auto p = by_id.find(mounts[at].parent);
            if (p == by_id.end() || p->second == at) break;
            at = p->second;
            if (covered[at]) out[i] = true;
        }
    }
    for (size_t i = 0; i < mounts.size(); ++i)
        if (stacked[i]) out[i] = true;
    return out;
}

bool find_mount(const std::vector<mount_entry>& mounts, std::string_view path, const mount_device* device,
                size_t& index) {
    // Only mounts whose point contains the path can cover one that does
    // (a mount's parent, and a sibling over it, lie on a folder above it):
    // the rest of a large table is left out of the comparisons.
    std::vector<size_t> within;
    std::vector<mount_entry> candidates;
    for (size_t i = 0; i < mounts.size(); ++i) {
        if (!path_within(mounts[i].mount_point, path)) continue;
        within.push_back(i);
        candidates.push_back(mounts[i]);
    }
    const std::vector<bool> covered = covered_mounts(candidates);
    bool found = false;
    bool found_on_device = false;
    bool found_shown = false;
    size_t best_length = 0;
    for (size_t k = 0; k < within.size(); ++k) {
        const size_t i = within[k];
        const mount_entry& m = mounts[i];
        const bool on_device =
            device && m.device.major == device->major && m.device.minor == device->minor;
        const bool shown = !covered[k];
        // A later mount on an equally long point lies on top: >= lets it win.
        const bool better = !found || (on_device && !found_on_device) ||
                            (on_device == found_on_device &&
                             ((shown && !found_shown) ||
                              (shown == found_shown && m.mount_point.size() >= best_length)));
        if (!better) continue;
        found = true;
        found_on_device = on_device;
        found_shown = shown;
        best_length = m.mount_point.size();
        index = i;
    }
    return found;
}

bool is_ntfs_mount_type(std::string_view fs_type) {
    for (const std::string_view t : {"ntfs3", "ntfs", "fuseblk", "fuse", "fuseblk.ntfs-3g", "fuse.ntfs-3g",
                                     "fuseblk.lowntfs-3g", "fuse.lowntfs-3g"})
        if (fs_type == t) return true;
    return false;
}

bool volume_path_of(const mount_entry& m, std::string_view path, std::string& out) {
    out.clear();
    if (!path_within(m.mount_point, path) || m.root.empty() || m.root[0] != '/') return false;
    // The root of a bind mount whose folder was removed reads "/a/b//deleted":
    // the folder that path would name on the volume is another one, if any.
    if (m.root.find("//") != std::string::npos) return false;
    const std::string_view below = m.mount_point == "/" ? path : path.substr(m.mount_point.size());
    if (m.root != "/") out = m.root;
    out.append(below);
    if (out.empty()) out = "/";
    for (auto& c : out)
        if (c == '/') c = '\\';
    return true;
}
