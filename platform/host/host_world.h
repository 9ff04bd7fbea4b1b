// Host back end: the Windows-side world the installer's code sees when it runs
// on a host system, set up by the program that runs it (the package tool, a
// test). The state is the calling thread's, one world per thread: the tool
// checks packages side by side, and the installer's code asks for it with no
// context to tell them apart. Reset() returns to a clean world (no mounts, no module file).
//
// The installer's file handles (HFILE) are the host's descriptors: a file
// the program opened itself (hostos::OpenRead) can be handed to the
// installer's code, which then reads it and may close it as its own.
#ifndef GLIM_PLATFORM_HOST_HOST_WORLD_H
#define GLIM_PLATFORM_HOST_HOST_WORLD_H

#include <string>
#include <vector>

#include "format/naming.h"

namespace host {

void Reset();

// Maps the Windows path prefix `windows_prefix` (for example "C:\WINDOWS" or
// "C:\") onto the host folder `host_dir`. The longest matching prefix wins;
// prefixes compare without regard to letter case.
void Mount(const std::string& windows_prefix, const std::string& host_dir);

// What GetWindowsDirectoryA answers (default "C:\WINDOWS"), mounted on
// `host_dir`. An empty `windows_path` makes the query fail.
void SetWindowsDirectory(const std::string& host_dir,
                         const std::string& windows_path = EMULATED_WINDOWS_DIRECTORY);

// What GetModuleFileNameA answers: the installer's own file, seen by the
// installer code as `windows_path` and read from `host_file`.
// The default Windows path is "C:\PACKAGES\" + the host file's name.
void SetModuleFile(const std::string& host_file, const std::string& windows_path = "");

// Where `components` (plain names, as Windows stores them) lead below the
// host folder `root`, as Windows would find them: each matched without
// regard to ASCII case against an existing entry, through links only while
// they stay inside `root`. "" when a link leads out or cannot be followed.
// The one walk from a Windows path to a host path: ToHostPath and every
// emulated call go through it too.
std::string ResolveBelow(const std::string& root, const std::vector<std::string>& components);

// Host path that a Windows path resolves to, or "" when it lies under no mount
// or would leave its mount.
std::string ToHostPath(const std::string& windows_path);

// What a test may make go wrong with the calls the installer tolerates
// failing. The test fakes implement it; without one nothing fails.
class Faults {
  public:
    virtual ~Faults() = default;
    virtual bool FailModuleFileName() = 0;
    virtual bool FailWindowsDirectory() = 0;
    // Asked before each opening of the installer's own file.
    virtual bool RefuseOwnFileOpen() = 0;
};
void SetFaults(Faults* faults);

} // namespace host

#endif
