// Helpers shared by the glimpack commands: error reporting and file output
// that never leaves a partial file behind.
#ifndef GLIM_TOOLS_GLIMPACK_COMMON_H
#define GLIM_TOOLS_GLIMPACK_COMMON_H

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace glimpack {

// Bad input or an I/O failure: the message names the file and the problem,
// and the command ends with exit code 2.
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A usage error: exit code 1.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "FILE: problem"
[[noreturn]] void Fail(const std::string& file, const std::string& problem);

std::vector<uint8_t> ReadWholeFile(const std::string& path);

// Writes to a temporary file beside `path` and renames it into place on
// Commit(); destroyed without Commit() it removes the temporary file.
class AtomicOutput {
  public:
    // overwrite=false refuses to replace an existing file at Commit().
    AtomicOutput(std::string path, bool overwrite);
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void Write(const void* data, size_t size);
    void Commit();
    const std::string& path() const { return path_; }
    const std::string& temp_path() const { return temp_path_; }

  private:
    std::string path_;
    std::string temp_path_;
    bool overwrite_;
    std::FILE* file_ = nullptr;
    bool committed_ = false;
};

// Records larger than this are refused unless --max-size says otherwise: a
// few hundred bytes of stream can claim gigabytes.
constexpr uint64_t kDefaultMaxSize = uint64_t(1) << 30;

// Parses a byte count given to `option` ("1048576", "64K", "512M", "1G").
uint64_t ParseSize(const std::string& option, const char* value);
// Parses a whole number given to `option`, at most `max`.
uint64_t ParseNumber(const std::string& option, const char* value, uint64_t max);

// A fresh private directory, removed with everything in it when destroyed.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::string& prefix, const std::string& parent = "");
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return path_; }
    // Keeps the directory (for instance after renaming it into place).
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

// Runs a command body, turning ToolError and UsageError into the message on
// stderr and the matching exit code.
int RunCommand(const char* name, int (*body)(int, char**), int argc, char** argv);

} // namespace glimpack

#endif
