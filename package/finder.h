// Finding packages by their content in a stream of bytes of any size: a disk
// image, a concatenation, a member of an archive, a file under any name.
//
// A package begins wherever a PE file begins whose resource walk, as the
// installer takes it (the first entry at every level of the ".rsrc"
// section's directory), reaches the named type "LASTRES"; it ends where its
// last body ends (the largest offset + stored_size of its records, at least
// the end of its resource section and of its record table). The finder
// copies exactly those bytes to an unnamed scratch file, so that the package
// can be checked as one in its own file would be.
//
// The bytes go through a window: memory stays bounded (kFinderProbeLimit
// plus one block) whatever the length of the stream, and the search itself
// skips to each "MZ" with memchr.
#ifndef GLIM_PACKAGE_FINDER_H
#define GLIM_PACKAGE_FINDER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace glimpack {

// A package's headers, resource section and record table must lie within
// this many bytes of its start to be found: a stub is some 32 KB, a table a
// few hundred bytes. It is also what the window may grow to while a
// candidate waits for its bytes.
constexpr uint64_t kFinderProbeLimit = uint64_t(16) << 20;
// The PE header must begin within this many bytes of the start: linkers put
// it a few hundred bytes in. Random bytes that happen to read "MZ" point
// anywhere, and waiting for far pointers would hold most of the stream in
// the window.
constexpr uint64_t kFinderPeHeaderLimit = uint64_t(64) << 10;

// What the bytes at one position say.
struct PackageProbe {
    enum Kind { kNeedMore, kNotPackage, kPackage } kind = kNotPackage;
    // kNeedMore: bytes from the position needed to say more.
    // kPackage: the package's extent from the position, as its records claim
    // it (at most PACKAGE_MAX_SIZE, where the installer stops reading).
    uint64_t bytes = 0;
};

// Looks at the `available` bytes at a position; `at_end` says the stream
// holds no more. One rule for the whole finder, and testable on its own.
PackageProbe ProbePackage(const uint8_t* data, size_t available, bool at_end);

// One package found.
struct FoundPackage {
    uint64_t offset = 0;  // where it begins in the stream
    uint64_t size = 0;    // its bytes in the stream (less than claimed when the stream ended first)
    uint64_t claimed = 0; // its extent as its records claim it
    // An unnamed scratch file holding exactly its `size` bytes, positioned at
    // its start; the receiver owns it. -1 when the finder was told not to
    // copy this one (FinderOptions::copy).
    int fd = -1;
};

struct FinderOptions {
    // Where the scratch files go ("" for the system's temporary folder).
    std::string scratch_directory;
    // Asked once a package is recognised, with its offset and claimed
    // extent: whether to copy its bytes. A caller that can read them where
    // they are (a package that is its whole file) says no. Empty: always.
    std::function<bool(uint64_t offset, uint64_t claimed)> copy;
    // Hears each package once all its bytes have gone by (or the stream has
    // ended), in the order their ends are reached.
    std::function<void(FoundPackage& found)> found;
};

class PackageFinder {
  public:
    explicit PackageFinder(FinderOptions options);
    ~PackageFinder(); // closes the scratch files of packages not handed on
    PackageFinder(const PackageFinder&) = delete;
    PackageFinder& operator=(const PackageFinder&) = delete;

    // Room for the next bytes of the stream, at least `want` of them
    // (*capacity says how many): read into it, then Commit what was read.
    uint8_t* Space(size_t want, size_t* capacity);
    void Commit(size_t size);
    // Space + copy + Commit.
    void Feed(const uint8_t* data, size_t size);
    // The stream has ended: packages it cut short are handed on as they are.
    void Finish();

    uint64_t position() const { return base_ + length_; } // bytes committed

  private:
    struct Capture {
        uint64_t offset, end, next, claimed;
        int fd;
    };
    void Process(bool at_end);
    void Start(uint64_t offset, uint64_t claimed);
    void WriteCaptures(bool at_end);
    void Compact();

    FinderOptions options_;
    // Not a vector: a vector would zero every byte it grows by, which costs
    // more than the search in a folder of small files.
    std::unique_ptr<uint8_t[]> window_;
    size_t capacity_ = 0;
    uint64_t base_ = 0; // stream position of window_[0]
    size_t length_ = 0; // bytes of window_ holding the stream
    uint64_t scan_ = 0; // the next position to look at
    bool finished_ = false;
    std::vector<Capture> captures_;
};

// Packages found in the members of an archive, to know them again when
// the archive's raw bytes are searched too (for what no directory names, or
// behind damage): each is known by the size and CRC-32 of its bytes.
class ExplainedPackages {
  public:
    // A package found in a member, from its scratch copy (left at its start).
    void Add(const FoundPackage& found);
    // Whether a package found in the raw bytes is one added, which is then
    // taken out (each explains one): its bytes are the added one's, or begin
    // with them, since a damaged package cut short by the end of its member
    // runs on, in the raw bytes, into whatever follows the member. Of
    // several, the longest is taken.
    bool Explains(const FoundPackage& found);

  private:
    std::multiset<std::pair<uint64_t, uint32_t>> known_;
};

} // namespace glimpack

#endif
