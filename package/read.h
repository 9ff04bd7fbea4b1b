// Reading a package on the tool's side: the installer's own locator, record
// walk and naming rules (through the host back end), plus the structural
// checks the installer never makes, so that the tool can say what is wrong.
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

struct InspectedRecord {
    uint32_t index = 0;
    PayloadRecord record{};
    std::string role;                  // "saver", "data", "data file"
    std::string destination;           // relative to the Windows directory, "\" separated
    std::string destination_problem;   // why no safe destination exists, or ""
    std::vector<std::string> problems; // structural problems of this record's body
};

struct InspectedPackage {
    std::string path;
    std::string module_path; // the installer's own path, as the installer sees it
    uint64_t file_size = 0;
    PayloadLocation location{};
    PayloadHeader header{};
    std::vector<InspectedRecord> records; // terminator not included
    bool terminated = false;              // the table ended with its terminator
    uint64_t table_end = 0;               // file position after the terminator
    uint32_t installed_total = 0;         // as the installer sums it (32-bit)
};

// Reads the package at `path`, with the host back end set up so that the
// installer code sees it as its own file and `host_windows_dir` as the
// Windows directory. Throws ToolError naming the file when it is not a
// package at all (not a PE file, no resource section, payload outside the
// file, record table cut off by the end of the file). Problems of single
// records are collected in InspectedRecord::problems instead.
InspectedPackage InspectPackage(const std::string& path, const std::string& host_windows_dir);

// What streaming one record's contents gave.
struct StreamResult {
    uint64_t bytes = 0;            // bytes handed to the sink
    bool ran_out_of_input = false; // compressed: items needed bits past the stored bytes
    uint32_t stored_bytes_unused = 0;
    bool short_body = false; // the file ended before stored_size bytes
};

// Hands a record's contents (the stored body, or the decoded stream) to
// `sink` in pieces. The sink may throw to stop.
StreamResult StreamRecord(const InspectedPackage& pkg, const InspectedRecord& record,
                          const ByteSink& sink);

// What extracting the package puts on a disk: the true sum of the records'
// installed sizes (the installer's own 32-bit total is installed_total).
uint64_t InstalledBytes(const InspectedPackage& pkg);

// The title as text: Windows-1252 converted to UTF-8, control characters
// shown as \xNN so that they cannot disturb a terminal.
std::string TitleForDisplay(const PayloadHeader& header);

// Problem text shared by `test` and `extract` for a decoded record.
std::string DescribeDecodeProblem(bool ran_out_of_input, uint32_t stored_bytes_unused);

} // namespace glimpack

#endif
