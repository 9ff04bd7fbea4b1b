// Tool-side package handling shared by the glimpack commands: text
// conversion for titles, the installer stub's layout check, building a
// package, and the listing of one read back by InspectPackage.
#ifndef GLIM_TOOLS_GLIMPACK_PACKAGE_H
#define GLIM_TOOLS_GLIMPACK_PACKAGE_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "payload/payload.h"
#include "tools/glimpack/inspect.h"

namespace glimpack {

// The installer seeks with signed 32-bit offsets (_llseek, fseek on a 32-bit
// long), so no byte of a package may lie at or beyond 2 GiB.
constexpr uint64_t kMaxPackageSize = 0x7FFFFFFFu;

// --- Text -------------------------------------------------------------------

// UTF-8 to Windows-1252. Returns nullopt, with the reason in `problem`, for
// invalid UTF-8 or a character the code page does not have.
std::optional<std::string> Utf8ToWindows1252(const std::string& utf8, std::string* problem);
// Windows-1252 to UTF-8; the five unassigned bytes become U+0081 etc.
std::string Windows1252ToUtf8(const std::string& text);
// A UTF-8 text for a one-line display: control characters (C0, DEL, C1) as
// \xNN, bytes that are not UTF-8 as \xNN; with `quoted`, also \" and \\.
std::string EscapeForDisplay(const std::string& utf8, bool quoted);
// A JSON string literal (quotes included); bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& utf8);

// --- Stubs --------------------------------------------------------------------

struct StubLayout {
    PayloadLocation location;
    uint64_t file_size = 0;
    uint32_t rsrc_raw_end = 0; // PointerToRawData + SizeOfRawData of .rsrc
};

// Checks that `bytes` (read from `path`) is a stub a package can be built on:
// the locator reaches the "LASTRES" resource, it declares 4 bytes, its data
// ends the resource section's virtual size, and .rsrc is the last section in
// the file with its raw data ending the file. Throws ToolError naming `path`.
StubLayout CheckStubLayout(const std::string& path, const std::vector<uint8_t>& bytes);

// Where the default stub is looked for: glimsetup.exe beside the running
// executable, else $GLIMPACK_STUB, else the path this tool was built with.
std::string DefaultStubPath();

// --- Building -----------------------------------------------------------------

// What goes into the file for one input: the body and its unpacked_size (0
// when the body is the input itself).
struct EncodedBody {
    std::vector<uint8_t> bytes;
    uint32_t unpacked_size = 0;
};
using BodyEncoder = std::function<EncodedBody(const std::vector<uint8_t>& input)>;
EncodedBody StoreBody(const std::vector<uint8_t>& input);
// Compresses the input, and keeps it stored when compression does not make
// it smaller.
EncodedBody CompressOrStoreBody(const std::vector<uint8_t>& input, encoder::Mode mode);

struct PackInput {
    std::string path; // for messages
    std::vector<uint8_t> data;
    char extension[PAYLOAD_EXTENSION_SIZE] = {0, 0, 0, 0};
};

// The upper-cased extension of a data file's name (from its last "."), checked
// for use in the installer's file names. Throws ToolError naming `path`.
void ExtensionFromFileName(const std::string& path, char extension[PAYLOAD_EXTENSION_SIZE]);

struct PackPlan {
    uint32_t payload_pos = 0;
    std::vector<uint32_t> offsets; // absolute position of each body
    uint64_t payload_end = 0;      // first byte after the last body
    uint64_t file_size = 0;        // including the padding up to the raw data's end
};

// Lays out header, table and bodies from `payload_pos` on. Throws ToolError
// naming `output` when the package would pass kMaxPackageSize.
PackPlan PlanPackage(const std::string& output, uint32_t payload_pos, uint32_t rsrc_raw_end,
                     const std::vector<uint64_t>& body_sizes);

struct PackOptions {
    std::string output;
    std::string title_1252; // already converted and checked
    uint16_t first_number = 0;
    std::string stub_path;
    std::vector<PackInput> inputs; // .SCR, .DAT, then the data files
};

// Builds the package atomically at options.output (replacing a file there).
void BuildPackage(const PackOptions& options, const BodyEncoder& encoder = StoreBody);

// --- Listing ------------------------------------------------------------------

// The `list` output for a package read by InspectPackage: text for people
// (control characters escaped) or one JSON object.
std::string FormatListingText(const InspectedPackage& package);
std::string FormatListingJson(const InspectedPackage& package);

} // namespace glimpack

#endif
