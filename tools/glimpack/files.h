// The files glimpack reads and writes: whole inputs, outputs that appear
// whole or not at all, private working folders, and where the installer
// stub is found.
#ifndef GLIM_TOOLS_GLIMPACK_FILES_H
#define GLIM_TOOLS_GLIMPACK_FILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "hostos/atomic_file.h"

namespace glimpack {

std::vector<uint8_t> ReadWholeFile(const std::string& path);

// An output file written beside its final name and put in place by Commit();
// destroyed without Commit() it leaves nothing. Errors are ToolErrors naming
// the file.
class AtomicOutput {
  public:
    // overwrite=false refuses to replace an existing file, at once and again
    // at Commit() (a file that appeared meanwhile is never replaced).
    AtomicOutput(const std::string& path, bool overwrite);
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void Write(const void* data, size_t size);
    // Over bytes already written, and cutting them off (see hostos::AtomicFile).
    void WriteAt(uint64_t offset, const void* data, size_t size);
    void Truncate(uint64_t size);
    void Commit();
    const std::string& path() const { return file_.path(); }
    const std::string& temp_path() const { return file_.scratch_path(); }

  private:
    hostos::AtomicFile file_;
    bool overwrite_;
};

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

// The folder that holds `path` ("." for a bare name): where scratch files
// that stand in for memory go while `path` is written.
std::string DirectoryOf(const std::string& path);

// Makes `path` and any missing folders above it; a ToolError names the one
// that could not be made.
void MakeDirectories(const std::string& path);
// The same for the folder that holds `path`.
void MakeParentDirectories(const std::string& path);

// Where the default stub is looked for: glimsetup.exe beside the running
// executable, else $GLIMPACK_STUB, else the path this tool was built with.
std::string DefaultStubPath();

} // namespace glimpack

#endif
