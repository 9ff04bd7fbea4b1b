// The standard CRC-32 (the one zip and PNG use), by which `test` and `list`
// identify a record's contents.
#ifndef GLIM_PACKAGE_CRC32_H
#define GLIM_PACKAGE_CRC32_H

#include <cstddef>
#include <cstdint>

namespace glimpack {

// Continues `crc` (0 to start) over `size` bytes.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);

} // namespace glimpack

#endif
