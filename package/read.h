// A package as the tool sees it: what the installer's own walk found in it,
// record by record, with what is wrong with each; and the checked reading of
// the headers the installer takes on trust. A package session
// (package/session.h) reads the file and fills this in; the verdict
// (package/verdict.h) judges it. Nothing here opens a file.
#ifndef GLIM_PACKAGE_READ_H
#define GLIM_PACKAGE_READ_H

#include <cstdint>
#include <string>
#include <vector>

#include "hostos/crypto.h"
#include "package/problems.h"
#include "payload/payload.h"
#include "pe/authenticode.h"

namespace glimpack {

// Records larger than this are refused unless the caller says otherwise: a
// few hundred bytes of stream can claim gigabytes.
constexpr uint64_t kDefaultMaxSize = uint64_t(1) << 30;

struct Limits {
    uint64_t max_size = kDefaultMaxSize; // bytes any one record may install
};

// Where a record is written, resolved once from the record: the components
// below the Windows directory as Windows will store them (trailing dots and
// blanks dropped), each judged a plain name.
struct Destination {
    std::vector<std::string> components;
    std::string shown; // the components joined with "\", as list shows them
    // The path as the installer names it, when Windows stores it otherwise
    // ("QUILLFEN\GLIMLOOM\TRAIL \TRAIL .DAT" lands in "TRAIL"); else "".
    std::string named;
    bool empty() const { return components.empty(); }
};

struct InspectedRecord {
    uint32_t index = 0;
    PayloadRecord record{};
    std::string role;        // "saver", "data", "data file"
    Destination destination; // empty when the record has none
    // Everything found wrong with this record, in the order found: its place
    // in the file, its destination, the limits, and (once checked) its
    // contents.
    std::vector<Problem> problems;
    bool contents_checked = false; // its contents were read in full and found sound
    uint32_t crc32 = 0;            // of the contents, when contents_checked
    // Digests of the contents in hex, one for each of the package's
    // digest_algorithms, when contents_checked ("" where the system cannot
    // compute one).
    std::vector<std::string> digests;
};

// A range of the file's bytes that the installer never reads: what else is
// in the file besides the program and the payload it installs.
enum class RegionKind {
    kGap,              // between the record table and a body, or two bodies
    kTrailingData,     // after the last body
    kSectionPadding,   // zeros after the last body up to the end of the resource
                       // section, as a builder leaves them
    kCertificateTable, // the table the security directory points at (a signature)
    kSignaturePadding, // zeros that align the certificate table
};
const char* RegionKindName(RegionKind kind);

struct Region {
    uint64_t offset = 0;
    uint64_t size = 0;
    RegionKind kind = RegionKind::kGap;
    std::string before; // what precedes it ("the record table", "the body of record 2")
    std::string after;  // what follows it, for a gap
};

struct InspectedPackage {
    std::string path;
    std::string module_path; // the installer's own path, as the installer sees it
    uint64_t file_size = 0;
    PayloadLocation location{};
    PayloadHeader header{};
    std::vector<InspectedRecord> records; // terminator not included
    // The digests each record's contents get beside their CRC-32: the CRC is
    // the installer's world, digests are what archivists compare (SHA-256
    // unless asked otherwise).
    std::vector<hostos::DigestAlgorithm> digest_algorithms{hostos::DigestAlgorithm::Sha256};
    uint64_t table_end = 0;       // file position after the terminator
    uint32_t installed_total = 0; // as the installer sums it (32 bits, wrapping)
    uint64_t installed_bytes = 0; // the true sum of the records' installed sizes
    std::vector<Problem> notes;   // worth knowing, not wrong (a total that wraps)
    // Every range of the file the installer never reads, in file order.
    std::vector<Region> unread;
    // Entries past the terminating one that look like records: a table that
    // seems to go on where the installer stops reading it.
    uint32_t entries_past_terminator = 0;
    // The file's Authenticode signature, checked against the file as it is.
    glim::pe::SignatureReport signature;
    // Problems of the package as a whole rather than of one record (a
    // signature that no longer holds).
    std::vector<Problem> problems;

    // A record's digest by `algorithm`, in hex; "" when it has none.
    std::string DigestOf(const InspectedRecord& record, hostos::DigestAlgorithm algorithm) const;
    // No record has a problem. Contents count only once checked.
    bool Sound() const;
    size_t RecordsWithProblems() const;
    // The package's own problems, then every record's, in record order.
    std::vector<Problem> AllProblems() const;
    // What "OK" can promise of this file: "none" (no checksum, no signature),
    // "signature" (signed, and the file is as it was signed), "broken-signature",
    // or "unchecked" (signed, but this build cannot check signatures).
    const char* Integrity() const;
};

// The installer's own path for a package file named `file_name`, as the tool
// shows it to the installer code (EMULATED_MODULE_FOLDER + file_name).
std::string ModulePathFor(const std::string& file_name);

// "saver", "data" or "data file": what record `index` is to the installer.
const char* RoleOf(uint32_t index);

// The installer trusts its own headers; the tool first makes sure it is
// looking at a PE file at all, so that the message says so. `head` holds the
// file's first bytes: 64, and up to the PE signature when the DOS header
// points past them (HeadBytesNeeded).
void CheckPeSignature(const std::string& path, const std::vector<uint8_t>& head);
// How many of the file's first bytes CheckPeSignature needs, once the first
// 64 (or all there are) are in `head`.
uint64_t HeadBytesNeeded(const std::vector<uint8_t>& head, uint64_t file_size);

// How many of the file's first bytes CheckPayloadResource reads: up to the
// end of the resource section the installer found, within a bound that
// keeps a hostile size from being read into memory.
uint64_t ResourceBytesNeeded(const PayloadLocation& location, uint64_t file_size);
// The resource section as the installer found it (`location`), read with the
// checked reader from `bytes`, the file's first ResourceBytesNeeded bytes:
// its first type must be the named type "LASTRES", leading to the data entry
// the installer's walk reached. An ordinary program, whose first type is
// numbered, is refused here instead of having its resources walked as a
// record table.
void CheckPayloadResource(const std::string& path, const std::vector<uint8_t>& bytes,
                          const PayloadLocation& location);

// What reading one record's contents gave.
struct StreamResult {
    uint64_t bytes = 0;            // bytes handed on
    bool ran_out_of_input = false; // compressed: the stream cannot give its unpacked size
    uint32_t stored_bytes_unused = 0;
    bool short_body = false; // the file ended before stored_size bytes
    uint32_t crc32 = 0;      // of the bytes handed on
    // Of the bytes handed on, in hex, one for each algorithm asked for; ""
    // where the system cannot compute one.
    std::vector<std::string> digests;
};

// The title as text: Windows-1252 converted to UTF-8, control characters
// shown as \xNN so that they cannot disturb a terminal.
std::string TitleForDisplay(const PayloadHeader& header);

} // namespace glimpack

#endif
