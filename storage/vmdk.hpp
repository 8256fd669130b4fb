// VMDK hosted sparse extents ("KDMV") and the chain of a base disk and its
// snapshots, read as one disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VmdkChain {
    VmdkChain();
    ~VmdkChain();
    VmdkChain(const VmdkChain&) = delete;
    VmdkChain& operator=(const VmdkChain&) = delete;

    bool add_file(const std::u16string& path);
    bool link();
    bool read(uint8_t* buffer, uint64_t offset, uint32_t& length);

    int base_fd() const;
    bool base_valid() const;
    uint64_t capacity_sectors() const;
};
