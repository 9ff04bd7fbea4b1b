// The package finder: which positions of a stream begin a package, how far
// each reaches, and that the bytes handed on are exactly its own, however
// the stream is cut into reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/package_format.h"
#include "hostos/os.h"
#include "package/finder.h"
#include "testkit/packages/hostile_packages.h"
#include "testkit/packages/pe_builder.h"

namespace {

using glimpack::FinderOptions;
using glimpack::FoundPackage;
using glimpack::PackageFinder;
using glimpack::PackageProbe;
using glimpack::ProbePackage;
using Bytes = std::vector<uint8_t>;

hostile::Assembled Standard(const std::string& title = "Stars") {
    hostile::PackageSpec spec = hostile::StandardSpec();
    spec.title = title;
    return hostile::Assemble(spec);
}

// Bytes that hold many false starts: "MZ" with a PE pointer into nowhere,
// "MZ" at the very end, and a PE signature without a resource section.
Bytes Filler(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = uint8_t(i * 31 + seed + (i >> 7));
    for (size_t at = 100; at + 80 < size; at += 997) {
        out[at] = 'M';
        out[at + 1] = 'Z';
        pe_builder::PutU32(out, at + 60, uint32_t(at % 3 == 0 ? 0xFFFFFF00u : 64));
        if (at % 3 == 1)
            std::memcpy(&out[at + 64], "PE\0\0", 4);
    }
    if (size >= 1) {
        out[size - 1] = 'M';
    }
    return out;
}

Bytes ReadAll(int fd) {
    Bytes out;
    uint8_t block[4096];
    for (long n; (n = hostos::Read(fd, block, sizeof block)) > 0;)
        out.insert(out.end(), block, block + n);
    return out;
}

struct Seen {
    uint64_t offset, size, claimed;
    Bytes bytes;
    bool copied;
};

// Feeds `stream` to a finder in reads of `piece` bytes (through Space and
// Commit, as the scan reads) and collects what it hands on.
std::vector<Seen> Find(const Bytes& stream, size_t piece, bool copy = true) {
    std::vector<Seen> seen;
    FinderOptions options;
    options.copy = [copy](uint64_t, uint64_t) { return copy; };
    options.found = [&seen](FoundPackage& f) {
        Seen s{f.offset, f.size, f.claimed, {}, f.fd >= 0};
        if (f.fd >= 0) {
            s.bytes = ReadAll(f.fd);
            hostos::Close(f.fd);
        }
        seen.push_back(s);
    };
    PackageFinder finder(options);
    size_t at = 0;
    while (at < stream.size()) {
        size_t room = 0;
        uint8_t* into = finder.Space(piece, &room);
        size_t n = std::min({piece, room, stream.size() - at});
        std::memcpy(into, stream.data() + at, n);
        finder.Commit(n);
        at += n;
    }
    finder.Finish();
    EXPECT_EQ(finder.position(), stream.size());
    return seen;
}

Bytes Slice(const Bytes& b, size_t from, size_t size) {
    return Bytes(b.begin() + std::ptrdiff_t(from), b.begin() + std::ptrdiff_t(from + size));
}

TEST(FinderProbe, APackageReachesToTheEndOfItsLastBody) {
    hostile::Assembled pkg = Standard();
    PackageProbe p = ProbePackage(pkg.bytes.data(), pkg.bytes.size(), true);
    EXPECT_EQ(p.kind, PackageProbe::kPackage);
    EXPECT_EQ(p.bytes, pkg.bytes.size());
    // Trailing bytes are not the package's.
    Bytes longer = pkg.bytes;
    longer.resize(longer.size() + 5000, 0xEE);
    p = ProbePackage(longer.data(), longer.size(), true);
    EXPECT_EQ(p.bytes, pkg.bytes.size());
}

TEST(FinderProbe, AskForMoreUntilTheHeadersAreInAndGiveUpAtTheEnd) {
    hostile::Assembled pkg = Standard();
    // Cut inside each part the finder reads before it can decide.
    for (size_t cut : {size_t(10), size_t(63), size_t(pkg.pe_offset + 10),
                       size_t(pkg.section_table + 5), size_t(pkg.rsrc_raw + 20)}) {
        SCOPED_TRACE(cut);
        PackageProbe more = ProbePackage(pkg.bytes.data(), cut, false);
        EXPECT_EQ(more.kind, PackageProbe::kNeedMore);
        EXPECT_GT(more.bytes, cut);
        EXPECT_LE(more.bytes, pkg.bytes.size());
        EXPECT_EQ(ProbePackage(pkg.bytes.data(), cut, true).kind, PackageProbe::kNotPackage);
    }
    // A record table the stream cuts off: a package reaching to the end.
    size_t cut = pkg.table + 5;
    EXPECT_EQ(ProbePackage(pkg.bytes.data(), cut, false).kind, PackageProbe::kNeedMore);
    PackageProbe end = ProbePackage(pkg.bytes.data(), cut, true);
    EXPECT_EQ(end.kind, PackageProbe::kPackage);
    EXPECT_GE(end.bytes, cut);
}

TEST(FinderProbe, ProgramsAndOtherFilesAreNotPackages) {
    hostile::Assembled pkg = Standard();
    // The first resource type numbered, as in an ordinary program.
    Bytes program = pkg.bytes;
    uint32_t first = pe_builder::GetU32(program, pkg.rsrc_raw + 16);
    pe_builder::PutU32(program, pkg.rsrc_raw + 16, first & 0x7FFFFFFFu);
    EXPECT_EQ(ProbePackage(program.data(), program.size(), true).kind, PackageProbe::kNotPackage);
    // No PE signature, a pointer past the probe limit, no ".rsrc" section.
    Bytes no_pe = pkg.bytes;
    no_pe[pkg.pe_offset] = 'X';
    EXPECT_EQ(ProbePackage(no_pe.data(), no_pe.size(), true).kind, PackageProbe::kNotPackage);
    Bytes far = pkg.bytes;
    pe_builder::PutU32(far, PE_HEADER_OFFSET_FIELD, uint32_t(glimpack::kFinderPeHeaderLimit + 4));
    EXPECT_EQ(ProbePackage(far.data(), far.size(), false).kind, PackageProbe::kNotPackage);
    Bytes no_rsrc = pkg.bytes;
    no_rsrc[pkg.rsrc_header + 1] = 'x';
    EXPECT_EQ(ProbePackage(no_rsrc.data(), no_rsrc.size(), true).kind, PackageProbe::kNotPackage);
    Bytes text(4096, 'M');
    EXPECT_EQ(ProbePackage(text.data(), text.size(), true).kind, PackageProbe::kNotPackage);
}

TEST(FinderProbe, AnExtentPastWhereTheInstallerCanReadEndsThere) {
    hostile::Assembled pkg = Standard();
    Bytes bad = pkg.bytes;
    pe_builder::PutU32(bad, pkg.table + 16, 0x7FFFFF00u); // record 1's offset
    pe_builder::PutU32(bad, pkg.table + 16 + 4, 0x1000u); // and stored size
    PackageProbe p = ProbePackage(bad.data(), bad.size(), true);
    EXPECT_EQ(p.kind, PackageProbe::kPackage);
    EXPECT_EQ(p.bytes, uint64_t(PACKAGE_MAX_SIZE));
}

TEST(Finder, FindsEachPackageWithExactlyItsBytesHoweverTheStreamIsRead) {
    hostile::Assembled a = Standard("First"), b = Standard("Second");
    Bytes f1 = Filler(12347, 1), f2 = Filler(3001, 2), f3 = Filler(70001, 3);
    Bytes stream = f1;
    stream.insert(stream.end(), a.bytes.begin(), a.bytes.end());
    stream.insert(stream.end(), f2.begin(), f2.end());
    stream.insert(stream.end(), b.bytes.begin(), b.bytes.end());
    stream.insert(stream.end(), f3.begin(), f3.end());
    for (size_t piece : {size_t(1), size_t(7), size_t(4096), size_t(1) << 20}) {
        SCOPED_TRACE(piece);
        std::vector<Seen> seen = Find(stream, piece);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].offset, f1.size());
        EXPECT_EQ(seen[0].size, a.bytes.size());
        EXPECT_EQ(seen[0].claimed, a.bytes.size());
        EXPECT_EQ(seen[0].bytes, a.bytes);
        EXPECT_EQ(seen[1].offset, f1.size() + a.bytes.size() + f2.size());
        EXPECT_EQ(seen[1].bytes, b.bytes);
    }
    // Nothing in filler alone, and nothing in an empty stream.
    EXPECT_TRUE(Find(f3, 4096).empty());
    EXPECT_TRUE(Find({}, 4096).empty());
}

TEST(Finder, PackagesAtTheEdgesInsideOthersAndCutShort) {
    hostile::Assembled a = Standard("Outer"), b = Standard("Inner");
    // A package at the very start, not copied when the caller says so.
    std::vector<Seen> seen = Find(a.bytes, 999, false);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].offset, 0u);
    EXPECT_FALSE(seen[0].copied);
    // One stored as another's body: both, the inner one first (its end
    // comes first).
    hostile::PackageSpec spec = hostile::StandardSpec();
    spec.title = "Outer";
    spec.bodies.push_back(hostile::Stored(b.bytes, ".EXE"));
    spec.bodies.push_back(hostile::Stored(Filler(3000, 7), ".TXT"));
    hostile::Assembled outer = hostile::Assemble(spec);
    seen = Find(outer.bytes, 4096);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].offset, outer.body_offsets[outer.body_offsets.size() - 2]);
    EXPECT_EQ(seen[0].bytes, b.bytes);
    EXPECT_EQ(seen[1].offset, 0u);
    EXPECT_EQ(seen[1].bytes, outer.bytes);
    // Cut short by the end of the stream: what there is, and what it claimed.
    Bytes cut = Filler(500, 4);
    cut.insert(cut.end(), a.bytes.begin(), a.bytes.end() - 100);
    seen = Find(cut, 4096);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].offset, 500u);
    EXPECT_EQ(seen[0].size, a.bytes.size() - 100);
    EXPECT_EQ(seen[0].claimed, a.bytes.size());
    EXPECT_EQ(seen[0].bytes, Slice(cut, 500, a.bytes.size() - 100));
}

// A found package as the finder hands it on: its bytes in a scratch file.
struct Scratch {
    FoundPackage found;
    explicit Scratch(const Bytes& bytes) {
        found.fd = hostos::MakeScratchFile(hostos::TempDirectory());
        EXPECT_GE(found.fd, 0);
        EXPECT_TRUE(hostos::Write(found.fd, bytes.data(), bytes.size()));
        EXPECT_EQ(hostos::Seek(found.fd, 0, SEEK_SET), 0);
        found.size = bytes.size();
    }
    ~Scratch() { hostos::Close(found.fd); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

TEST(ExplainedPackages, EachMemberExplainsOneRawFindOfItsBytesOrOfMore) {
    const Bytes a = Standard("Member").bytes, b = Standard("Other").bytes;
    const Bytes cut = Slice(a, 0, a.size() - 100);
    Bytes runs_on = cut; // the cut member's package, read on in the raw bytes
    const Bytes after = Filler(5000, 9);
    runs_on.insert(runs_on.end(), after.begin(), after.end());

    glimpack::ExplainedPackages explained;
    Scratch member_a(a), member_cut(cut);
    explained.Add(member_a.found);
    explained.Add(member_cut.found);
    // Added copies are left at their start for the check that follows.
    EXPECT_EQ(ReadAll(member_a.found.fd), a);

    Scratch raw_b(b), raw_a(a), raw_a_again(a), raw_runs_on(runs_on);
    EXPECT_FALSE(explained.Explains(raw_b.found));
    EXPECT_TRUE(explained.Explains(raw_a.found));
    EXPECT_EQ(ReadAll(raw_a.found.fd), a);
    // The cut member explains the package that runs on past its end; a
    // second copy of the whole one is a package of its own.
    EXPECT_TRUE(explained.Explains(raw_runs_on.found));
    EXPECT_FALSE(explained.Explains(raw_a_again.found));
}

} // namespace
