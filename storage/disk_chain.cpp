#include "storage/disk_chain.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/damage.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

bool is_separator(char16_t c) { return c == u'/' || c == u'\\'; }

// The child's folder with its trailing separator; "" for a bare name. Both
// separators count on Windows; on POSIX a backslash is part of a name.
std::u16string folder_of(const std::u16string& path) {
    size_t cut = path.size();
    while (cut > 0 && path[cut - 1] != u'/' && path[cut - 1] != platform::host_separator) --cut;
    return path.substr(0, cut);
}

// The last component of a path written in a file, whichever separator it uses.
std::u16string leaf_of(const std::u16string& path) {
    size_t cut = path.size();
    while (cut > 0 && !is_separator(path[cut - 1])) --cut;
    return path.substr(cut);
}

bool is_letter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// A path that names a place from a root: a drive letter, a separator first
// (\\?\, UNC, or a POSIX path).
bool is_absolute(const std::u16string& p) {
    return (p.size() >= 2 && is_letter(p[0]) && p[1] == u':') || (!p.empty() && is_separator(p[0]));
}

// A path written by Windows in host form: on POSIX its backslashes become
// slashes; Windows takes either.
std::u16string host_form(std::u16string p) {
    if (platform::host_separator == u'/') std::replace(p.begin(), p.end(), u'\\', u'/');
    return p;
}

// An absolute path as the host can open it, or "" when it names nothing
// here. Windows opens a drive path, a UNC path and the \\?\ forms as they
// are; POSIX opens only a path that is already a POSIX one.
std::u16string host_absolute(const std::u16string& p) {
    if (platform::host_separator == u'\\') return p;
    if (!p.empty() && p[0] == u'/') return p;
    return {};
}

}  // namespace

std::string hex_of(std::span<const uint8_t> bytes) {
    std::string s;
    for (const uint8_t b : bytes) {
        s += hex_digits[b >> 4];
        s += hex_digits[b & 15];
    }
    return s;
}

std::string hex_number(uint64_t v) {
    std::string s;
    do {
        s.insert(s.begin(), hex_digits[v & 15]);
        v >>= 4;
    } while (v);
    return "0x" + s;
}

std::vector<std::u16string> parent_candidates(const std::u16string& child_path, const parent_hints& hints) {
    std::vector<std::u16string> out;
    const auto add = [&out](const std::u16string& c) {
        if (!c.empty() && std::find(out.begin(), out.end(), c) == out.end()) out.push_back(c);
    };
    const std::u16string folder = folder_of(child_path);
    std::vector<std::u16string> absolute;
    if (is_absolute(hints.relative)) {
        absolute.push_back(hints.relative);
    } else if (!hints.relative.empty()) {
        // ".\" in front says nothing: the name is looked up beside the child.
        std::u16string rel = hints.relative;
        while (rel.size() > 2 && rel[0] == u'.' && is_separator(rel[1])) rel.erase(0, 2);
        add(folder + host_form(rel));
    }
    absolute.insert(absolute.end(), hints.absolute.begin(), hints.absolute.end());
    for (const auto& a : absolute)
        if (is_absolute(a)) add(host_absolute(a));
    if (!hints.relative.empty()) add(folder + leaf_of(hints.relative));
    for (const auto& a : hints.absolute) add(folder + leaf_of(a));
    for (const auto& n : hints.names) add(folder + leaf_of(n));
    return out;
}

void chain_disk::read_parent(uint8_t* buffer, uint64_t offset, uint32_t length, const std::string& place) {
    std::memset(buffer, 0, length);
    if (!parent) {
        report_damage(name, place, "held by the parent disk, which was not found");
        return;
    }
    if (offset >= parent->disk_size) return;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, parent->disk_size - offset));
    if (!parent->read(buffer, offset, n)) std::memset(buffer, 0, n);
}

void chain_disk::read_own(uint8_t* buffer, uint64_t file_offset, uint32_t length, const std::string& place) {
    if (!read_exact(file, file_offset, std::span<uint8_t>(buffer, length))) {
        std::memset(buffer, 0, length);
        report_damage(name, place, "read error");
    }
}

void for_each_sector_run(uint64_t at, uint32_t length, uint32_t sector_bytes,
                         const std::function<bool(uint64_t)>& present,
                         const std::function<void(uint64_t, uint32_t, bool)>& run) {
    const uint64_t end = at + length;
    uint64_t from = at;
    while (from < end) {
        const uint64_t sector = from / sector_bytes;
        const bool state = present(sector);
        uint64_t to = std::min(end, (sector + 1) * sector_bytes);
        while (to < end && present(to / sector_bytes) == state) to = std::min(end, to + sector_bytes);
        run(from, static_cast<uint32_t>(to - from), state);
        from = to;
    }
}

void link_parents(chain_disk& top, open_chain_file open_file) {
    std::vector<std::string> seen{top.id};
    chain_disk* child = &top;
    for (uint32_t depth = 0; child->differencing; ++depth) {
        if (depth == max_parent_depth) {
            child->parent_missing = "deeper than " + std::to_string(max_parent_depth) + " files";
            report_container_note(top.name + ": chain of parent disks longer than " +
                                  std::to_string(max_parent_depth) + " files; " + child->name +
                                  "'s parent not opened, what it holds reads as zeros");
            return;
        }
        std::vector<std::string> refused;
        std::unique_ptr<chain_disk> found;
        for (const auto& candidate : parent_candidates(child->path, child->hints)) {
            const std::string shown = uni::to_utf8(candidate);
            if (!platform::is_regular_file(candidate)) {
                refused.push_back(shown + " not found");
                continue;
            }
            std::unique_ptr<chain_disk> p;
            std::string why;
            if (!open_file(candidate, p, why)) {
                refused.push_back(why);
                continue;
            }
            if (std::find(child->parent_ids.begin(), child->parent_ids.end(), p->id) == child->parent_ids.end()) {
                refused.push_back(shown + " is another disk (id " + p->id + ", expected " +
                                  (child->parent_ids.empty() ? std::string("none") : child->parent_ids.front()) + ")");
                continue;
            }
            if (std::find(seen.begin(), seen.end(), p->id) != seen.end()) {
                refused.push_back(shown + " is already in the chain (a loop)");
                continue;
            }
            found = std::move(p);
            break;
        }
        if (!found) {
            child->parent_missing = "not found";
            std::string tried;
            for (const auto& r : refused) tried += (tried.empty() ? "" : "; ") + r;
            if (tried.empty()) tried = "the file names no parent";
            report_container_note(child->name + ": parent disk not found (" + tried + "); what it holds reads as zeros");
            return;
        }
        seen.push_back(found->id);
        child->parent = std::move(found);
        child = child->parent.get();
    }
}
