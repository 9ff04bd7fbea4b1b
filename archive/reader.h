// Reading archives and disc images member by member, as streams: ISO 9660
// (with Joliet and Rock Ridge names), zip, cab, lha, 7z, tar and the like,
// and any of them compressed, or a single compressed file. Bytes only: what
// the members hold is the caller's business.
//
// Two implementations: libarchive where the system has it, and one for the
// Windows build, which has none and reads no archives (Available() says so).
#ifndef GLIM_ARCHIVE_READER_H
#define GLIM_ARCHIVE_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace glim::archive {

// The archive cannot be read on (damaged, cut short, a read that failed).
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// One member cannot be read (encrypted, an unsupported method); the others
// may still be.
class MemberError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Where an archive's bytes come from.
class Source {
  public:
    virtual ~Source() = default;
    // Up to `size` bytes; 0 at the end; -1 when the read failed.
    virtual long Read(uint8_t* buffer, size_t size) = 0;
    // A source that can go back lets formats that keep their directory at
    // the end (7z) be read, and others skip what they do not need.
    virtual bool Seekable() const { return false; }
    // As lseek: the new position, or -1.
    virtual int64_t Seek(int64_t, int) { return -1; }
    // Why the last Read or Seek failed.
    virtual std::string ErrorText() const { return "read error"; }
};

// Whether this build looks inside archives at all.
bool Available();

// What a stream's first bytes say it is.
struct Sniffed {
    enum Kind { kNone, kArchive, kCompressed } kind = kNone;
    std::string format;         // the format's name ("ZIP 2.0 (deflation)", "gzip")
    bool needs_seeking = false; // cannot be read from a stream that only goes forward
    // Keeps each member's bytes whole and uncompressed in its own (an ISO
    // 9660 image, a plain tar): a search of the raw bytes finds the members'
    // packages again, and also what lies where no member is.
    bool stores_members_whole = false;
};
// How many of the first bytes Sniff wants (an ISO 9660 image says what it
// is 32 KiB in): fewer only when the stream is shorter.
constexpr size_t kSniffBytes = size_t(128) << 10;
Sniffed Sniff(const uint8_t* prefix, size_t size);

// A member: only regular files are given; folders, links and devices are
// skipped.
struct Member {
    std::string name; // its path in the archive, UTF-8 where the archive says how
    bool size_known = false;
    uint64_t size = 0;
};

class Reader {
  public:
    // Reads `source` as `what` (Sniff's answer). `prefix` holds the bytes
    // already taken from a source that cannot go back, so they are read
    // again first; a seekable source is read again from its start instead.
    Reader(Source& source, const Sniffed& what, std::vector<uint8_t> prefix);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Moves to the next member; false after the last. Throws Error.
    bool Next(Member* member);
    // The current member's next bytes, 0 at its end. Throws MemberError for
    // this member alone, Error when the archive cannot be read on.
    size_t Read(uint8_t* buffer, size_t size);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

} // namespace glim::archive

#endif
