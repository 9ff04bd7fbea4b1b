#include "package/regions.h"

#include <algorithm>
#include <string>

#include "decoder/decoder.h"
#include "format/naming.h"

namespace glimpack {
namespace {

// A range the installer reads, with what to call it in a note.
struct Read {
    uint64_t begin;
    uint64_t end;
    std::string name;
};

std::string BodyOf(uint32_t index) {
    return "the body of record " + std::to_string(index);
}

} // namespace

bool LooksLikeRecord(const PayloadRecord& record, uint64_t file_size, uint64_t table_end) {
    const uint64_t end = uint64_t(record.offset) + record.stored_size;
    if (record.stored_size == 0 || record.offset < table_end || end > file_size)
        return false;
    if (IsCompressedRecord(&record) && record.unpacked_size > MaxUnpackedSize(record.stored_size))
        return false;
    return IsSafeExtension(record.extension) != 0;
}

std::vector<Region> MapUnread(const InspectedPackage& pkg, const FileLayout& layout,
                              const ZerosAt& zeros) {
    const uint64_t size = pkg.file_size;
    std::vector<Read> read = {{0, std::min<uint64_t>(pkg.table_end, size), "the record table"}};
    uint64_t last_body_end = read.front().end;
    for (const InspectedRecord& r : pkg.records) {
        const uint64_t begin = std::min<uint64_t>(r.record.offset, size);
        const uint64_t end = std::min<uint64_t>(begin + r.record.stored_size, size);
        if (end > begin) {
            read.push_back({begin, end, BodyOf(r.index)});
            last_body_end = std::max(last_body_end, end);
        }
    }
    std::sort(read.begin(), read.end(),
              [](const Read& a, const Read& b) { return a.begin < b.begin; });

    // The holes between what is read, each with its neighbours.
    std::vector<Region> holes;
    uint64_t covered = 0;
    std::string before;
    for (const Read& r : read) {
        if (r.begin > covered)
            holes.push_back({covered, r.begin - covered, RegionKind::kGap, before, r.name});
        if (r.end >= covered) {
            covered = r.end;
            before = r.name;
        }
    }
    if (size > covered)
        holes.push_back({covered, size - covered, RegionKind::kTrailingData, before, ""});

    // The certificate table and its alignment carve their part out of the
    // holes; whatever is left keeps its place.
    std::vector<Region> out;
    const auto cert = layout.certificate_table;
    for (const Region& hole : holes) {
        const uint64_t end = hole.offset + hole.size;
        if (cert) {
            const uint64_t c_begin = cert->first, c_end = cert->first + cert->second;
            // Up to 7 zero bytes just before the table align it to 8 bytes.
            const uint64_t pad_begin =
                std::max<uint64_t>(hole.offset, c_begin >= 7 ? c_begin - 7 : 0);
            uint64_t pad = 0;
            while (pad_begin + pad < c_begin && !zeros(pad_begin + pad, c_begin - pad_begin - pad))
                pad++;
            const uint64_t table_begin = std::max(hole.offset, c_begin);
            const uint64_t table_end = std::min(end, c_end);
            if (table_begin < table_end) {
                const uint64_t cut = c_begin > hole.offset && pad_begin + pad < c_begin
                                         ? pad_begin + pad
                                         : table_begin;
                if (cut > hole.offset)
                    out.push_back({hole.offset, cut - hole.offset, hole.kind, hole.before,
                                   hole.kind == RegionKind::kGap ? hole.after : ""});
                if (table_begin > cut)
                    out.push_back({cut, table_begin - cut, RegionKind::kSignaturePadding, "", ""});
                out.push_back(
                    {table_begin, table_end - table_begin, RegionKind::kCertificateTable, "", ""});
                if (end > table_end)
                    out.push_back({table_end, end - table_end, hole.kind, "the certificate table",
                                   hole.after});
                continue;
            }
        }
        // Zeros after the last body up to the end of the resource section
        // are what a builder leaves there (a file may not end inside a
        // section); anything else there is data.
        if (hole.kind == RegionKind::kTrailingData && hole.offset >= last_body_end &&
            hole.offset < layout.section_end) {
            const uint64_t pad_end = std::min(end, layout.section_end);
            if (zeros(hole.offset, pad_end - hole.offset)) {
                out.push_back({hole.offset, pad_end - hole.offset, RegionKind::kSectionPadding,
                               hole.before, ""});
                if (end > pad_end)
                    out.push_back({pad_end, end - pad_end, RegionKind::kTrailingData,
                                   "the resource section", ""});
                continue;
            }
        }
        out.push_back(hole);
    }
    return out;
}

} // namespace glimpack
