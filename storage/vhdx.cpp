// VHDX disks: fixed and dynamic files, whose payload blocks are in the
// file or read as zeros, and differencing files, whose blocks not in the
// file and whose sectors with a clear bitmap bit are read from the parent.
#include "storage/vhdx.hpp"

#include "platform/unicode.hpp"
#include "storage/container.hpp"
#include "storage/damage.hpp"
#include "storage/disk_chain.hpp"
#include "storage/le.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

vhdx_layout vhdx_layout_of(const vhdx_metadata& m) {
    vhdx_layout l;
    if (m.block_size == 0) return l;
    l.chunk_ratio = vhdx_sectors_per_bitmap * m.logical_sector / m.block_size;
    if (l.chunk_ratio == 0) return l;
    l.data_blocks = (m.disk_size + m.block_size - 1) / m.block_size;
    if (m.has_parent) {
        const uint64_t chunks = (l.data_blocks + l.chunk_ratio - 1) / l.chunk_ratio;
        l.table_entries = chunks * (l.chunk_ratio + 1);
    } else if (l.data_blocks != 0) {
        l.table_entries = l.data_blocks + (l.data_blocks - 1) / l.chunk_ratio;
    }
    return l;
}

vhdx_source vhdx_block_source(uint32_t state, bool differencing) {
    switch (state) {
    case vhdx_block_not_present:
    case vhdx_block_undefined:
    case vhdx_block_unmapped: return differencing ? vhdx_source::parent : vhdx_source::zeros;
    case vhdx_block_zero: return vhdx_source::zeros;
    case vhdx_block_fully_present: return vhdx_source::file;
    case vhdx_block_partially_present: return differencing ? vhdx_source::bitmap : vhdx_source::invalid;
    default: return vhdx_source::invalid;
    }
}

bool vhdx_sector_present(std::span<const uint8_t> bitmap, uint64_t bit) {
    const uint64_t byte = bit / 8;
    return byte < bitmap.size() && (bitmap[byte] >> (bit % 8) & 1) != 0;
}

namespace {

struct vhdx_disk : chain_disk {
    vhdx_metadata meta;
    vhdx_layout layout;
    std::vector<uint64_t> table;  // the entries the file holds

    void read_block(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n) override;
    void read_partial(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n, uint64_t data);
};

void vhdx_disk::read_block(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n) {
    const uint64_t index = vhdx_payload_index(block, layout.chunk_ratio);
    if (index >= table.size()) {
        damaged(dst, n, block, index >= layout.table_entries ? "not in the block allocation table"
                                                             : "its block allocation table entry lies past the end of the file");
        return;
    }
    const uint64_t entry = table[index];
    const uint64_t data = vhdx_entry_offset(entry);
    const uint64_t needed = std::min<uint64_t>(block_bytes, disk_size - block * block_bytes);
    const vhdx_source source = vhdx_block_source(vhdx_entry_state(entry), differencing);
    if ((source == vhdx_source::file || source == vhdx_source::bitmap) &&
        (data > file_size || needed > file_size - data)) {
        damaged(dst, n, block, "block allocation table entry points past the end of the file");
        return;
    }
    if ((source == vhdx_source::file || source == vhdx_source::bitmap) && data < vhdx_header_section_bytes) {
        damaged(dst, n, block, "block allocation table entry points into the file's headers");
        return;
    }
    switch (source) {
    case vhdx_source::zeros: std::memset(dst, 0, n); return;
    case vhdx_source::file: read_own(block, data + at, dst, n); return;
    case vhdx_source::parent: read_parent(block, at, dst, n); return;
    case vhdx_source::bitmap: read_partial(block, at, dst, n, data); return;
    case vhdx_source::invalid: break;
    }
    damaged(dst, n, block, "block state " + std::to_string(vhdx_entry_state(entry)) + " not valid here");
}

// A partially present block: its chunk's sector bitmap block says which
// sectors are here.
void vhdx_disk::read_partial(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n, uint64_t data) {
    const uint64_t index = vhdx_bitmap_index(block / layout.chunk_ratio, layout.chunk_ratio);
    if (index >= table.size() || vhdx_entry_state(table[index]) != vhdx_bitmap_present) {
        damaged(dst, n, block, "its sector bitmap is not in the file");
        return;
    }
    const uint64_t bitmap = vhdx_entry_offset(table[index]);
    if (bitmap < vhdx_header_section_bytes) {
        damaged(dst, n, block, "its sector bitmap entry points into the file's headers");
        return;
    }
    if (bitmap > file_size || vhdx_mib > file_size - bitmap) {
        damaged(dst, n, block, "its sector bitmap lies past the end of the file");
        return;
    }
    const uint32_t sector = meta.logical_sector;
    const uint64_t first_bit = (block % layout.chunk_ratio) * (block_bytes / sector);
    read_by_bitmap(block, at, dst, n, data, {bitmap, first_bit, sector, vhdx_sector_present});
}

// A parent_linkage value as identities are compared: no braces, lower case.
std::string linkage_id(const std::u16string& value) {
    std::string s = uni::ascii_lower(uni::to_utf8(value));
    s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == '{' || c == '}' || c == ' '; }), s.end());
    return s;
}

// Of two copies of a structure (the headers, the region tables), the
// index of the one to use; -1 when neither is valid, with `message` saying
// why. A damaged copy beside a good one is noted.
int choose_copy(const vhdx_disk& d, const char* what, const bool (&valid)[2], const std::string (&why)[2], int current,
                std::string& message) {
    if (current < 0) {
        message = d.name + ": both VHDX " + what + "s damaged (1: " + why[0] + "; 2: " + why[1] + ")";
        return -1;
    }
    if (!valid[1 - current])
        report_container_note(d.name + ": VHDX " + what + " " + std::to_string(2 - current) + " damaged (" +
                              why[1 - current] + "); " + what + " " + std::to_string(current + 1) + " used");
    return current;
}

bool load_bat(vhdx_disk& d, const vhdx_region& bat) {
    const uint64_t listed = std::min<uint64_t>(d.layout.table_entries, bat.length / 8);
    // Only the entries the file holds are read: a table cut short by a
    // truncated file costs no more memory than the file's size.
    uint64_t held = 0;
    if (bat.offset < d.file_size) held = std::min(listed, (d.file_size - bat.offset) / 8);
    std::vector<uint8_t> raw;
    if (!d.read_part(bat.offset, held * 8, raw)) return false;
    d.table.resize(static_cast<size_t>(held));
    for (uint64_t i = 0; i < held; ++i) d.table[i] = le::u64(raw, 8 * i);
    return true;
}

// Opens one VHDX file's own structures.
bool open_vhdx_file(const std::u16string& path, std::unique_ptr<chain_disk>& out, std::string& message) try {
    out.reset();
    auto d = std::make_unique<vhdx_disk>();
    if (!d->open_file(path, message)) return false;
    std::vector<uint8_t> raw;
    if (!d->read_part(0, 8, raw) || !le::has(raw, 0, "vhdxfile")) {
        message = d->name + ": no VHDX file identifier";
        return false;
    }

    vhdx_header headers[2];
    bool valid[2] = {false, false};
    std::string why[2];
    for (int i = 0; i < 2; ++i) {
        if (d->read_part(vhdx_header_offsets[i], vhdx_header_bytes, raw)) valid[i] = parse_vhdx_header(raw, headers[i], why[i]);
        else why[i] = "past the end of the file";
    }
    const int current = choose_copy(*d, "header", valid, why, current_vhdx_header(valid, headers), message);
    if (current < 0) return false;
    const vhdx_header& header = headers[current];
    if (header.log != vhdx_guid{})
        report_container_note(d->name + ": the VHDX log is not empty and was not replayed; the file is read as it stands");

    vhdx_regions regions[2];
    for (int i = 0; i < 2; ++i) {
        valid[i] = false;
        if (d->read_part(vhdx_region_table_offsets[i], vhdx_region_table_bytes, raw))
            valid[i] = parse_vhdx_region_table(raw, regions[i], why[i]);
        else why[i] = "past the end of the file";
    }
    const int table = choose_copy(*d, "region table", valid, why, valid[0] ? 0 : valid[1] ? 1 : -1, message);
    if (table < 0) return false;
    const vhdx_regions& r = regions[table];

    if (r.metadata.length > max_vhdx_metadata_bytes || !d->read_part(r.metadata.offset, r.metadata.length, raw)) {
        message = d->name + ": VHDX metadata region past the end of the file";
        return false;
    }
    std::string bad;
    if (!parse_vhdx_metadata(raw, d->meta, bad)) {
        message = d->name + ": VHDX " + bad;
        return false;
    }
    d->layout = vhdx_layout_of(d->meta);
    d->block_bytes = d->meta.block_size;
    d->disk_size = d->meta.disk_size;
    d->sector_size = d->meta.logical_sector;
    d->id = vhdx_guid_text(header.data_write);
    if (!load_bat(*d, r.bat)) {
        message = d->name + ": VHDX block allocation table can't be read";
        return false;
    }
    if (d->meta.has_parent) {
        d->differencing = true;
        for (const char16_t* key : {u"parent_linkage", u"parent_linkage2"}) {
            const std::u16string v = vhdx_locator_value(d->meta, key);
            if (!v.empty()) d->parent_ids.push_back(linkage_id(v));
        }
        d->hints.relative = vhdx_locator_value(d->meta, u"relative_path");
        for (const char16_t* key : {u"absolute_win32_path", u"volume_path"}) {
            const std::u16string v = vhdx_locator_value(d->meta, key);
            if (!v.empty()) d->hints.absolute.push_back(v);
        }
    }
    out = std::move(d);
    return true;
} catch (const std::bad_alloc&) {
    message = uni::to_utf8(path) + ": out of memory opening the VHDX";
    out.reset();
    return false;
}

}  // namespace

bool open_vhdx(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message) {
    return open_chain(path, open_vhdx_file, "VHDX", out, message);
}
