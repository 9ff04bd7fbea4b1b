// Building a package: the stub's bytes up to the payload position, the
// payload header, the record table, the bodies, and the padding that keeps
// the file a valid PE image. Each input is read as its body is written, and
// the record table, written first as a placeholder, is filled in at the end,
// so that memory does not grow with the inputs. The same code writes a file
// (the tool) or memory (the web page).
#ifndef GLIM_PACKAGE_BUILD_H
#define GLIM_PACKAGE_BUILD_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "format/package_format.h"
#include "package/input.h"
#include "package/spill.h"

namespace glimpack {

// Where a package is written: appended to, with bytes already written
// overwritten or cut off. Failures are ToolErrors naming the output.
class PackageOutput {
  public:
    virtual ~PackageOutput() = default;
    virtual void Write(const uint8_t* data, size_t size) = 0;
    virtual void WriteAt(uint64_t offset, const uint8_t* data, size_t size) = 0;
    // Drops everything from `size` on; the next Write continues there.
    virtual void Truncate(uint64_t size) = 0;
};

// A package built in memory.
class MemoryOutput : public PackageOutput {
  public:
    void Write(const uint8_t* data, size_t size) override;
    void WriteAt(uint64_t offset, const uint8_t* data, size_t size) override;
    void Truncate(uint64_t size) override;
    std::vector<uint8_t> bytes;
};

// The title as a package holds it: Windows-1252, at most 32 bytes. Throws
// ToolError naming `subject` (the option or field it came from).
std::string PackageTitle(const std::string& utf8, const std::string& subject);
// A first file number given as text: a whole number from 0 to 65535 (text
// that is no number is a UsageError, a number over 65535 a ToolError, each
// naming `subject`).
uint16_t ParseFirstFileNumber(const std::string& text, const std::string& subject);

struct PackInput {
    std::string path;                    // read unless `source` is set; named in messages
    std::shared_ptr<InputSource> source; // the bytes, when they do not come from `path`
    char extension[PAYLOAD_EXTENSION_SIZE] = {0, 0, 0, 0};
};

// Refuses, naming `path`, an input of `size` bytes that a package cannot
// take: an empty one (its stored size of 0 would end the record table) or
// one over `limit` (the caller's --max-size, at most what a package holds).
void CheckInputSize(const std::string& path, uint64_t size, uint64_t limit);

// The upper-cased extension of a data file's name (from its last "."), checked
// for use in the installer's file names. Throws ToolError naming `path`.
void ExtensionFromFileName(const std::string& path, char extension[PAYLOAD_EXTENSION_SIZE]);

struct PackOptions {
    std::string output;     // the package's name, for messages
    std::string title_1252; // already converted and checked
    uint16_t first_number = 0;
    std::string stub_path; // for messages
    std::vector<uint8_t> stub;
    std::vector<PackInput> inputs; // .SCR, .DAT, then the data files
    // Every body as its file is; else each file is compressed, and stored
    // when that does not make it smaller.
    bool store = false;
    encoder::Mode mode = encoder::Mode::Default;
    // Where the encoder's candidate streams spill past kSpoolMemory each
    // (unnamed scratch files); "" keeps them in memory.
    std::string scratch_directory;
    // Bytes any one input may have; 0: as many as a package can hold. An
    // input that turns out larger while it is read (a pipe) is refused then.
    uint64_t max_input_size = 0;
    // Called as the inputs are read, with the bytes done and in all (the
    // total of the sizes known beforehand; never less than done).
    std::function<void(uint64_t done, uint64_t total)> progress;
};

// Builds the package into `out`, which must be empty. Throws ToolError naming
// `options.output` when the package would pass PACKAGE_MAX_SIZE, or naming
// an input that cannot be read, is empty or is too large for a package.
void BuildPackage(const PackOptions& options, PackageOutput& out);

} // namespace glimpack

#endif
