// VMDK hosted sparse extents ("KDMV") and the chain of a base disk and its
// snapshots, read as one disk: a grain comes from the newest file that
// holds it, and a grain no file holds reads as zeros.
#pragma once

#include "storage/file_handle.hpp"
#include "storage/vmdk_header.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Where a disk byte lies in one extent.
enum class grain_place {
    absent,   // this extent does not hold the grain: ask its parent
    zeros,    // the extent marks the grain as all zeros
    in_file,  // at `file_offset` of this extent's file
    damaged,  // the entry points into the extent's own header or tables: read as zeros
};

struct VmdkExtent {
    std::array<uint8_t, vmdk_sector> header{};
    vmdk_sparse_header fields;
    std::vector<std::u16string> descriptor_lines;
    std::string encoding;
    std::string parent_cid;
    std::string cid;
    std::string parent_hint;
    std::vector<uint32_t> grain_directory;
    uint64_t first_gt_offset = 0;
    // The grain tables one after another, num_gtes_per_gt entries per
    // directory entry; a directory entry of 0 (no table) leaves its entries
    // 0. Held flat so that memory is exactly the tables' own bytes.
    std::vector<uint32_t> grain_tables;
    // The first sectors of the grain tables (the redundant ones too),
    // sorted, and the sectors each takes: with the header, descriptor and
    // both directories, the places no grain can lie over.
    std::vector<uint32_t> table_sectors;
    uint64_t redundant_directory = 0;  // its first sector; 0 when none was read
    uint64_t table_sector_count = 0;
    uint64_t first_sector_offset = 0;
    std::array<uint8_t, vmdk_sector> first_sector{};
    std::vector<uint64_t> partition_offsets;
    std::vector<uint32_t> partition_kinds;  // the partition's type
    uint32_t sector_size = vmdk_sector;
    int64_t file_length = 0;
    uint64_t grain_bytes = 0;
    uint64_t gt_bytes = 0;
    uint64_t grain_pages = 0;
    bool valid = false;
    owned_fd file;
    std::u16string path;
    VmdkExtent* parent = nullptr;
    VmdkExtent* child = nullptr;

    // Opens and parses one file; false (and not valid) when it is not a
    // readable hosted sparse extent.
    bool open(const std::u16string& file_path);
    // Finds disk byte `offset` in this extent alone.
    grain_place locate(uint64_t offset, uint64_t& file_offset) const;
    // Adds the redundant directory's tables to `table_sectors` (sorted), the
    // grain tables read already; `length` is the file's.
    void add_redundant_tables(uint64_t length);
    // True when sectors [first, first + count) share one with the metadata.
    bool over_metadata(uint64_t first, uint64_t count) const;
    // Reads disk bytes through this extent alone; grains it does not hold
    // read as zeros.
    void read_own(uint8_t* buffer, uint64_t offset, uint32_t length) const;
};

struct VmdkChain {
    VmdkChain();
    ~VmdkChain();
    VmdkChain(const VmdkChain&) = delete;
    VmdkChain& operator=(const VmdkChain&) = delete;

    // Opens and parses one file; a valid one is entered under its CID (a
    // second file with the same CID is dropped).
    bool add_file(const std::u16string& path);
    // Links the extents added so far by their CIDs; true when a base was
    // found and every parent is present.
    bool link();
    // Adds every file and links them, writing what went wrong to `messages`
    // and the parent files that should have been given to `suggested`.
    bool assemble(const std::vector<std::u16string>& files, std::ostream& messages,
                  std::vector<std::u16string>& suggested);
    // Reads disk bytes through the chain; `length` is in/out.
    bool read(uint8_t* buffer, uint64_t offset, uint32_t& length);

    const std::vector<uint64_t>& partition_offsets() const;
    int base_fd() const;
    bool base_valid() const;
    uint64_t capacity_sectors() const;

    std::vector<std::unique_ptr<VmdkExtent>> extents;  // owned, in the order added
    std::map<std::string, VmdkExtent*> by_cid;         // keyed by lower-cased CID
    std::vector<VmdkExtent*> order;                    // base to newest
    VmdkExtent* base = nullptr;
    VmdkExtent* leaf = nullptr;
    bool valid = false;

private:
    bool link_with(std::ostream* messages, const std::vector<std::u16string>* given, const std::u16string& dir,
                   std::vector<std::u16string>* suggested);
};

// Opens the VMDK named by -image (a descriptor or a sparse extent) with the
// parents its snapshots name, found where they say or beside the file;
// false with `message` saying what is missing or wrong.
bool assemble_vmdk_image(const std::u16string& path, std::unique_ptr<VmdkChain>& chain, std::string& message);

