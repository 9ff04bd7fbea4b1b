// The installer stub a package is built on, checked before anything is
// written: a package built on a stub the installer cannot read would install
// nothing, or garbage.
#ifndef GLIM_PACKAGE_STUB_H
#define GLIM_PACKAGE_STUB_H

#include <cstdint>
#include <string>
#include <vector>

#include "payload/payload.h"

namespace glimpack {

struct StubLayout {
    PayloadLocation location; // as the installer's own walk finds it
    uint64_t file_size = 0;
    uint32_t rsrc_raw_end = 0; // PointerToRawData + SizeOfRawData of .rsrc
};

// Checks that `bytes` (read from `path`) is a stub a package can be built on:
// a PE32 file whose resource walk (first entry at every level, as the
// installer takes it) reaches a "LASTRES" resource declaring 4 bytes that end
// the resource section's virtual size, with .rsrc the last section in the
// file and its raw data ending the file; and the installer's own plain walk
// of the same bytes must find the payload where the checked reading does.
// Throws ToolError naming `path`.
StubLayout CheckStubLayout(const std::string& path, const std::vector<uint8_t>& bytes);

} // namespace glimpack

#endif
