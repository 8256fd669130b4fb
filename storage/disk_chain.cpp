#include "storage/disk_chain.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/damage.hpp"

#include <algorithm>
#include <cstring>
#include <new>

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

bool chain_disk::open_file(const std::u16string& file_path, std::string& message) {
    path = file_path;
    name = uni::to_utf8(file_path);
    if (open_read_only(file_path, file, file_size)) return true;
    message = name + " can't be opened";
    return false;
}

bool chain_disk::read_part(uint64_t offset, uint64_t n, std::vector<uint8_t>& out) const {
    out.assign(static_cast<size_t>(n), 0);
    return offset <= file_size && n <= file_size - offset && read_exact(file, offset, out);
}

bool chain_disk::read(uint8_t* buffer, uint64_t offset, uint32_t length) {
    if (offset > disk_size || length > disk_size - offset || block_bytes == 0) {
        std::memset(buffer, 0, length);
        return false;
    }
    uint32_t done = 0;
    while (done < length) {
        const uint64_t at = offset + done;
        const uint32_t in_block = static_cast<uint32_t>(at % block_bytes);
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length - done, block_bytes - in_block));
        read_block(at / block_bytes, in_block, buffer + done, n);
        done += n;
    }
    return true;
}

void chain_disk::damaged(uint8_t* dst, uint32_t n, uint64_t block, const std::string& why) {
    std::memset(dst, 0, n);
    report_damage(name, "block " + std::to_string(block), why);
}

void chain_disk::read_parent(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n) {
    if (!parent) {
        damaged(dst, n, block, "held by the parent disk, which was not found");
        return;
    }
    std::memset(dst, 0, n);
    const uint64_t offset = block * block_bytes + at;
    if (offset >= parent->disk_size) return;
    const uint32_t held = static_cast<uint32_t>(std::min<uint64_t>(n, parent->disk_size - offset));
    if (!parent->read(dst, offset, held)) std::memset(dst, 0, held);
}

void chain_disk::read_own(uint64_t block, uint64_t file_offset, uint8_t* dst, uint32_t n) {
    if (!read_exact(file, file_offset, std::span<uint8_t>(dst, n))) damaged(dst, n, block, "read error");
}

void chain_disk::read_by_bitmap(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n, uint64_t data,
                                const sector_bitmap& bitmap) {
    // Only the bitmap bytes of the sectors asked for are read.
    const uint32_t sector = bitmap.sector_bytes;
    const uint64_t first = bitmap.first_bit + at / sector;
    const uint64_t last = bitmap.first_bit + (uint64_t(at) + n - 1) / sector;
    std::vector<uint8_t> bits(static_cast<size_t>(last / 8 - first / 8 + 1));
    if (!read_exact(file, bitmap.file_offset + first / 8, bits)) {
        damaged(dst, n, block, "read error");
        return;
    }
    const uint64_t skipped = first / 8 * 8;  // bits before the first byte read
    const auto present = [&](uint64_t s) { return bitmap.present(bits, bitmap.first_bit + s - skipped); };
    // Stretches of sectors of one state, each read in one go.
    const uint64_t end = uint64_t(at) + n;
    for (uint64_t from = at; from < end;) {
        const bool state = present(from / sector);
        uint64_t to = std::min(end, (from / sector + 1) * sector);
        while (to < end && present(to / sector) == state) to = std::min(end, to + sector);
        uint8_t* out = dst + (from - at);
        const uint32_t count = static_cast<uint32_t>(to - from);
        if (state) read_own(block, data + from, out, count);
        else if (differencing) read_parent(block, static_cast<uint32_t>(from), out, count);
        else std::memset(out, 0, count);
        from = to;
    }
}

bool open_chain(const std::u16string& path, open_chain_file open_file, const char* format,
                std::unique_ptr<disk_container>& out, std::string& message) try {
    out.reset();
    std::unique_ptr<chain_disk> top;
    if (!open_file(path, top, message)) return false;
    link_parents(*top, open_file);
    out = std::move(top);
    return true;
} catch (const std::bad_alloc&) {
    message = uni::to_utf8(path) + ": out of memory opening the " + format;
    out.reset();
    return false;
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
