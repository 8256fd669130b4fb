// CRC-32C (the Castagnoli polynomial), the checksum of VHDX headers and
// region tables. It is not zlib's crc32, whose polynomial differs.
#pragma once

#include <cstdint>
#include <span>

// The CRC-32C of `data`: initial value all ones, bits reflected, result
// inverted (the common form; "123456789" gives 0xe3069283).
uint32_t crc32c(std::span<const uint8_t> data);
