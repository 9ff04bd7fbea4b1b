// Every byte of a package accounted for: which ranges of the file the
// installer reads (its program up to the payload, the payload header and
// record table, each body) and which it never does (gaps between bodies,
// data after the last body, a certificate table and its padding). The
// session maps them once it has walked the record table; the verdict turns
// the unread ones into notes.
#ifndef GLIM_PACKAGE_REGIONS_H
#define GLIM_PACKAGE_REGIONS_H

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "package/read.h"

namespace glimpack {

// What the session knows of the file besides its records.
struct FileLayout {
    uint64_t section_end = 0; // where the resource section's raw data ends
    // The certificate table the security directory declares (file offset and
    // size), when it declares one that lies inside the file.
    std::optional<std::pair<uint64_t, uint64_t>> certificate_table;
};

// Whether the `size` bytes at `offset` are all zero (the caller reads them).
using ZerosAt = std::function<bool(uint64_t offset, uint64_t size)>;

// The ranges of `pkg`'s file that the installer never reads, in file order.
std::vector<Region> MapUnread(const InspectedPackage& pkg, const FileLayout& layout,
                              const ZerosAt& zeros);

// Whether an entry found past the terminating one looks like a record a
// builder wrote: a body inside the file and past the table, a size a
// stream of that many bytes can give, an extension the installer can use.
bool LooksLikeRecord(const PayloadRecord& record, uint64_t file_size, uint64_t table_end);

} // namespace glimpack

#endif
