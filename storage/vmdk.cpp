#include "storage/vmdk.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/damage.hpp"
#include "storage/le.hpp"
#include "storage/partitions.hpp"
#include "storage/sector_source.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <sstream>

namespace {

// Bytes of the virtual disk scanned for partitions when an extent opens:
// the MBR, and a GPT header with its 128 entries at sector sizes up to 4096.
constexpr uint32_t first_area_bytes = 65536;
// The parent CID of a base disk.
constexpr std::string_view no_parent_cid = "ffffffff";

// Reads exactly `n` bytes at `offset`; false on a failed or short read.
bool read_exact(int fd, uint8_t* buffer, uint64_t n, uint64_t offset) {
    while (n > 0) {
        const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(n, 1u << 30));
        const int64_t got = platform::pread_file(fd, buffer, part, static_cast<int64_t>(offset));
        if (got <= 0) return false;
        buffer += got;
        offset += static_cast<uint64_t>(got);
        n -= static_cast<uint64_t>(got);
    }
    return true;
}

// Fills `n` bytes from `file_offset` of an extent's file: bytes past the
// end of the file, or that a read does not return, are zeros.
void read_file_part(const VmdkExtent& e, uint64_t file_offset, uint8_t* dst, uint32_t n) {
    const uint64_t length = static_cast<uint64_t>(e.file_length);
    uint32_t got = 0;
    if (file_offset < length) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(n, length - file_offset));
        const int64_t r = platform::pread_file(e.file.fd, dst, want, static_cast<int64_t>(file_offset));
        if (r > 0) got = static_cast<uint32_t>(r);
    }
    if (got < n) std::memset(dst + got, 0, n - got);
}

// Serves one piece that lies inside a single grain of extent `e` (or of no
// extent, when `e` is null).
void read_piece(const VmdkExtent* e, uint64_t offset, uint8_t* dst, uint32_t n) {
    uint64_t file_offset = 0;
    const grain_place place = e ? e->locate(offset, file_offset) : grain_place::absent;
    if (place == grain_place::in_file) {
        read_file_part(*e, file_offset, dst, n);
        return;
    }
    std::memset(dst, 0, n);
    if (place == grain_place::damaged)
        report_damage(uni::to_utf8(e->path), "grain " + std::to_string(offset / e->grain_bytes),
                      "its grain table entry points into the extent's header or tables");
}

std::string lower(std::string_view s) { return uni::ascii_lower(s); }

std::string unquoted(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

std::u16string file_name_of(const std::u16string& path) {
    const size_t cut = path.find_last_of(u"\\/");
    return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

bool can_open(const std::u16string& path) {
    const int fd = platform::open_file(path, platform::open_mode::read, false);
    if (fd < 0) return false;
    platform::close_file(fd);
    return true;
}

// True when `hint` names one of the files given on the command line (the
// same name, or the same file name).
bool names_given(const std::u16string& hint, const std::vector<std::u16string>& given) {
    const std::u16string hint_name = uni::ascii_lower(file_name_of(hint));
    for (const auto& g : given)
        if (g == hint || uni::ascii_lower(file_name_of(g)) == hint_name) return true;
    return false;
}

}  // namespace

bool VmdkExtent::open(const std::u16string& file_path) try {
    valid = false;
    path = file_path;
    file.reset(platform::open_file(path, platform::open_mode::read, false));
    if (file.fd < 0) return false;
    file_length = platform::seek_file(file.fd, 0, 2);
    platform::seek_file(file.fd, 0, 0);
    if (file_length < static_cast<int64_t>(vmdk_sector)) return false;
    const uint64_t length = static_cast<uint64_t>(file_length);

    if (!read_exact(file.fd, header.data(), header.size(), 0)) return false;
    fields = read_sparse_header(header);
    if (!sparse_header_sane(fields, length)) return false;

    std::vector<uint8_t> text(fields.descriptor_size * vmdk_sector);
    if (!read_exact(file.fd, text.data(), text.size(), fields.descriptor_offset * vmdk_sector)) return false;
    vmdk_descriptor d;
    parse_descriptor(text, d);
    descriptor_lines = std::move(d.lines);
    encoding = std::move(d.encoding);
    cid = std::move(d.cid);
    parent_cid = std::move(d.parent_cid);
    parent_hint = std::move(d.parent_hint);

    grain_bytes = fields.grain_size * vmdk_sector;
    gt_bytes = grain_bytes * fields.num_gtes_per_gt;

    const uint64_t gd_entries = grain_directory_entries(fields);
    std::vector<uint8_t> raw(gd_entries * 4);
    if (!read_exact(file.fd, raw.data(), raw.size(), fields.gd_offset * vmdk_sector)) return false;
    grain_directory.resize(gd_entries);
    for (uint64_t i = 0; i < gd_entries; ++i) grain_directory[i] = le::u32(raw, 4 * i);
    first_gt_offset = grain_directory.empty() ? 0 : uint64_t(grain_directory[0]) * vmdk_sector;

    // Every table must lie wholly inside the file: a table that does not is
    // damage, and the extent is refused.
    const uint64_t table_bytes = uint64_t(fields.num_gtes_per_gt) * 4;
    grain_tables.assign(gd_entries * fields.num_gtes_per_gt, 0);
    raw.resize(table_bytes);
    for (uint64_t t = 0; t < gd_entries; ++t) {
        const uint64_t at = uint64_t(grain_directory[t]) * vmdk_sector;
        if (at == 0) continue;
        if (at > length || table_bytes > length - at) return false;
        if (!read_exact(file.fd, raw.data(), table_bytes, at)) return false;
        for (uint32_t e = 0; e < fields.num_gtes_per_gt; ++e)
            grain_tables[t * fields.num_gtes_per_gt + e] = le::u32(raw, 4 * uint64_t(e));
    }
    first_sector_offset = grain_tables.empty() ? 0 : uint64_t(grain_tables[0]) * vmdk_sector;

    table_sector_count = (table_bytes + vmdk_sector - 1) / vmdk_sector;
    for (const uint32_t gt : grain_directory)
        if (gt != 0) table_sectors.push_back(gt);
    std::sort(table_sectors.begin(), table_sectors.end());
    add_redundant_tables(length);

    // The partitions of the disk as far as this extent holds it.
    std::vector<uint8_t> area(first_area_bytes);
    read_own(area.data(), 0, first_area_bytes);
    std::copy_n(area.begin(), first_sector.size(), first_sector.begin());
    SectorSource mem;
    open_memory(mem, std::move(area));
    PartitionList list;
    if (scan_partitions(mem, list, false) == 0) scan_partitions(mem, list, true);
    for (const auto& p : list) {
        uint64_t off = 0;
        if (!partition_offset(p, off)) continue;
        partition_offsets.push_back(off);
        partition_kinds.push_back(p.type);
    }

    grain_pages = grain_bytes / 4096;
    valid = true;
    return true;
} catch (const std::bad_alloc&) {
    valid = false;
    return false;
}

grain_place VmdkExtent::locate(uint64_t offset, uint64_t& file_offset) const {
    if (gt_bytes == 0 || grain_bytes == 0) return grain_place::absent;
    const uint64_t t = offset / gt_bytes;
    if (t >= grain_directory.size()) return grain_place::absent;
    const uint64_t e = (offset % gt_bytes) / grain_bytes;
    const uint64_t index = t * fields.num_gtes_per_gt + e;
    if (e >= fields.num_gtes_per_gt || index >= grain_tables.size()) return grain_place::absent;
    const uint32_t s = grain_tables[index];
    if (s == 0) return grain_place::absent;
    if (s == 1 && (fields.flags & vmdk_flag_zeroed_grain)) return grain_place::zeros;
    if (over_metadata(s, fields.grain_size)) return grain_place::damaged;
    file_offset = uint64_t(s) * vmdk_sector + offset % grain_bytes;
    return grain_place::in_file;
}

void VmdkExtent::add_redundant_tables(uint64_t length) {
    // The redundant directory and its tables are never read for data, but
    // a grain placed over them is as much damage as one over the primary
    // ones. Only what a writer really put there counts: a directory that
    // cannot be read takes no part, and a table only where it holds its
    // primary table's entries, and the directory itself only when one of
    // its tables does. Anything else (a stale or damaged directory, or a
    // redundant offset that is not one) would otherwise refuse good grains
    // that lie where it points.
    const uint64_t gd_entries = grain_directory.size();
    if (fields.rgd_offset == 0 || fields.rgd_offset > length / vmdk_sector ||
        gd_entries * 4 > length - fields.rgd_offset * vmdk_sector)
        return;
    std::vector<uint8_t> raw(gd_entries * 4);
    if (!read_exact(file.fd, raw.data(), raw.size(), fields.rgd_offset * vmdk_sector)) return;
    const uint64_t table_bytes = uint64_t(fields.num_gtes_per_gt) * 4;
    std::vector<uint8_t> table(table_bytes);
    std::vector<uint32_t> found;
    for (uint64_t t = 0; t < gd_entries; ++t) {
        const uint32_t gt = le::u32(raw, 4 * t);
        const uint64_t at = uint64_t(gt) * vmdk_sector;
        if (gt == 0 || grain_directory[t] == 0 || at > length || table_bytes > length - at ||
            !read_exact(file.fd, table.data(), table_bytes, at))
            continue;
        bool same = true;
        for (uint32_t e = 0; e < fields.num_gtes_per_gt && same; ++e)
            same = le::u32(table, 4 * uint64_t(e)) == grain_tables[t * fields.num_gtes_per_gt + e];
        if (same) found.push_back(gt);
    }
    if (found.empty()) return;
    redundant_directory = fields.rgd_offset;
    table_sectors.insert(table_sectors.end(), found.begin(), found.end());
    std::sort(table_sectors.begin(), table_sectors.end());
}

bool VmdkExtent::over_metadata(uint64_t first, uint64_t count) const {
    // Sectors are u32 values or were checked against the file, and counts
    // are bounded by the header limits: no sum here overflows.
    const uint64_t end = first + count;
    const auto meets = [first, end](uint64_t at, uint64_t sectors) { return at < end && first < at + sectors; };
    const uint64_t gd_sectors = (uint64_t(grain_directory.size()) * 4 + vmdk_sector - 1) / vmdk_sector;
    if (meets(0, 1) || meets(fields.descriptor_offset, fields.descriptor_size) || meets(fields.gd_offset, gd_sectors) ||
        (redundant_directory != 0 && meets(redundant_directory, gd_sectors)))
        return true;
    // The first table starting after `first - table_sector_count` is the
    // only one that can reach `first`; it meets the grain when it starts
    // before `end`.
    const uint64_t from = first >= table_sector_count ? first - table_sector_count + 1 : 0;
    const auto t = std::lower_bound(table_sectors.begin(), table_sectors.end(), from);
    return t != table_sectors.end() && *t < end;
}

void VmdkExtent::read_own(uint8_t* buffer, uint64_t offset, uint32_t length) const {
    uint32_t done = 0;
    while (done < length) {
        if (grain_bytes == 0 || offset > UINT64_MAX - length) {
            std::memset(buffer + done, 0, length - done);
            return;
        }
        const uint64_t room = grain_bytes - offset % grain_bytes;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(room, length - done));
        read_piece(this, offset, buffer + done, n);
        done += n;
        offset += n;
    }
}

VmdkChain::VmdkChain() = default;
VmdkChain::~VmdkChain() = default;

bool VmdkChain::add_file(const std::u16string& path) try {
    auto e = std::make_unique<VmdkExtent>();
    if (!e->open(path)) return false;
    const std::string key = lower(e->cid);
    if (by_cid.count(key)) return true;  // the same disk given twice
    by_cid[key] = e.get();
    extents.push_back(std::move(e));
    return true;
} catch (const std::bad_alloc&) {
    return false;
}

bool VmdkChain::link() { return link_with(nullptr, nullptr, {}, nullptr); }

bool VmdkChain::link_with(std::ostream* messages, const std::vector<std::u16string>* given, const std::u16string& dir,
                          std::vector<std::u16string>* suggested) {
    order.clear();
    base = leaf = nullptr;
    valid = false;
    for (auto& e : extents) e->parent = e->child = nullptr;

    bool missing = false;
    for (auto& [key, e] : by_cid) {
        const std::string parent = lower(e->parent_cid);
        if (parent == no_parent_cid) {
            base = e;
            continue;
        }
        if (parent == key) {
            if (messages) *messages << "Child VMDK CID errors, aborting\n";
            return false;
        }
        const auto found = by_cid.find(parent);
        if (found != by_cid.end()) {
            e->parent = found->second;
            found->second->child = e;
            continue;
        }
        missing = true;
        if (!messages) continue;

        // Say which parent file is missing and where it is probably found.
        const std::u16string hint = uni::to_utf16(unquoted(e->parent_hint));
        if (given && names_given(hint, *given)) continue;
        std::u16string candidate = hint;
        if (hint.find_first_of(u"\\/") == std::u16string::npos) candidate = dir + hint;
        if (!can_open(candidate) && candidate.find(dir) == std::u16string::npos) {
            candidate = dir + file_name_of(hint);
            e->parent_hint = "\"" + uni::to_utf8(candidate) + "\"";
        }
        *messages << "=> vmdk file: " << uni::to_utf8(e->path) << "\n"
                  << " depends on parent vmdk " << e->parent_hint << "\n";
        if (suggested) suggested->push_back(candidate);
    }
    if (missing) {
        if (messages) *messages << "Child VMDK points to a parent VMDK that doesn't exist, aborting\n";
        return false;
    }
    // From the base along the child links; a walk longer than the number of
    // extents would be a loop.
    VmdkExtent* e = base;
    while (e && order.size() < by_cid.size()) {
        order.push_back(e);
        leaf = e;
        e = e->child;
    }
    // Every file given must lie on that one line from the base: a second
    // base, a second snapshot of one parent or files that name each other in
    // a ring would otherwise be left out unsaid, and the disk read would be
    // another one than the files make.
    valid = base && e == nullptr && order.size() == by_cid.size();
    if (!valid && messages && !by_cid.empty()) *messages << "Child VMDK CID errors, aborting\n";
    return valid;
}

bool VmdkChain::assemble(const std::vector<std::u16string>& files, std::ostream& messages,
                         std::vector<std::u16string>& suggested) {
    std::u16string dir;
    for (const auto& name : files) {
        if (dir.empty()) {
            const size_t cut = name.find_last_of(u"\\/");
            if (cut != std::u16string::npos) dir = name.substr(0, cut + 1);
        }
        if (!add_file(name)) {
            messages << uni::to_utf8(name) << " can't be opened\n";
            return false;
        }
    }
    return link_with(&messages, &files, dir, &suggested);
}

// A snapshot names its parent; while the parent named lies where the
// snapshot says, it joins the chain, up to a depth no real chain nears.
constexpr size_t vmdk_image_max_parents = 64;

bool assemble_vmdk_image(const std::u16string& path, std::unique_ptr<VmdkChain>& chain, std::string& message) {
    chain.reset();
    try {
        std::ostringstream messages;
        std::vector<std::u16string> suggested;
        std::vector<std::u16string> files{path};
        auto built = std::make_unique<VmdkChain>();
        bool assembled = built->assemble(files, messages, suggested);
        for (size_t depth = 0; !assembled && !suggested.empty() && depth < vmdk_image_max_parents; ++depth) {
            files.insert(files.end(), suggested.begin(), suggested.end());
            std::ostringstream again;
            suggested.clear();
            built = std::make_unique<VmdkChain>();
            assembled = built->assemble(files, again, suggested);
        }
        if (!assembled) {
            message = messages.str();
            while (!message.empty() && message.back() == '\n') message.pop_back();
            if (message.empty()) message = "VMDK image can't be read: " + uni::to_utf8(path);
            return false;
        }
        chain = std::move(built);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool VmdkChain::read(uint8_t* buffer, uint64_t offset, uint32_t& length) {
    if (!valid || !buffer || length == 0 || !leaf) return false;
    uint32_t done = 0;
    while (done < length) {
        if (offset > UINT64_MAX - length) {
            std::memset(buffer + done, 0, length - done);
            break;
        }
        // A piece ends at the nearest grain boundary of any extent, so that
        // within it each extent either holds all of it or none.
        uint64_t room = length - done;
        for (const VmdkExtent* e : order)
            if (e->grain_bytes) room = std::min(room, e->grain_bytes - offset % e->grain_bytes);
        const uint32_t n = static_cast<uint32_t>(room);

        const VmdkExtent* holder = nullptr;
        for (const VmdkExtent* e = leaf; e; e = e->parent) {
            uint64_t ignored = 0;
            if (e->locate(offset, ignored) != grain_place::absent) {
                holder = e;
                break;
            }
        }
        read_piece(holder, offset, buffer + done, n);
        done += n;
        offset += n;
    }
    length = done;
    return true;
}

const std::vector<uint64_t>& VmdkChain::partition_offsets() const {
    static const std::vector<uint64_t> none;
    return base ? base->partition_offsets : none;
}

int VmdkChain::base_fd() const { return base ? base->file.fd : -1; }
bool VmdkChain::base_valid() const { return base && base->valid; }
uint64_t VmdkChain::capacity_sectors() const { return base ? base->fields.capacity : 0; }
