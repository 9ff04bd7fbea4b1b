// The operating-system calls of the host side (the package tool, the host
// back end that runs the installer's code over a real folder, the build's
// stub layout step), behind one small interface with one implementation per
// system: posix.cpp, windows.cpp. Nothing above this folder calls the system
// directly, so a port to another system is one more file here.
//
// Paths are UTF-8. Descriptors are the C runtime's (int); every file is
// opened in binary mode and not inherited by child processes. No function
// throws: failures return false or -1, and LastError()/ErrorText() say why.
//
// A path that cannot name a file of its own on this system (NameProblem) is
// never opened, made or renamed to: on Windows such a name reaches a device
// or a stream of another file, whatever folder it is in.
#ifndef GLIM_HOSTOS_OS_H
#define GLIM_HOSTOS_OS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hostos {

enum class Kind {
    Missing,   // nothing of that name
    Regular,   // a regular file
    Directory, // a directory
    Link,      // a symbolic link, junction or other reparse point (not followed)
    Other,     // a device, FIFO, socket ...
    Error,     // the name could not be looked at (see LastError)
};

struct Status {
    Kind kind = Kind::Missing;
    uint64_t size = 0;
    // Together they name the file itself, whatever path led to it.
    uint64_t device = 0;
    uint64_t inode = 0;
};

// Looks at `path`; with follow_links false a link is reported as Link.
Status GetStatus(const std::string& path, bool follow_links);
Status GetStatus(int fd);
// The same file (device and inode), not merely the same name.
bool SameFile(const Status& a, const Status& b);

// --- Descriptors ---------------------------------------------------------------
int OpenRead(const std::string& path);
// Opens for writing; create: make it when missing; truncate: empty it.
int OpenWrite(const std::string& path, bool create, bool truncate);
// Creates a new file that did not exist (never follows or replaces anything).
int CreateNew(const std::string& path);
// A second descriptor for the file open at `fd` (for reading), to hand to
// code that takes ownership of what it is given; -1 on failure.
int Duplicate(int fd);
int64_t Seek(int fd, int64_t offset, int whence); // SEEK_SET, SEEK_CUR, SEEK_END
// Moves a stdio stream to `offset` from its start. fseek takes a long, which
// is 32 bits on Windows even for 64-bit programs.
bool SeekStream(std::FILE* stream, int64_t offset);
// Read and Write retry on interruption; Write writes everything or fails.
long Read(int fd, void* buffer, size_t count);
// Reads until `count` bytes are there or the file ends; returns how many
// arrived. *failed (may be null) tells whether an error stopped it early.
size_t ReadFull(int fd, void* buffer, size_t count, bool* failed);
bool Write(int fd, const void* data, size_t count);
// Writes everything at `offset`, leaving the descriptor's position alone.
bool WriteAt(int fd, uint64_t offset, const void* data, size_t count);
// Cuts the file to `size` bytes (or extends it with zeros).
bool Truncate(int fd, uint64_t size);
bool Sync(int fd);
bool Close(int fd);
// A stdio stream on a path, binary (fopen's modes).
std::FILE* OpenStream(const std::string& path, const char* mode);
bool IsTerminal(int fd);
// Makes a standard stream (0, 1, 2) pass bytes unchanged (no line-end
// translation) where the system would otherwise change them.
void SetBinaryOutput(int fd);
// A whole file into memory; false (see LastError) when it cannot be read.
bool ReadFile(const std::string& path, std::vector<uint8_t>* data);

// --- Names -----------------------------------------------------------------------
bool MakeDirectory(const std::string& path); // false when it exists or fails
// Names in a directory, without "." and "..", in no particular order.
bool ListDirectory(const std::string& path, std::vector<std::string>* names);
// The absolute path with every link resolved.
bool RealPath(const std::string& path, std::string* real);
// Renames, replacing an existing file at `to`.
bool RenameReplacing(const std::string& from, const std::string& to);
// Gives `from` the name `to` only when nothing has that name; `from` is gone
// afterwards either way when it succeeds.
bool RenameNoReplace(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
bool RemoveDirectory(const std::string& path); // an empty one
// Removes a directory and everything below it, links not followed.
bool RemoveTree(const std::string& path);

// The last component of a path, as this system separates components.
std::string FileNamePart(const std::string& path);
// All that comes before it: the folder part with the separator that ends it
// ("dir/" for "dir/file"), "" for a bare name.
std::string DirectoryPart(const std::string& path);
// Whether the absolute path `path` is `directory` or lies below it, as this
// system separates and compares names (both as RealPath gives them).
bool IsWithin(const std::string& path, const std::string& directory);
// Why no file of its own can be made under `path` on this system, or "" when
// one can. On Windows: a reserved device name (CON, NUL, COM1 ...; "NUL.TXT"
// too) as any component, reaching the device whatever the folder, or a ":"
// past the drive, which names an alternate data stream of another file. On
// POSIX systems every name is a name.
std::string NameProblem(const std::string& path);

// --- Places ----------------------------------------------------------------------
std::string TempDirectory();
std::string CurrentDirectory();
bool ChangeDirectory(const std::string& path);
// An environment variable's value as UTF-8, "" when it is not set.
std::string Environment(const char* name);
// Seconds on a clock that only moves forward, from some fixed moment: for
// measuring how long work takes, not for telling the time.
double MonotonicSeconds();
// The running program's own file, "" when unknown.
std::string ExecutablePath();
// Bytes free to this user on the file system holding `path`.
bool FreeSpace(const std::string& path, uint64_t* bytes);
// A new file `prefix` + a unique suffix, created exclusively; returns its
// descriptor and name.
int MakeTempFile(const std::string& prefix, std::string* path);
// A new file without a name in `directory`, open for reading and writing:
// it is gone once closed, whatever happens to the process.
int MakeScratchFile(const std::string& directory);
// A new private directory `prefix` + a unique suffix.
bool MakeTempDirectory(const std::string& prefix, std::string* path);
// Gives a file or directory the permissions a new one gets by default
// (0666 or 0777 less the process's mask); nothing where there are none.
bool SetDefaultPermissions(const std::string& path, bool directory);
bool SetDefaultPermissions(int fd);
// Gives the file open at `fd` the permissions of the file at `from`.
bool CopyPermissions(const std::string& from, int fd);

// --- The program and its console ----------------------------------------------------
// The arguments of a wide-character entry point (Windows' wmain) as UTF-8.
std::vector<std::string> ArgumentsFromWide(int argc, wchar_t** argv);

// Appends `code_point` to `out` in UTF-8, the form every name and text has
// inside the tool. A lone surrogate (a Windows name that is not valid UTF-16)
// is encoded as its three bytes, so that it survives the trip back.
void AppendUtf8(std::string& out, uint32_t code_point);
// Decodes the UTF-8 sequence at `pos` of `text` into `code_point`; returns
// its length in bytes, or 0 for bytes that are not UTF-8 (a stray or missing
// continuation byte, an overlong form, a value past U+10FFFF). A surrogate's
// three bytes decode like any other code point, since AppendUtf8 writes a
// lone surrogate that way; text that must be Unicode proper refuses
// IsSurrogate code points itself.
size_t DecodeUtf8(const std::string& text, size_t pos, uint32_t* code_point);
inline bool IsSurrogate(uint32_t code_point) {
    return code_point >= 0xD800 && code_point <= 0xDFFF;
}
// Sets up standard output and error for UTF-8 text written as bytes: binary
// mode (no "\r" added to "\n", so output is the same bytes everywhere) and a
// console that shows UTF-8. On POSIX systems SIGPIPE is ignored: a write to a
// pipe whose reader has gone fails (IsBrokenPipe) instead of killing the
// program, which can then end as it chooses. Call once at the start of the
// program.
void PrepareStandardStreams();
// The files a pattern with * and ? in its last component matches, each as
// the pattern's folder part followed by the name, sorted; "." and ".." are
// never matches. On Windows, where the command interpreter leaves patterns
// to the program; on POSIX systems the shell has expanded them already, and
// this returns false (a name with * in it is a name).
bool ExpandPattern(const std::string& pattern, std::vector<std::string>* matches);
// Whether the console was opened for this program alone, so that its window
// closes the moment the program ends: on Windows, a console program started
// from the desktop (a file dropped onto it). Never on POSIX systems.
bool ConsoleIsOwnWindow();
// Shows `prompt` and waits until a key is pressed at the console (keys
// pressed before do not count); returns at once where there is no console.
void WaitForKeyPress(const std::string& prompt);

// --- Errors ------------------------------------------------------------------------
int LastError();
std::string ErrorText(int error);
bool IsNotFound(int error);
bool IsAlreadyExists(int error);
// The reader of a pipe went away before everything was written.
bool IsBrokenPipe(int error);
// Why the C library's last write to a stream failed (fwrite, fflush,
// vfprintf), as a code for ErrorText and IsBrokenPipe. The C library keeps
// its own account (errno): on Windows the system's last error may be stale
// by the time a buffered write reports its failure.
int StreamError();
// The codes for "a file of that name exists" and "not a regular file".
int AlreadyExistsError();
int NotRegularError();

} // namespace hostos

#endif
