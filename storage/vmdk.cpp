#include "storage/vmdk.hpp"

// VMDK chains are not read yet: every file is refused.
VmdkChain::VmdkChain() = default;
VmdkChain::~VmdkChain() = default;
bool VmdkChain::add_file(const std::u16string&) { return false; }
bool VmdkChain::link() { return false; }
bool VmdkChain::read(uint8_t*, uint64_t, uint32_t&) { return false; }
int VmdkChain::base_fd() const { return -1; }
bool VmdkChain::base_valid() const { return false; }
uint64_t VmdkChain::capacity_sectors() const { return 0; }
