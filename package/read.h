// Reading a package on the tool's side: the installer's own locator, record
// walk and naming rules (through the host back end), the checked reading of
// what the installer takes on trust, and the verdict (package/verdict.h)
// that list, test, extract and pack all give the same way.
#ifndef GLIM_PACKAGE_READ_H
#define GLIM_PACKAGE_READ_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/decode.h"
#include "payload/payload.h"

namespace glimpack {

// The Windows directory the installer code sees while the tool works.
constexpr const char* kWindowsDirectory = "C:\\WINDOWS";

// Records larger than this are refused unless the caller says otherwise: a
// few hundred bytes of stream can claim gigabytes.
constexpr uint64_t kDefaultMaxSize = uint64_t(1) << 30;

struct Limits {
    uint64_t max_size = kDefaultMaxSize; // bytes any one record may install
};

struct InspectedRecord {
    uint32_t index = 0;
    PayloadRecord record{};
    std::string role;        // "saver", "data", "data file"
    std::string destination; // relative to the Windows directory, "\" separated; "" when none
    // Everything found wrong with this record, in the order found: its place
    // in the file, its destination, the limits, and (once checked) its
    // contents. Texts without the "record N: " in front.
    std::vector<std::string> problems;
    bool contents_checked = false; // its contents were read in full and found sound
    uint32_t crc32 = 0;            // of the contents, when contents_checked
};

struct InspectedPackage {
    std::string path;
    std::string module_path; // the installer's own path, as the installer sees it
    uint64_t file_size = 0;
    PayloadLocation location{};
    PayloadHeader header{};
    std::vector<InspectedRecord> records; // terminator not included
    uint64_t table_end = 0;               // file position after the terminator
    uint32_t installed_total = 0;         // as the installer sums it (32 bits, wrapping)
    uint64_t installed_bytes = 0;         // the true sum of the records' installed sizes
    std::vector<std::string> notes;       // worth knowing, not wrong (a total that wraps)

    // No record has a problem. Contents count only once checked.
    bool Sound() const;
    size_t RecordsWithProblems() const;
};

// Reads the package at `path`, with the host back end set up so that the
// installer code sees it as its own file and `host_windows_dir` as the
// Windows directory, and judges everything that can be judged without
// decoding (package/verdict.h). Throws ToolError "PATH: not a package ..."
// (or why it could not be read) when there is no record table to trust at
// all. Problems of single records are collected in their `problems`.
// `as_name`, when given, is the file name the installer sees instead of the
// file's own (a package still under its scratch name).
InspectedPackage InspectPackage(const std::string& path, const std::string& host_windows_dir,
                                const Limits& limits = Limits(), const std::string& as_name = "");

// The installer's own path for a package file named `file_name`, as the tool
// shows it to the installer code ("C:\PACKAGES\" + file_name).
std::string ModulePathFor(const std::string& file_name);

// What streaming one record's contents gave.
struct StreamResult {
    uint64_t bytes = 0;            // bytes handed to the sink
    bool ran_out_of_input = false; // compressed: the stream cannot give its unpacked size
    uint32_t stored_bytes_unused = 0;
    bool short_body = false; // the file ended before stored_size bytes
};

// Hands a record's contents (the stored body, or the decoded stream) to
// `sink` in pieces. A compressed stream that runs out of its stored bytes is
// given up on at once: what it would decode from there is zero bits. The
// sink may throw to stop.
StreamResult StreamRecord(const InspectedPackage& pkg, const InspectedRecord& record,
                          const ByteSink& sink);

// The title as text: Windows-1252 converted to UTF-8, control characters
// shown as \xNN so that they cannot disturb a terminal.
std::string TitleForDisplay(const PayloadHeader& header);

} // namespace glimpack

#endif
