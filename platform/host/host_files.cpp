// Host back end: the module name, the Windows directory, file handles,
// directories, short names and the standard library's file calls.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/windows_names.h"
#include "hostos/os.h"
#include "platform/host/host_state.h"
#include "platform/platform.h"

namespace hostwin {

using host::detail::GetFaults;
using host::detail::GetState;
using host::detail::ResolveWindowsPath;
using host::detail::TakeComponents;

namespace {

// Copies `text` as the Windows "size needed" calls do: the length on success,
// or the size needed (terminator included) without touching the buffer.
DWORD CopyOrNeeded(const std::string& text, char* buffer, DWORD size) {
    if (!buffer || text.size() + 1 > size)
        return DWORD(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return DWORD(text.size());
}

// Opens a Windows path as a POSIX descriptor; directories are refused as the
// Windows file calls refuse them, and the installer's own file is read-only
// (Windows refuses to write to the file of a running program).
// Opens a Windows path as a host descriptor; directories are refused as the
// Windows file calls refuse them, and the installer's own file is read-only
// (Windows refuses to write to the file of a running program).
int OpenResolved(const char* path, bool write, bool create) {
    std::string host_path;
    bool is_module = false;
    if (!ResolveWindowsPath(path, &host_path, &is_module))
        return -1;
    if (is_module && (write || (GetFaults() && GetFaults()->RefuseOwnFileOpen())))
        return -1;
    int fd = write ? hostos::OpenWrite(host_path, create, create) : hostos::OpenRead(host_path);
    if (fd < 0)
        return -1;
    if (hostos::GetStatus(fd).kind != hostos::Kind::Regular) {
        hostos::Close(fd);
        return -1;
    }
    return fd;
}

bool IsShortNameChar(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80)
        return true;
    return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr && c != 0;
}

bool IsValidShortName(const std::string& name) {
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3)
        return false;
    if (dot != std::string::npos && ext.empty())
        return false;
    for (unsigned char c : base + ext)
        if (!IsShortNameChar(c))
            return false;
    return true;
}

// The usual generated short name: the first six usable characters of the
// name before its last ".", "~1", and the first three of the extension, in
// capitals. Blanks and dots are dropped, other characters not allowed in a
// short name become "_".
std::string MakeShortName(const std::string& name) {
    size_t dot = name.find_last_of('.');
    if (dot == 0)
        dot = std::string::npos; // ".profile" has no extension
    auto squeeze = [](const std::string& part, size_t limit) {
        std::string out;
        for (unsigned char c : part) {
            if (out.size() == limit)
                break;
            if (c == ' ' || c == '.')
                continue;
            if (!IsShortNameChar(c))
                c = '_';
            c = UpperAscii(c);
            out.push_back(char(c));
        }
        return out;
    };
    std::string base = squeeze(name.substr(0, dot), 6);
    if (base.empty())
        base = "_";
    std::string ext = dot == std::string::npos ? "" : squeeze(name.substr(dot + 1), 3);
    return base + "~1" + (ext.empty() ? "" : "." + ext);
}

} // namespace

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    const host::detail::State& state = GetState();
    if (state.module_windows.empty() || !buffer || size == 0)
        return 0;
    if (GetFaults() && GetFaults()->FailModuleFileName())
        return 0;
    const std::string& name = state.module_windows;
    if (name.size() < size) {
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        return DWORD(name.size());
    }
    // Too short: Windows (since Vista) fills the buffer with a terminated
    // prefix and answers the buffer size.
    std::memcpy(buffer, name.c_str(), size - 1);
    buffer[size - 1] = '\0';
    return size;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (GetFaults() && GetFaults()->FailWindowsDirectory())
        return 0;
    return CopyOrNeeded(GetState().windows_dir, buffer, size);
}

HFILE _lopen(LPCSTR path, int mode) {
    // OF_WRITE (1) and OF_READWRITE (2) open for writing; the installer only
    // ever reads through _lopen.
    int fd = OpenResolved(path, (mode & 3) != 0, false);
    return fd < 0 ? HFILE_ERROR : fd;
}

LONG _llseek(HFILE file, LONG offset, int origin) {
    if (origin != FILE_BEGIN && origin != FILE_CURRENT && origin != FILE_END)
        return -1;
    int whence = origin == FILE_CURRENT ? SEEK_CUR : origin == FILE_END ? SEEK_END : SEEK_SET;
    int64_t position = hostos::Seek(file, offset, whence);
    if (position < 0 || position > std::numeric_limits<LONG>::max())
        return -1;
    return LONG(position);
}

UINT _lread(HFILE file, LPVOID buffer, UINT count) {
    bool failed = false;
    size_t total = hostos::ReadFull(file, buffer, count, &failed);
    return failed && total == 0 ? UINT(-1) : UINT(total);
}

HFILE _lcreat(LPCSTR path, int) {
    int fd = OpenResolved(path, true, true);
    return fd < 0 ? HFILE_ERROR : fd;
}

UINT _lwrite(HFILE file, LPCSTR buffer, UINT count) {
    // A count of 0 writes nothing (the 16-bit call would cut the file at the
    // current position; callers here only ever mean "nothing left to write").
    if (count == 0)
        return 0;
    return hostos::Write(file, buffer, count) ? count : UINT(HFILE_ERROR);
}

HFILE _lclose(HFILE file) {
    return hostos::Close(file) ? 0 : HFILE_ERROR;
}

BOOL CreateDirectoryA(LPCSTR path, LPVOID) {
    std::string host_path;
    bool is_module = false;
    if (!ResolveWindowsPath(path, &host_path, &is_module) || is_module)
        return FALSE;
    return hostos::MakeDirectory(host_path) ? TRUE : FALSE;
}

DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
    std::string host_path;
    if (!ResolveWindowsPath(long_path, &host_path))
        return 0;
    hostos::Kind kind = hostos::GetStatus(host_path, true).kind;
    if (kind == hostos::Kind::Missing || kind == hostos::Kind::Error)
        return 0;
    std::string path = host::detail::NormaliseSeparators(long_path);
    // The drive ("C:") stays; every component below it gets its short form,
    // with "." and ".." applied as Windows applies them.
    size_t drive = path.find('\\');
    std::string result = drive == std::string::npos ? path : path.substr(0, drive);
    std::vector<std::string> components;
    TakeComponents(path, drive == std::string::npos ? path.size() + 1 : drive + 1, false,
                   &components);
    for (std::string& name : components) {
        if (!IsValidShortName(name))
            name = MakeShortName(name);
    }
    for (const std::string& name : components)
        result += "\\" + name;
    if (components.empty())
        result += "\\";
    return CopyOrNeeded(result, short_path, size);
}

int PlatPathExists(const char* path) {
    std::string host_path;
    if (!ResolveWindowsPath(path, &host_path))
        return 0;
    hostos::Kind kind = hostos::GetStatus(host_path, true).kind;
    return kind != hostos::Kind::Missing && kind != hostos::Kind::Error ? 1 : 0;
}

FILE* PlatOpenFile(const char* path, const char* mode) {
    std::string host_path;
    bool is_module = false;
    if (!mode || !ResolveWindowsPath(path, &host_path, &is_module))
        return nullptr;
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (is_module && writes)
        return nullptr;
    FILE* file = hostos::OpenStream(host_path, mode);
    if (!file)
        return nullptr;
    if (hostos::GetStatus(fileno(file)).kind != hostos::Kind::Regular) {
        fclose(file);
        return nullptr;
    }
    return file;
}

void PlatExitProcess(int code) {
    exit(code);
}

} // namespace hostwin
