#include "package/finder.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/byte_order.h"
#include "format/package_format.h"
#include "hostos/os.h"
#include "package/crc32.h"
#include "package/errors.h"
#include "pe/pe_image.h"

namespace glimpack {
namespace {

// Blocks the window grows by; reads are handed room for about this much.
constexpr size_t kBlock = size_t(1) << 20;

PackageProbe NeedMore(uint64_t bytes, size_t available, bool at_end) {
    // A stream that ends before the headers do holds no package there; one
    // that would need more than the probe limit is not one we look for.
    if (at_end || bytes > kFinderProbeLimit || bytes <= available)
        return {PackageProbe::kNotPackage, 0};
    return {PackageProbe::kNeedMore, bytes};
}

// The first position from `at` where "MZ" begins, or an "M" in the last
// byte (whose next byte is still to come); `size` when there is none. This
// is where the scan spends its time: on random bytes an "M" alone comes every
// 256 bytes, the pair every 65,536.
size_t FindMz(const uint8_t* data, size_t at, size_t size) {
#if defined(__SSE2__)
    const __m128i m = _mm_set1_epi8('M'), z = _mm_set1_epi8('Z');
    auto pairs = [&](size_t i) {
        __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
        return _mm_and_si128(_mm_cmpeq_epi8(here, m), _mm_cmpeq_epi8(next, z));
    };
    // 64 bytes a step, one test for all four; the hit is then placed.
    for (; at + 65 <= size; at += 64) {
        __m128i any = _mm_or_si128(_mm_or_si128(pairs(at), pairs(at + 16)),
                                   _mm_or_si128(pairs(at + 32), pairs(at + 48)));
        if (_mm_movemask_epi8(any) != 0)
            break;
    }
    for (; at + 17 <= size; at += 16) {
        int hits = _mm_movemask_epi8(pairs(at));
        if (hits != 0)
            return at + size_t(__builtin_ctz(unsigned(hits)));
    }
#endif
    while (at < size) {
        const void* hit = std::memchr(data + at, 'M', size - at);
        if (!hit)
            return size;
        at = size_t(static_cast<const uint8_t*>(hit) - data);
        if (at + 1 == size || data[at + 1] == 'Z')
            return at;
        ++at;
    }
    return size;
}

} // namespace

PackageProbe ProbePackage(const uint8_t* data, size_t available, bool at_end) {
    namespace pe = glim::pe;
    if (available < 64)
        return NeedMore(64, available, at_end);
    if (data[0] != 'M' || data[1] != 'Z')
        return {PackageProbe::kNotPackage, 0};
    uint64_t pe_offset = GetU32(data + PE_HEADER_OFFSET_FIELD);
    if (pe_offset > kFinderPeHeaderLimit)
        return {PackageProbe::kNotPackage, 0};
    uint64_t file_header = pe_offset + PE_SIGNATURE_SIZE;
    if (file_header + PE_FILE_HEADER_SIZE > available)
        return NeedMore(file_header + PE_FILE_HEADER_SIZE, available, at_end);
    if (std::memcmp(data + pe_offset, "PE\0\0", 4) != 0)
        return {PackageProbe::kNotPackage, 0};
    uint64_t sections = GetU16(data + file_header + 2);
    uint64_t optional_size = GetU16(data + file_header + 16);
    uint64_t headers_end =
        file_header + PE_FILE_HEADER_SIZE + optional_size + sections * PE_SECTION_HEADER_SIZE;
    if (headers_end > available)
        return NeedMore(headers_end, available, at_end);

    // From here on the checked reader, over a copy of just the bytes it
    // needs (few candidates get this far).
    try {
        std::vector<uint8_t> bytes(data, data + headers_end);
        pe::PeHeaders headers = pe::ParseHeaders(bytes);
        int index = pe::FindSection(headers, RESOURCE_SECTION_NAME);
        if (index < 0)
            return {PackageProbe::kNotPackage, 0};
        const pe::SectionHeader rsrc = headers.sections[size_t(index)];
        uint64_t rsrc_end = uint64_t(rsrc.raw_pointer) + rsrc.raw_size;
        // Most programs fail here, before their resources are read: the
        // installer's walk takes the first type of the root directory, and
        // "LASTRES" can only be that if the first type is a named one.
        uint64_t root = rsrc.raw_pointer;
        uint64_t first_entry = root + RESOURCE_DIRECTORY_HEADER_SIZE;
        if (first_entry + RESOURCE_DIRECTORY_ENTRY_SIZE > rsrc_end)
            return {PackageProbe::kNotPackage, 0};
        if (first_entry + RESOURCE_DIRECTORY_ENTRY_SIZE > available)
            return NeedMore(first_entry + RESOURCE_DIRECTORY_ENTRY_SIZE, available, at_end);
        if (GetU16(data + root + 12) + GetU16(data + root + 14) == 0 ||
            (GetU32(data + first_entry) & 0x80000000u) == 0) // the high bit: a name
            return {PackageProbe::kNotPackage, 0};
        if (rsrc_end > available)
            return NeedMore(rsrc_end, available, at_end);
        bytes.assign(data, data + rsrc_end);
        // The installer reads the directory at the start of the ".rsrc"
        // section, whatever the data directory says: the tree is read as it
        // finds it.
        pe::PeHeaders walk;
        walk.sections.push_back(rsrc);
        walk.directories.resize(pe::kDirResource + 1);
        walk.directories[pe::kDirResource] = {rsrc.virtual_address, rsrc.virtual_size};
        pe::ResourceDirectory tree = pe::ParseResourceTree(bytes, walk);
        const pe::ResourceData* found = pe::PayloadLeaf(tree, nullptr);
        if (found == nullptr || found->rva < rsrc.virtual_address)
            return {PackageProbe::kNotPackage, 0};
        const pe::ResourceData& leaf = *found;
        // Where the installer reads the payload, as it computes it.
        uint64_t payload = uint64_t(leaf.rva - rsrc.virtual_address) + rsrc.raw_pointer;
        uint64_t extent = std::max<uint64_t>(rsrc_end, payload + PAYLOAD_HEADER_SIZE);
        if (payload + PAYLOAD_HEADER_SIZE > available)
            return at_end ? PackageProbe{PackageProbe::kPackage,
                                         std::min<uint64_t>(extent, PACKAGE_MAX_SIZE)}
                          : NeedMore(payload + PAYLOAD_HEADER_SIZE, available, at_end);
        // The record table, up to its terminator; a table the stream (or the
        // probe limit) cuts off ends the extent there, and the session says
        // what is wrong with it.
        for (uint64_t at = payload + PAYLOAD_HEADER_SIZE;; at += PAYLOAD_RECORD_SIZE) {
            if (at + PAYLOAD_RECORD_SIZE > available) {
                if (!at_end && at + PAYLOAD_RECORD_SIZE <= kFinderProbeLimit)
                    return {PackageProbe::kNeedMore, at + PAYLOAD_RECORD_SIZE};
                // Cut off by the stream's end (the rest is the package's) or
                // by the probe limit (the table found so far is).
                extent = std::max<uint64_t>(extent, at_end ? available : at);
                break;
            }
            PayloadRecord record;
            DecodePayloadRecord(data + at, &record);
            extent = std::max<uint64_t>(extent, at + PAYLOAD_RECORD_SIZE);
            if (record.stored_size == 0)
                break;
            extent = std::max<uint64_t>(extent, uint64_t(record.offset) + record.stored_size);
        }
        return {PackageProbe::kPackage, std::min<uint64_t>(extent, PACKAGE_MAX_SIZE)};
    } catch (const pe::PeError&) {
        return {PackageProbe::kNotPackage, 0};
    }
}

PackageFinder::PackageFinder(FinderOptions options) : options_(std::move(options)) {}

PackageFinder::~PackageFinder() {
    for (const Capture& c : captures_) {
        if (c.fd >= 0)
            hostos::Close(c.fd);
    }
}

uint8_t* PackageFinder::Space(size_t want, size_t* capacity) {
    want = std::max(want, size_t(1));
    if (capacity_ - length_ < want) {
        size_t grown = std::max(length_ + want, std::min(capacity_ * 2, length_ + kBlock));
        std::unique_ptr<uint8_t[]> bigger(new uint8_t[grown]);
        if (length_ != 0)
            std::memcpy(bigger.get(), window_.get(), length_);
        window_ = std::move(bigger);
        capacity_ = grown;
    }
    *capacity = capacity_ - length_;
    return window_.get() + length_;
}

void PackageFinder::Commit(size_t size) {
    length_ += size;
    Process(false);
}

void PackageFinder::Feed(const uint8_t* data, size_t size) {
    while (size > 0) {
        size_t room = 0;
        uint8_t* into = Space(std::min(size, kBlock), &room);
        size_t n = std::min(size, room);
        std::memcpy(into, data, n);
        data += n;
        size -= n;
        Commit(n);
    }
}

void PackageFinder::Finish() {
    if (finished_)
        return;
    finished_ = true;
    Process(true);
}

void PackageFinder::Process(bool at_end) {
    const uint8_t* start = window_.get();
    size_t at = size_t(scan_ - base_);
    while (at < length_) {
        at = FindMz(start, at, length_);
        if (at + 1 >= length_) {
            if (at_end)
                at = length_;
            break; // none, or an "M" whose next byte decides
        }
        PackageProbe probe = ProbePackage(start + at, length_ - at, at_end);
        if (probe.kind == PackageProbe::kNeedMore)
            break; // looked at again once more bytes are in
        if (probe.kind == PackageProbe::kPackage)
            Start(base_ + at, probe.bytes);
        // Past the "MZ" only: a package may hold another in a stored body.
        ++at;
    }
    scan_ = base_ + at;
    WriteCaptures(at_end);
    Compact();
}

void PackageFinder::Start(uint64_t offset, uint64_t claimed) {
    Capture c{offset, offset + claimed, offset, claimed, -1};
    if (!options_.copy || options_.copy(offset, claimed)) {
        std::string dir = options_.scratch_directory.empty() ? hostos::TempDirectory()
                                                             : options_.scratch_directory;
        c.fd = hostos::MakeScratchFile(dir);
        if (c.fd < 0)
            Fail(dir, "cannot make a scratch file: " + hostos::ErrorText(hostos::LastError()));
    }
    captures_.push_back(c);
}

void PackageFinder::WriteCaptures(bool at_end) {
    uint64_t have = base_ + length_;
    for (size_t i = 0; i < captures_.size();) {
        Capture& c = captures_[i];
        uint64_t upto = std::min(c.end, have);
        if (c.fd >= 0 && upto > c.next &&
            !hostos::Write(c.fd, window_.get() + (c.next - base_), size_t(upto - c.next)))
            Fail("scratch file", hostos::ErrorText(hostos::LastError()));
        c.next = std::max(c.next, upto);
        if (c.next < c.end && !at_end) {
            ++i;
            continue;
        }
        FoundPackage found;
        found.offset = c.offset;
        found.size = c.next - c.offset;
        found.claimed = c.claimed;
        found.fd = c.fd;
        captures_.erase(captures_.begin() + std::ptrdiff_t(i));
        if (found.fd >= 0 && hostos::Seek(found.fd, 0, SEEK_SET) != 0) {
            hostos::Close(found.fd);
            Fail("scratch file", hostos::ErrorText(hostos::LastError()));
        }
        if (options_.found)
            options_.found(found);
        else if (found.fd >= 0)
            hostos::Close(found.fd);
    }
}

void PackageFinder::Compact() {
    // Everything before the scan position has been looked at and handed to
    // every capture; what is left is moved to the front once it is no more
    // than what can go, so each byte moves a bounded number of times.
    size_t drop = size_t(scan_ - base_);
    if (drop == 0 || drop < length_ - drop)
        return;
    std::memmove(window_.get(), window_.get() + drop, length_ - drop);
    base_ += drop;
    length_ -= drop;
}

namespace {

// Reads a found package's scratch copy through `step` (bytes, count) until
// it answers false, and leaves the copy at its start again.
template <class Step> void ReadScratch(const FoundPackage& found, Step&& step) {
    std::vector<uint8_t> block(size_t(1) << 20);
    long n;
    while ((n = hostos::Read(found.fd, block.data(), block.size())) > 0) {
        if (!step(block.data(), size_t(n)))
            break;
    }
    if (n < 0 || hostos::Seek(found.fd, 0, SEEK_SET) != 0)
        Fail("scratch file", hostos::ErrorText(hostos::LastError()));
}

} // namespace

void ExplainedPackages::Add(const FoundPackage& found) {
    uint32_t crc = 0;
    ReadScratch(found, [&crc](const uint8_t* data, size_t size) {
        crc = Crc32(crc, data, size);
        return true;
    });
    known_.insert({found.size, crc});
}

bool ExplainedPackages::Explains(const FoundPackage& found) {
    std::vector<uint64_t> sizes; // ascending, each once
    for (const auto& known : known_) {
        if (known.first <= found.size && (sizes.empty() || sizes.back() != known.first))
            sizes.push_back(known.first);
    }
    // The longest added package its bytes begin with: a member that was cut
    // short must not take the place of the whole one whose bytes begin the
    // same way.
    auto best = known_.end();
    uint32_t crc = 0;
    uint64_t at = 0;
    size_t next = 0;
    ReadScratch(found, [&](const uint8_t* data, size_t size) {
        while (size > 0 && next < sizes.size()) {
            const auto take = size_t(std::min<uint64_t>(size, sizes[next] - at));
            crc = Crc32(crc, data, take);
            at += take;
            data += take;
            size -= take;
            if (at < sizes[next])
                continue;
            auto known = known_.find({at, crc});
            if (known != known_.end())
                best = known;
            ++next;
        }
        return next < sizes.size();
    });
    if (best == known_.end())
        return false;
    known_.erase(best);
    return true;
}

} // namespace glimpack
