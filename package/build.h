// Building a package: the stub's bytes up to the payload position, the
// payload header, the record table, the bodies, and the padding that keeps
// the file a valid PE image. The bytes go to a sink, so the same code writes
// a file (the tool) or memory (the web page).
#ifndef GLIM_PACKAGE_BUILD_H
#define GLIM_PACKAGE_BUILD_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "format/package_format.h"
#include "package/decode.h"

namespace glimpack {

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

// The title as a package holds it: Windows-1252, at most 32 bytes. Throws
// ToolError naming `subject` (the option or field it came from).
std::string PackageTitle(const std::string& utf8, const std::string& subject);
// A first file number given as text: a whole number from 0 to 65535 (text
// that is no number is a UsageError, a number over 65535 a ToolError, each
// naming `subject`).
uint16_t ParseFirstFileNumber(const std::string& text, const std::string& subject);

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
// naming `output` when the package would pass PACKAGE_MAX_SIZE.
PackPlan PlanPackage(const std::string& output, uint32_t payload_pos, uint32_t rsrc_raw_end,
                     const std::vector<uint64_t>& body_sizes);

struct PackOptions {
    std::string output;     // the package's name, for messages
    std::string title_1252; // already converted and checked
    uint16_t first_number = 0;
    std::string stub_path; // for messages
    std::vector<uint8_t> stub;
    std::vector<PackInput> inputs; // .SCR, .DAT, then the data files
};

// Builds the package, handing its bytes to `out` in order.
void BuildPackage(const PackOptions& options, const BodyEncoder& encoder, const ByteSink& out);

} // namespace glimpack

#endif
