#include "storage/vhdx_metadata.hpp"

#include "storage/le.hpp"

#include <bit>

namespace {

constexpr uint32_t entries_at = 32;
constexpr uint32_t entry_bytes = 32;
constexpr uint32_t flag_is_required = 4;
constexpr uint32_t locator_entries_at = 20;
constexpr uint32_t locator_entry_bytes = 12;

std::u16string utf16_at(std::span<const uint8_t> s, uint64_t off, uint64_t n) {
    std::u16string text;
    for (uint64_t i = 0; i + 1 < n; i += 2) text.push_back(static_cast<char16_t>(le::u16(s, off + i)));
    return text;
}

}  // namespace

bool parse_vhdx_parent_locator(std::span<const uint8_t> item,
                               std::vector<std::pair<std::u16string, std::u16string>>& out, std::string& why) {
    out.clear();
    if (vhdx_guid_at(item, 0) != vhdx_locator_type || !le::fits(item, 0, locator_entries_at)) {
        why = "parent locator of an unknown type";
        return false;
    }
    const uint32_t count = le::u16(item, 18);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = locator_entries_at + uint64_t(i) * locator_entry_bytes;
        if (!le::fits(item, at, locator_entry_bytes)) {
            why = "parent locator entry " + std::to_string(i) + " outside the locator";
            return false;
        }
        const uint32_t key_at = le::u32(item, at), value_at = le::u32(item, at + 4);
        const uint16_t key_len = le::u16(item, at + 8), value_len = le::u16(item, at + 10);
        if (!le::fits(item, key_at, key_len) || !le::fits(item, value_at, value_len)) {
            why = "parent locator entry " + std::to_string(i) + " points outside the locator";
            return false;
        }
        out.emplace_back(utf16_at(item, key_at, key_len), utf16_at(item, value_at, value_len));
    }
    return true;
}

bool parse_vhdx_metadata(std::span<const uint8_t> region, vhdx_metadata& out, std::string& why) {
    out = vhdx_metadata{};
    if (region.size() < vhdx_metadata_table_bytes || !le::has(region, 0, "metadata")) {
        why = "metadata table signature missing";
        return false;
    }
    const uint32_t count = le::u16(region, 10);
    if (count > max_vhdx_metadata_entries) {
        why = "metadata table of " + std::to_string(count) + " entries";
        return false;
    }
    bool have_parameters = false, have_size = false, have_sector = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = entries_at + uint64_t(i) * entry_bytes;
        const vhdx_guid id = vhdx_guid_at(region, at);
        const uint32_t offset = le::u32(region, at + 16), length = le::u32(region, at + 20);
        const uint32_t flags = le::u32(region, at + 24);
        const std::span<const uint8_t> item = le::sub(region, offset, length);
        const bool inside = length == 0 || (offset >= vhdx_metadata_table_bytes && item.size() == length);
        const auto outside = [&] {
            why = "metadata item " + vhdx_guid_text(id) + " outside its region";
            return false;
        };
        if (id == vhdx_file_parameters) {
            if (!inside || length < 8) return outside();
            out.block_size = le::u32(item, 0);
            out.leave_blocks_allocated = (le::u32(item, 4) & 1) != 0;
            out.has_parent = (le::u32(item, 4) & 2) != 0;
            have_parameters = true;
        } else if (id == vhdx_disk_size_item) {
            if (!inside || length < 8) return outside();
            out.disk_size = le::u64(item, 0);
            have_size = true;
        } else if (id == vhdx_logical_sector_item) {
            if (!inside || length < 4) return outside();
            out.logical_sector = le::u32(item, 0);
            have_sector = true;
        } else if (id == vhdx_physical_sector_item) {
            if (!inside || length < 4) return outside();
            out.physical_sector = le::u32(item, 0);
        } else if (id == vhdx_parent_locator_item) {
            // A damaged locator leaves the parent unfound; the child's own
            // blocks can still be read.
            std::string ignored;
            out.has_locator = inside && parse_vhdx_parent_locator(item, out.locator, ignored);
            if (!out.has_locator) out.locator.clear();
        } else if (id != vhdx_disk_id_item && (flags & flag_is_required)) {
            why = "required metadata item " + vhdx_guid_text(id) + " not known";
            return false;
        }
    }
    if (!have_parameters || !have_size || !have_sector) {
        why = !have_parameters ? "no file parameters" : !have_size ? "no virtual disk size" : "no logical sector size";
        return false;
    }
    if (!std::has_single_bit(out.block_size) || out.block_size < min_vhdx_block_bytes || out.block_size > max_vhdx_block_bytes) {
        why = "block size " + std::to_string(out.block_size) + " not accepted";
        return false;
    }
    if (out.logical_sector != 512 && out.logical_sector != 4096) {
        why = "logical sector size " + std::to_string(out.logical_sector) + " not accepted";
        return false;
    }
    if (out.disk_size > max_vhdx_disk_bytes) {
        why = "virtual disk size beyond 64 TiB";
        return false;
    }
    return true;
}

std::u16string vhdx_locator_value(const vhdx_metadata& m, std::u16string_view key) {
    for (const auto& [k, v] : m.locator)
        if (k == key) return v;
    return {};
}
