#include "package/crc32.h"

namespace glimpack {

namespace {

struct Crc32Table {
    uint32_t entries[256];
};

constexpr Crc32Table MakeTable() {
    Crc32Table table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table.entries[i] = c;
    }
    return table;
}

// Made by the compiler: packages are checked on several threads at once,
// and a table filled on first use would be filled by two of them together.
constexpr Crc32Table kTable = MakeTable();

} // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
    const uint32_t* table = kTable.entries;
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

} // namespace glimpack
