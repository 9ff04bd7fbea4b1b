// Host back end: how a host program (the package tool) or a test sets up the
// Windows-side world that the installer code sees, and reads back what it did.
//
// All state is process-wide, like the installer's own; Reset() returns to a
// clean world (no mounts, no module file, default answers).
#ifndef GLIM_PLATFORM_HOST_HOST_CONTROL_H
#define GLIM_PLATFORM_HOST_HOST_CONTROL_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace host {

void Reset();

// Maps the Windows path prefix `windows_prefix` (for example "C:\WINDOWS" or
// "C:\") onto the host folder `host_dir`. The longest matching prefix wins;
// prefixes compare without regard to letter case.
void Mount(const std::string& windows_prefix, const std::string& host_dir);

// What GetWindowsDirectoryA answers (default "C:\WINDOWS"), mounted on `host_dir`.
void SetWindowsDirectory(const std::string& host_dir,
                         const std::string& windows_path = "C:\\WINDOWS");

// What GetModuleFileNameA answers: the installer's own file, seen by the
// installer code as `windows_path` and read from `host_file`.
// The default Windows path is "C:\PACKAGES\" + the host file's name.
void SetModuleFile(const std::string& host_file, const std::string& windows_path = "");

// Failure injection for the queries the installer tolerates failing.
void FailGetModuleFileName(bool fail);
void FailGetWindowsDirectory(bool fail);

// Free space as GetDiskFreeSpaceExA / GetDiskFreeSpaceA report it. Without an
// override the answer comes from statvfs of the mounted folder.
void SetFreeBytes(std::optional<uint64_t> bytes);
void FailDiskFreeSpace(bool fail);   // both queries fail
void HideDiskFreeSpaceEx(bool hide); // GetProcAddress finds no GetDiskFreeSpaceExA
void FailLoadLibrary(bool fail);
// LocalAlloc answers no memory.
void FailLocalAlloc(bool fail);
// After `opens` more successful _lopen calls of the installer's own file,
// further ones fail (as when the file went away); -1 lifts the limit.
void FailModuleOpensAfter(int opens);
int OpenLibraryCount(); // modules loaded and not yet freed

// Host path that a Windows path resolves to, or "" when it lies under no mount
// or would leave its mount.
std::string ToHostPath(const std::string& windows_path);

// Message boxes. Each call is recorded; the answer comes from the handler, or,
// without one, from the queue of scripted answers, or else IDOK/IDYES.
struct MessageBoxCall {
    std::string text;
    std::string caption;
    unsigned flags;
    int answer;
};
using MessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
void QueueMessageBoxAnswer(int answer);
const std::vector<MessageBoxCall>& MessageBoxCalls();

// What the activation and the program start did.
bool ScreenSaverActive();
const std::vector<std::string>& StartedPrograms(); // WinExec command lines

} // namespace host

#endif
