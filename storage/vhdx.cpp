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

std::string block_place(uint64_t block) { return "block " + std::to_string(block); }

struct vhdx_disk : chain_disk {
    vhdx_metadata meta;
    vhdx_layout layout;
    std::vector<uint64_t> table;  // the entries the file holds

    bool read(uint8_t* buffer, uint64_t offset, uint32_t length) override;
    void read_block(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n);
    void read_by_bitmap(uint64_t block, uint64_t data, uint32_t at, uint8_t* dst, uint32_t n);
};

bool vhdx_disk::read(uint8_t* buffer, uint64_t offset, uint32_t length) {
    if (offset > disk_size || length > disk_size - offset) {
        std::memset(buffer, 0, length);
        return false;
    }
    const uint64_t block_bytes = meta.block_size;
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

void vhdx_disk::read_block(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n) {
    const auto damaged = [&](const std::string& why) {
        std::memset(dst, 0, n);
        report_damage(name, block_place(block), why);
    };
    const uint64_t index = vhdx_payload_index(block, layout.chunk_ratio);
    if (index >= table.size()) {
        damaged(index >= layout.table_entries || meta.block_size == 0 ? "not in the block allocation table"
                                                                      : "its block allocation table entry lies past the end of the file");
        return;
    }
    const uint64_t entry = table[index];
    const uint64_t data = vhdx_entry_offset(entry);
    const uint64_t needed = std::min<uint64_t>(meta.block_size, disk_size - block * meta.block_size);
    const vhdx_source source = vhdx_block_source(vhdx_entry_state(entry), differencing);
    if ((source == vhdx_source::file || source == vhdx_source::bitmap) &&
        (data > file_size || needed > file_size - data)) {
        damaged("block allocation table entry points past the end of the file");
        return;
    }
    switch (source) {
    case vhdx_source::zeros: std::memset(dst, 0, n); return;
    case vhdx_source::file: read_own(dst, data + at, n, block_place(block)); return;
    case vhdx_source::parent: read_parent(dst, block * meta.block_size + at, n, block_place(block)); return;
    case vhdx_source::bitmap: read_by_bitmap(block, data, at, dst, n); return;
    case vhdx_source::invalid: break;
    }
    damaged("block state " + std::to_string(vhdx_entry_state(entry)) + " not valid here");
}

void vhdx_disk::read_by_bitmap(uint64_t block, uint64_t data, uint32_t at, uint8_t* dst, uint32_t n) {
    const auto damaged = [&](const char* why) {
        std::memset(dst, 0, n);
        report_damage(name, block_place(block), why);
    };
    const uint64_t chunk = block / layout.chunk_ratio;
    const uint64_t index = vhdx_bitmap_index(chunk, layout.chunk_ratio);
    if (index >= table.size() || vhdx_entry_state(table[index]) != vhdx_bitmap_present) {
        damaged("its sector bitmap is not in the file");
        return;
    }
    const uint64_t bitmap = vhdx_entry_offset(table[index]);
    if (bitmap > file_size || vhdx_mib > file_size - bitmap) {
        damaged("its sector bitmap lies past the end of the file");
        return;
    }
    // Bits of the chunk's sectors, the first of which is the block's first
    // sector's place in the chunk.
    const uint32_t sector = meta.logical_sector;
    const uint64_t block_first_bit = (block % layout.chunk_ratio) * (meta.block_size / sector);
    const uint64_t first = block_first_bit + at / sector, last = block_first_bit + (uint64_t(at) + n - 1) / sector;
    std::vector<uint8_t> bits(static_cast<size_t>(last / 8 - first / 8 + 1));
    if (!read_exact(file, bitmap + first / 8, bits)) {
        damaged("read error");
        return;
    }
    const uint64_t bit_base = first / 8 * 8;
    for_each_sector_run(
        at, n, sector, [&](uint64_t s) { return vhdx_sector_present(bits, block_first_bit + s - bit_base); },
        [&](uint64_t from, uint32_t count, bool present) {
            uint8_t* to = dst + (from - at);
            if (present) read_own(to, data + from, count, block_place(block));
            else read_parent(to, block * meta.block_size + from, count, block_place(block));
        });
}

// Reads `n` bytes at `offset` of the file into `out`; false when they do
// not lie in it or cannot be read.
bool read_part(const vhdx_disk& d, uint64_t offset, uint64_t n, std::vector<uint8_t>& out) {
    out.assign(static_cast<size_t>(n), 0);
    return offset <= d.file_size && n <= d.file_size - offset && read_exact(d.file, offset, out);
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
    if (!read_part(d, bat.offset, held * 8, raw)) return false;
    d.table.resize(static_cast<size_t>(held));
    for (uint64_t i = 0; i < held; ++i) d.table[i] = le::u64(raw, 8 * i);
    return true;
}

// Opens one VHDX file's own structures.
bool open_vhdx_file(const std::u16string& path, std::unique_ptr<chain_disk>& out, std::string& message) try {
    out.reset();
    auto d = std::make_unique<vhdx_disk>();
    d->path = path;
    d->name = uni::to_utf8(path);
    if (!open_read_only(path, d->file, d->file_size)) {
        message = d->name + " can't be opened";
        return false;
    }
    std::vector<uint8_t> raw;
    if (!read_part(*d, 0, 8, raw) || !le::has(raw, 0, "vhdxfile")) {
        message = d->name + ": no VHDX file identifier";
        return false;
    }

    vhdx_header headers[2];
    bool valid[2] = {false, false};
    std::string why[2];
    for (int i = 0; i < 2; ++i) {
        if (read_part(*d, vhdx_header_offsets[i], vhdx_header_bytes, raw)) valid[i] = parse_vhdx_header(raw, headers[i], why[i]);
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
        if (read_part(*d, vhdx_region_table_offsets[i], vhdx_region_table_bytes, raw))
            valid[i] = parse_vhdx_region_table(raw, regions[i], why[i]);
        else why[i] = "past the end of the file";
    }
    const int table = choose_copy(*d, "region table", valid, why, valid[0] ? 0 : valid[1] ? 1 : -1, message);
    if (table < 0) return false;
    const vhdx_regions& r = regions[table];

    if (r.metadata.length > max_vhdx_metadata_bytes || !read_part(*d, r.metadata.offset, r.metadata.length, raw)) {
        message = d->name + ": VHDX metadata region past the end of the file";
        return false;
    }
    std::string bad;
    if (!parse_vhdx_metadata(raw, d->meta, bad)) {
        message = d->name + ": VHDX " + bad;
        return false;
    }
    d->layout = vhdx_layout_of(d->meta);
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

bool open_vhdx(const std::u16string& path, std::unique_ptr<disk_container>& out, std::string& message) try {
    out.reset();
    std::unique_ptr<chain_disk> top;
    if (!open_vhdx_file(path, top, message)) return false;
    link_parents(*top, open_vhdx_file);
    out = std::move(top);
    return true;
} catch (const std::bad_alloc&) {
    message = uni::to_utf8(path) + ": out of memory opening the VHDX";
    out.reset();
    return false;
}
