// VHD disks: fixed (the disk's bytes, then the footer), dynamic (a block
// allocation table of blocks, each a sector bitmap and its data, blocks
// never written absent) and differencing (a dynamic layout whose absent
// blocks and clear bitmap bits are read from the parent VHD).
#include "storage/container.hpp"

#include "platform/unicode.hpp"
#include "storage/be.hpp"
#include "storage/damage.hpp"
#include "storage/disk_chain.hpp"
#include "storage/vhd_footer.hpp"
#include "storage/vhd_header.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The table entry of a block that is not in the file.
constexpr uint32_t vhd_unused_entry = 0xFFFFFFFFu;

struct vhd_disk : chain_disk {
    vhd_footer footer;
    bool fixed = false;
    uint64_t fixed_bytes = 0;  // disk bytes a fixed file holds before its footer
    vhd_dynamic_header header;
    uint32_t bitmap_bytes = 0;
    uint64_t table_entries = 0;  // entries the disk needs that the header lists
    std::vector<uint32_t> table;  // the part of them the file holds

    bool read(uint8_t* buffer, uint64_t offset, uint32_t length) override;
    // True when file bytes [from, to) share a byte with the footer copy at
    // the start, the dynamic header or the block allocation table: no
    // block's bitmap or data can stand there.
    bool overlaps_structures(uint64_t from, uint64_t to) const;
    void read_block(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n) override;
};

// A fixed disk is the file's bytes before the footer; a dynamic one goes
// block by block.
bool vhd_disk::read(uint8_t* buffer, uint64_t offset, uint32_t length) {
    if (!fixed) return chain_disk::read(buffer, offset, length);
    if (offset > disk_size || length > disk_size - offset) {
        std::memset(buffer, 0, length);
        return false;
    }
    const uint32_t held = offset >= fixed_bytes ? 0 : static_cast<uint32_t>(std::min<uint64_t>(length, fixed_bytes - offset));
    if (held && !read_exact(file, offset, std::span<uint8_t>(buffer, held))) {
        std::memset(buffer, 0, held);
        report_damage(name, "bytes from " + hex_number(offset), "read error");
    }
    if (held < length) {
        std::memset(buffer + held, 0, length - held);
        report_damage(name, "bytes from " + hex_number(fixed_bytes), "past the end of the file");
    }
    return true;
}

bool vhd_disk::overlaps_structures(uint64_t from, uint64_t to) const {
    // Every bound lies within the file (checked when the file was opened,
    // or before the call), so none of the sums overflows.
    const auto meets = [from, to](uint64_t at, uint64_t bytes) { return bytes != 0 && from < at + bytes && at < to; };
    return meets(0, vhd_footer_bytes) || meets(footer.data_offset, vhd_header_bytes) ||
           meets(header.table_offset, uint64_t(table.size()) * 4);
}

void vhd_disk::read_block(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n) {
    if (block >= table.size()) {
        damaged(dst, n, block, block >= table_entries ? "not in the block allocation table"
                                                      : "its block allocation table entry lies past the end of the file");
        return;
    }
    const uint32_t entry = table[block];
    if (entry == vhd_unused_entry) {
        if (differencing) read_parent(block, at, dst, n);
        else std::memset(dst, 0, n);
        return;
    }
    // The bitmap, then as much of the block's data as the disk covers, must
    // lie in the file.
    const uint64_t start = uint64_t(entry) * vhd_sector;
    const uint64_t data = start + bitmap_bytes;
    const uint64_t needed = std::min<uint64_t>(block_bytes, disk_size - block * block_bytes);
    if (data > file_size || needed > file_size - data) {
        damaged(dst, n, block, "block allocation table entry points past the end of the file");
        return;
    }
    if (overlaps_structures(start, data + needed)) {
        damaged(dst, n, block, "block allocation table entry points into the file's headers");
        return;
    }
    read_by_bitmap(block, at, dst, n, data, {start, 0, vhd_sector, vhd_sector_present});
}

// The parent's paths that the locators give: W2ru relative, W2ku absolute.
void read_locators(vhd_disk& d) {
    for (const vhd_locator& l : d.header.locators) {
        if (l.code != vhd_locator_relative && l.code != vhd_locator_absolute) continue;
        std::vector<uint8_t> raw;
        if (l.length == 0 || l.length > max_vhd_locator_bytes || !d.read_part(l.offset, l.length, raw)) continue;
        std::u16string p = vhd_locator_path(raw);
        if (p.empty()) continue;
        if (l.code == vhd_locator_relative && d.hints.relative.empty()) d.hints.relative = std::move(p);
        else if (l.code == vhd_locator_absolute) d.hints.absolute.push_back(std::move(p));
    }
    if (!d.header.parent_name.empty()) d.hints.names.push_back(d.header.parent_name);
}

bool load_dynamic(vhd_disk& d, std::string& message) {
    std::vector<uint8_t> raw;
    if (!d.read_part(d.footer.data_offset, vhd_header_bytes, raw)) {
        message = d.name + ": VHD dynamic header past the end of the file";
        return false;
    }
    std::string why;
    if (!parse_vhd_header(raw, d.header, why)) {
        message = d.name + ": " + why;
        return false;
    }
    d.bitmap_bytes = vhd_bitmap_bytes(d.header.block_size);
    d.block_bytes = d.header.block_size;
    const uint64_t blocks = (d.disk_size + d.header.block_size - 1) / d.header.block_size;
    d.table_entries = std::min<uint64_t>(blocks, d.header.max_entries);
    // Only the entries the file holds are read: a table cut short by a
    // truncated file, or one claimed larger than the file, costs no more
    // memory than the file's size.
    uint64_t held = 0;
    if (d.header.table_offset < d.file_size) held = std::min(d.table_entries, (d.file_size - d.header.table_offset) / 4);
    if (!d.read_part(d.header.table_offset, held * 4, raw)) {
        message = d.name + ": VHD block allocation table can't be read";
        return false;
    }
    d.table.resize(static_cast<size_t>(held));
    for (uint64_t i = 0; i < held; ++i) d.table[i] = be::u32(raw, 4 * i);
    if (d.footer.disk_type == uint32_t(vhd_type::differencing)) {
        d.differencing = true;
        d.parent_ids = {hex_of(d.header.parent_id)};
        read_locators(d);
    }
    return true;
}

// Opens one VHD file's own structures.
bool open_vhd_file(const std::u16string& path, std::unique_ptr<chain_disk>& out, std::string& message) try {
    out.reset();
    auto d = std::make_unique<vhd_disk>();
    if (!d->open_file(path, message)) return false;
    if (d->file_size < vhd_short_footer_bytes) {
        message = d->name + ": too short for a VHD";
        return false;
    }
    // The footer at the end (512 bytes, or 511 from the oldest writers),
    // else the copy a dynamic disk keeps at its start (the end of a
    // truncated file holds no footer).
    std::vector<uint8_t> tail, head;
    const uint64_t tail_bytes = std::min<uint64_t>(d->file_size, vhd_footer_bytes);
    d->read_part(d->file_size - tail_bytes, tail_bytes, tail);
    d->read_part(0, tail_bytes, head);
    std::span<const uint8_t> end(tail);
    if (!le::has(end, 0, "conectix") && le::has(end, 1, "conectix")) end = end.subspan(1);
    std::string end_why, head_why;
    const bool end_ok = parse_vhd_footer(end, d->footer, end_why);
    if (!end_ok) {
        const bool head_ok = parse_vhd_footer(head, d->footer, head_why) && d->footer.disk_type != uint32_t(vhd_type::fixed);
        if (!head_ok) {
            message = d->name + ": " + (le::has(end, 0, "conectix") ? end_why : head_why);
            return false;
        }
        if (le::has(end, 0, "conectix"))
            report_container_note(d->name + ": " + end_why + " in the footer at the end; the copy at the start is used");
    }
    d->disk_size = d->footer.current_size;
    d->sector_size = vhd_sector;
    d->id = hex_of(d->footer.unique_id);
    if (d->footer.disk_type == uint32_t(vhd_type::fixed)) {
        d->fixed = true;
        d->fixed_bytes = std::min<uint64_t>(d->disk_size, d->file_size - end.size());
    } else if (!load_dynamic(*d, message)) {
        return false;
    }
    out = std::move(d);
    return true;
} catch (const std::bad_alloc&) {
    message = uni::to_utf8(path) + ": out of memory opening the VHD";
    out.reset();
    return false;
}

}  // namespace

bool open_vhd(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message) {
    return open_chain(path, open_vhd_file, "VHD", out, message);
}
