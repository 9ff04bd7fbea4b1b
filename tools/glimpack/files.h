// The files glimpack reads and writes: whole inputs, outputs that appear
// whole or not at all, private working folders, and where the installer
// stub is found.
#ifndef GLIM_TOOLS_GLIMPACK_FILES_H
#define GLIM_TOOLS_GLIMPACK_FILES_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hostos/atomic_file.h"
#include "hostos/os.h"

namespace glimpack {

std::vector<uint8_t> ReadWholeFile(const std::string& path);

// An output file written beside its final name and put in place by Commit();
// destroyed without Commit() it leaves nothing. Errors are ToolErrors naming
// the file.
class AtomicOutput {
  public:
    // Checks the output first (CheckOutputPath): overwrite=false refuses to
    // replace an existing file, at once and again at Commit() (a file that
    // appeared meanwhile is never replaced).
    AtomicOutput(const std::string& path, bool overwrite,
                 const std::vector<std::string>& inputs = {});
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void Write(const void* data, size_t size);
    // Over bytes already written, and cutting them off (see hostos::AtomicFile).
    void WriteAt(uint64_t offset, const void* data, size_t size);
    void Truncate(uint64_t size);
    void Commit();
    // Commit in two steps, for a caller that checks the finished file (under
    // its scratch name) before it is put in place.
    void Finish();
    void Publish();
    const std::string& path() const { return file_.path(); }
    const std::string& temp_path() const { return file_.scratch_path(); }

  private:
    hostos::AtomicFile file_;
    bool overwrite_;
};

// Why glimpack will not write where something of this kind is.
std::string DescribeNotRegular(hostos::Kind kind);

// Refuses, before anything large is read, an output glimpack must not write:
// anything but a regular file where it goes (a device, a FIFO, a link, a
// folder; --overwrite or not), an existing file without `overwrite`, and the
// very file (not merely the same name) of one of `inputs`.
void CheckOutputPath(const std::string& output, bool overwrite,
                     const std::vector<std::string>& inputs);

// A fresh private directory, removed with everything in it when destroyed
// (or when the process is interrupted).
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
    int cleanup_ = 0;
};

// The folders MakeDirectories made, removed again (when still empty) unless
// Keep() is called: a command that fails leaves no new empty folders.
class MadeDirectories {
  public:
    MadeDirectories() = default;
    ~MadeDirectories();
    MadeDirectories(const MadeDirectories&) = delete;
    MadeDirectories& operator=(const MadeDirectories&) = delete;
    void Make(const std::string& path);
    void Keep() { made_.clear(); }

  private:
    std::vector<std::string> made_;
};

// The folder that holds `path` ("." for a bare name): where scratch files
// that stand in for memory go while `path` is written.
std::string DirectoryOf(const std::string& path);

// Makes `path` and any missing folders above it; a ToolError names the one
// that could not be made, with the system's reason. `made` (may be empty)
// hears of each one made, outermost first, with interruptions held back
// between the making and the hearing.
void MakeDirectories(const std::string& path,
                     const std::function<void(const std::string& made)>& made = nullptr);
// The folder holding `path`, without the separator that ends it; "" for a
// bare name.
std::string ParentDirectory(const std::string& path);

// Where the default stub is looked for: $GLIMPACK_STUB, else glimsetup.exe
// beside the running executable or in ../share/glimpack from it, else the
// path this tool was built with.
std::string DefaultStubPath();

} // namespace glimpack

#endif
