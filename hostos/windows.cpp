// The host's system calls on Windows, through the wide-character API: paths
// and texts are UTF-8 above this file and UTF-16 below it (windows_internal.h).
//
// Files are opened with CreateFileW and handed to the C runtime as binary
// descriptors (_open_osfhandle), shared for reading, writing and deleting,
// so that a file open here can still be renamed or removed (removal takes
// effect when the last handle closes). Errors are the system's codes
// (GetLastError), plus three of our own for what Windows has no code for.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The system's macro would rename our own function of that name.
#undef RemoveDirectory

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "base/windows_names.h"
#include "hostos/os.h"
#include "hostos/threads.h"
#include "hostos/windows_internal.h"

namespace hostos {
namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

std::wstring WithBackslashes(const std::string& path);

} // namespace

namespace win {

std::wstring Widen(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        uint32_t c = 0;
        size_t length = DecodeUtf8(text, i, &c);
        if (length == 0) {
            out += wchar_t(0xFFFD);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += wchar_t(0xD800 + (c >> 10));
            out += wchar_t(0xDC00 + (c & 0x3FF));
        } else {
            out += wchar_t(c);
        }
        i += length;
    }
    return out;
}

std::string Narrow(const wchar_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<uint32_t>(static_cast<uint16_t>(text[i]));
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
            auto low = static_cast<uint32_t>(static_cast<uint16_t>(text[i + 1]));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string Narrow(const std::wstring& text) {
    return Narrow(text.data(), text.size());
}

std::wstring SystemPath(const std::string& path) {
    std::wstring w = WithBackslashes(path);
    if (w.empty() || StartsWith(w, L"\\\\?\\") || StartsWith(w, L"\\\\.\\"))
        return w;
    DWORD needed = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return w;
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(w.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return w;
    full.resize(length);
    if (StartsWith(full, L"\\\\.\\") || StartsWith(full, L"\\\\?\\"))
        return full; // a device: NameProblem keeps such names away
    if (StartsWith(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace win

namespace {

using win::Narrow;
using win::SystemPath;
using win::Widen;

// Our own error codes (bit 29 marks a code as the application's).
constexpr DWORD kErrorNotRegular = 0x20000001;
constexpr DWORD kErrorDeviceName = 0x20000002;
constexpr DWORD kErrorStreamName = 0x20000003;

const char kDeviceText[] = "is a device name on Windows (" WINDOWS_DEVICE_NAMES_TEXT
                           ", name devices in every folder), not a file";
const char kStreamText[] = "holds ':', which on Windows names an alternate data stream of "
                           "another file, not a file of its own";

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring WithBackslashes(const std::string& path) {
    std::wstring w = Widen(path);
    for (wchar_t& c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

// 0, or the code of what is wrong with the name (see NameProblem).
DWORD NameProblemCode(const std::string& path) {
    std::wstring w = WithBackslashes(path);
    if (StartsWith(w, L"\\\\.\\"))
        return kErrorDeviceName; // the device namespace itself
    size_t pos = 0;
    int unc_parts = 0; // server and share are names of another kind
    if (StartsWith(w, L"\\\\?\\UNC\\")) {
        pos = 8;
        unc_parts = 2;
    } else if (StartsWith(w, L"\\\\?\\")) {
        pos = 4;
    } else if (StartsWith(w, L"\\\\")) {
        pos = 2;
        unc_parts = 2;
    }
    if (unc_parts == 0 && HasDrivePrefix(w.data() + pos, w.size() - pos))
        pos += 2; // the drive
    size_t start = 0, count = 0;
    while (NextPathComponent(w.data(), w.size(), &pos, &start, &count)) {
        std::wstring name = w.substr(start, count);
        if (name.empty() || name == L"." || name == L"..")
            continue;
        if (unc_parts > 0) {
            --unc_parts;
            continue;
        }
        if (name.find(L':') != std::wstring::npos)
            return kErrorStreamName;
        if (IsWindowsDeviceName(name.data(), name.size()))
            return kErrorDeviceName;
    }
    return 0;
}

// False (with the reason as the last error) for a name that must not be used.
bool NameUsable(const std::string& path) {
    DWORD code = NameProblemCode(path);
    if (code == 0)
        return true;
    SetLastError(code);
    return false;
}

bool IsNotFoundCode(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_INVALID_DRIVE || code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME;
}

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

Status FromHandle(HANDLE handle) {
    Status s;
    DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        s.kind =
            type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR ? Kind::Error : Kind::Other;
        return s;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        s.kind = Kind::Error;
        return s;
    }
    s.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Directory : Kind::Regular;
    s.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    s.device = info.dwVolumeSerialNumber;
    s.inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return s;
}

// Opens `path` with CreateFileW and hands the handle to the C runtime as a
// binary descriptor; -1 on failure, the reason as the last error. A
// descriptor that Close() will close is noted when open for writing (a
// stream is closed by fclose, which this layer does not see).
int OpenDescriptor(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
                   int crt_flags, bool for_stream = false) {
    if (!NameUsable(path))
        return -1;
    std::wstring w = SystemPath(path);
    if (w.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return -1;
    }
    HANDLE handle = CreateFileW(w.c_str(), access, kShareAll, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), crt_flags);
    if (fd < 0) {
        CloseHandle(handle);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return -1;
    }
    if (!for_stream && (access & (GENERIC_WRITE | FILE_APPEND_DATA)))
        win::NoteOpenForWriting(handle);
    return fd;
}

// A short name part no other run is likely to pick at the same moment; the
// callers create exclusively and try again when it is taken. The count is
// shared by the threads that make scratch files side by side.
std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t x = (uint64_t(GetCurrentProcessId()) << 32) ^ uint64_t(now.QuadPart) ^
                 (uint64_t(++counter) * 0x9E3779B97F4A7C15ull);
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    for (int i = 0; i < 8; ++i) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        out += kChars[x % 36];
    }
    return out;
}

UINT g_console_output_cp = 0;

void RestoreConsoleOutput() {
    if (g_console_output_cp != 0)
        SetConsoleOutputCP(g_console_output_cp);
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

} // namespace

Status GetStatus(const std::string& path, bool follow_links) {
    Status s;
    if (!NameUsable(path)) {
        s.kind = Kind::Other; // a device, or a stream of another file
        return s;
    }
    std::wstring w = SystemPath(path);
    if (w.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return s;
    }
    DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        s.kind = IsNotFoundCode(GetLastError()) ? Kind::Missing : Kind::Error;
        return s;
    }
    // Junctions, symbolic links and every other reparse point are links:
    // what they lead to is not this folder's business.
    bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (reparse && !follow_links ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (reparse && !follow_links)
            s.kind = Kind::Link;
        else
            s.kind = IsNotFoundCode(GetLastError()) ? Kind::Missing : Kind::Error;
        return s;
    }
    s = FromHandle(handle);
    CloseHandle(handle);
    if (reparse && !follow_links && s.kind != Kind::Error)
        s.kind = Kind::Link;
    return s;
}

Status GetStatus(int fd) {
    HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        Status s;
        s.kind = Kind::Error;
        SetLastError(ERROR_INVALID_HANDLE);
        return s;
    }
    return FromHandle(handle);
}

int OpenRead(const std::string& path) {
    return OpenDescriptor(path, GENERIC_READ, OPEN_EXISTING, 0, _O_RDONLY);
}

int OpenWrite(const std::string& path, bool create, bool truncate) {
    DWORD disposition = create ? (truncate ? CREATE_ALWAYS : OPEN_ALWAYS)
                               : (truncate ? TRUNCATE_EXISTING : OPEN_EXISTING);
    return OpenDescriptor(path, GENERIC_READ | GENERIC_WRITE, disposition, 0, _O_RDWR);
}

int CreateNew(const std::string& path) {
    return OpenDescriptor(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                          FILE_FLAG_OPEN_REPARSE_POINT, _O_RDWR);
}

int64_t Seek(int fd, int64_t offset, int whence) {
    DWORD method = whence == SEEK_CUR ? FILE_CURRENT : whence == SEEK_END ? FILE_END : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(HandleOf(fd), distance, &position, method))
        return -1;
    return position.QuadPart;
}

bool SeekStream(std::FILE* stream, int64_t offset) {
    return _fseeki64(stream, offset, SEEK_SET) == 0;
}

long Read(int fd, void* buffer, size_t count) {
    DWORD want = count > (DWORD(1) << 30) ? (DWORD(1) << 30) : DWORD(count);
    DWORD got = 0;
    if (!::ReadFile(HandleOf(fd), buffer, want, &got, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1; // a pipe's writer is gone: the end
    return long(got);
}

bool Write(int fd, const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    HANDLE handle = HandleOf(fd);
    while (count > 0) {
        DWORD want = count > (DWORD(1) << 30) ? (DWORD(1) << 30) : DWORD(count);
        DWORD written = 0;
        if (!::WriteFile(handle, p, want, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        p += written;
        count -= written;
    }
    return true;
}

bool WriteAt(int fd, uint64_t offset, const void* data, size_t count) {
    // A positioned write moves the position of a handle like ours, so it is
    // put back afterwards.
    HANDLE handle = HandleOf(fd);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(handle, zero, &position, FILE_CURRENT))
        return false;
    const char* p = static_cast<const char*>(data);
    bool ok = true;
    while (ok && count > 0) {
        DWORD want = count > (DWORD(1) << 30) ? (DWORD(1) << 30) : DWORD(count);
        OVERLAPPED at = {};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD written = 0;
        ok = ::WriteFile(handle, p, want, &written, &at) && written != 0;
        if (ok) {
            p += written;
            offset += written;
            count -= written;
        } else if (GetLastError() == NO_ERROR) {
            SetLastError(ERROR_DISK_FULL);
        }
    }
    DWORD error = GetLastError();
    SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
    SetLastError(error);
    return ok;
}

bool Truncate(int fd, uint64_t size) {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool Sync(int fd) {
    return FlushFileBuffers(HandleOf(fd)) != 0;
}

int Duplicate(int fd) {
    HANDLE handle = HandleOf(fd);
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return -1;
    int duplicate = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_RDONLY);
    if (duplicate < 0) {
        CloseHandle(copy);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return duplicate;
}

bool Close(int fd) {
    HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    win::NoteClosed(handle);
    return _close(fd) == 0;
}

std::FILE* OpenStream(const std::string& path, const char* mode) {
    bool plus = std::strchr(mode, '+') != nullptr;
    DWORD access = 0;
    DWORD disposition = OPEN_EXISTING;
    int crt_flags = 0;
    std::string crt_mode;
    switch (mode[0]) {
    case 'r':
        access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
        crt_flags = plus ? _O_RDWR : _O_RDONLY;
        break;
    case 'w':
        access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
        disposition = std::strchr(mode, 'x') ? CREATE_NEW : CREATE_ALWAYS;
        crt_flags = plus ? _O_RDWR : _O_WRONLY;
        break;
    case 'a':
        access = FILE_APPEND_DATA | (plus ? GENERIC_READ : 0);
        disposition = OPEN_ALWAYS;
        crt_flags = _O_APPEND | (plus ? _O_RDWR : _O_WRONLY);
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    crt_mode = std::string(1, mode[0]) + (plus ? "+b" : "b");
    int fd = OpenDescriptor(path, access, disposition, 0, crt_flags, true);
    if (fd < 0)
        return nullptr;
    std::FILE* stream = _fdopen(fd, crt_mode.c_str());
    if (!stream) {
        _close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return stream;
}

bool IsTerminal(int fd) {
    return IsConsole(HandleOf(fd));
}

void SetBinaryOutput(int fd) {
    _setmode(fd, _O_BINARY);
}

bool MakeDirectory(const std::string& path) {
    return NameUsable(path) && CreateDirectoryW(SystemPath(path).c_str(), nullptr) != 0;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
    std::wstring pattern = SystemPath(path);
    if (pattern.empty() || !NameUsable(path)) {
        SetLastError(pattern.empty() ? ERROR_PATH_NOT_FOUND : GetLastError());
        return false;
    }
    if (pattern.back() != L'\\')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    names->clear();
    do {
        if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0)
            names->push_back(Narrow(entry.cFileName, std::wcslen(entry.cFileName)));
    } while (FindNextFileW(find, &entry));
    DWORD error = GetLastError();
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        SetLastError(error);
        return false;
    }
    return true;
}

bool ExpandPattern(const std::string& pattern, std::vector<std::string>* matches) {
    matches->clear();
    const std::string folder = DirectoryPart(pattern);
    if (folder.find_first_of("*?") != std::string::npos)
        return true; // as cmd.exe: a pattern in a folder's name matches nothing
    std::wstring wide = SystemPath(pattern);
    if (wide.empty() || !NameUsable(pattern))
        return true;
    WIN32_FIND_DATAW entry;
    HANDLE find =
        FindFirstFileExW(wide.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    do {
        if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0)
            matches->push_back(folder + Narrow(entry.cFileName, std::wcslen(entry.cFileName)));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    // In the order a folder is shown in: by name, letters without regard to case.
    std::sort(matches->begin(), matches->end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](char x, char y) { return UpperAscii(x) < UpperAscii(y); });
    });
    return true;
}

namespace {

// The path of the file open at `handle` with every link resolved, "" when
// the system cannot say (Wine cannot for paths past MAX_PATH).
std::wstring FinalPath(HANDLE handle) {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &buffer[0], DWORD(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, &buffer[0], DWORD(buffer.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    if (length == 0 || length >= buffer.size())
        return L"";
    buffer.resize(length);
    return buffer;
}

std::wstring FinalPathOf(const std::wstring& path) {
    HANDLE handle = CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return L"";
    std::wstring final_path = FinalPath(handle);
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return final_path;
}

// For when the system cannot name the whole path: its names one by one,
// each link among them resolved on its own (a link whose target cannot be
// named either makes it fail).
std::wstring FinalPathByNames(const std::wstring& full) {
    size_t root_end = StartsWith(full, L"\\\\?\\UNC\\") ? full.find(L'\\', full.find(L'\\', 8) + 1)
                                                        : full.find(L'\\', 4);
    if (root_end == std::wstring::npos)
        return L"";
    std::wstring walked = full.substr(0, root_end);
    std::wstring resolved = walked;
    size_t pos = root_end + 1;
    while (pos < full.size()) {
        size_t end = full.find(L'\\', pos);
        if (end == std::wstring::npos)
            end = full.size();
        std::wstring name = full.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty())
            continue;
        walked += L"\\" + name;
        DWORD attributes = GetFileAttributesW(walked.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return L"";
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            resolved = FinalPathOf(walked);
            if (resolved.empty())
                return L"";
        } else {
            resolved += L"\\" + name;
        }
    }
    return resolved;
}

} // namespace

bool RealPath(const std::string& path, std::string* real) {
    if (!NameUsable(path))
        return false;
    std::wstring full = SystemPath(path);
    std::wstring final_path = FinalPathOf(full);
    if (final_path.empty()) {
        DWORD error = GetLastError();
        if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES)
            return false;
        final_path = FinalPathByNames(full);
        if (final_path.empty()) {
            SetLastError(error);
            return false;
        }
    }
    // Shown to people: the usual form; "\\?\" is added again where used.
    if (StartsWith(final_path, L"\\\\?\\UNC\\"))
        final_path = L"\\\\" + final_path.substr(8);
    else if (StartsWith(final_path, L"\\\\?\\"))
        final_path = final_path.substr(4);
    *real = Narrow(final_path);
    return true;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    return NameUsable(to) && MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(),
                                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists,
    // whatever it is, decided by the file system in the same step.
    return NameUsable(to) && MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(),
                                         MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const std::string& path) {
    return NameUsable(path) && DeleteFileW(SystemPath(path).c_str()) != 0;
}

bool RemoveDirectory(const std::string& path) {
    return NameUsable(path) && RemoveDirectoryW(SystemPath(path).c_str()) != 0;
}

namespace {

bool RemoveTreeWide(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return IsNotFoundCode(GetLastError());
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(path.c_str()) != 0;
    // A junction or a link to a folder goes by itself, never what it leads to.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return RemoveDirectoryW(path.c_str()) != 0;
    bool ok = true;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0)
                ok = RemoveTreeWide(path + L"\\" + entry.cFileName) && ok;
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != 0 && ok;
}

} // namespace

bool RemoveTree(const std::string& path) {
    return NameUsable(path) && RemoveTreeWide(SystemPath(path));
}

std::string FileNamePart(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos && HasDrivePrefix(path.data(), path.size()))
        cut = 1; // "C:NAME", a name in drive C's current folder
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool IsWithin(const std::string& path, const std::string& directory) {
    std::wstring p = WithBackslashes(path);
    std::wstring d = WithBackslashes(directory);
    while (!d.empty() && d.back() == L'\\')
        d.pop_back();
    if (p.size() < d.size())
        return false;
    // Both are final paths the system gave (RealPath), spelt as stored, so
    // the one case rule (base/ascii.h) is all the comparison needs.
    if (!EqualsIgnoringAsciiCase(p.data(), d.data(), d.size()))
        return false;
    return p.size() == d.size() || p[d.size()] == L'\\';
}

std::string NameProblem(const std::string& path) {
    DWORD code = NameProblemCode(path);
    return code == 0 ? std::string() : ErrorText(int(code));
}

std::string TempDirectory() {
    wchar_t buffer[MAX_PATH + 2];
    DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
    if (length == 0 || length > MAX_PATH + 1)
        return ".";
    std::wstring dir(buffer, length);
    while (dir.size() > 3 && dir.back() == L'\\')
        dir.pop_back();
    return Narrow(dir);
}

std::string CurrentDirectory() {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0)
        return ".";
    std::wstring buffer(needed, L'\0');
    DWORD length = GetCurrentDirectoryW(needed, &buffer[0]);
    if (length == 0 || length >= needed)
        return ".";
    buffer.resize(length);
    return Narrow(buffer);
}

bool ChangeDirectory(const std::string& path) {
    return NameUsable(path) && SetCurrentDirectoryW(WithBackslashes(path).c_str()) != 0;
}

std::string ExecutablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &buffer[0], DWORD(buffer.size()));
        if (length == 0)
            return "";
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    if (StartsWith(buffer, L"\\\\?\\"))
        buffer = buffer.substr(4);
    return Narrow(buffer);
}

bool FreeSpace(const std::string& path, uint64_t* bytes) {
    std::wstring dir = SystemPath(path);
    if (dir.empty() || !NameUsable(path))
        return false;
    if (dir.back() != L'\\')
        dir += L'\\';
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr))
        return false;
    *bytes = available.QuadPart;
    return true;
}

int MakeTempFile(const std::string& prefix, std::string* path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = prefix + UniqueSuffix();
        int fd = CreateNew(candidate);
        if (fd >= 0) {
            *path = candidate;
            return fd;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return -1;
    }
    return -1;
}

int MakeScratchFile(const std::string& directory) {
    // Windows has no file without a name; this one goes when its handle
    // closes, which the system does for a process however it ends.
    std::string prefix = (directory.empty() ? std::string(".") : directory) + "/.glim-scratch.";
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = OpenDescriptor(prefix + UniqueSuffix(), GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                                FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY, _O_RDWR);
        if (fd >= 0 ||
            (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS))
            return fd;
    }
    return -1;
}

bool MakeTempDirectory(const std::string& prefix, std::string* path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = prefix + UniqueSuffix();
        if (MakeDirectory(candidate)) {
            *path = candidate;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

// A new file or folder takes the access rules of the folder it is in; there
// is no mode to set or copy.
bool SetDefaultPermissions(const std::string&, bool) {
    return true;
}

bool SetDefaultPermissions(int) {
    return true;
}

bool CopyPermissions(const std::string&, int) {
    return true;
}

std::vector<std::string> ArgumentsFromWide(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    args.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i)
        args.push_back(Narrow(argv[i], std::wcslen(argv[i])));
    return args;
}

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)) || IsConsole(GetStdHandle(STD_ERROR_HANDLE))) {
        // The console shows what is written as UTF-8 while we run; the
        // window's own code page comes back when we end.
        UINT previous = GetConsoleOutputCP();
        if (previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
            g_console_output_cp = previous;
            std::atexit(RestoreConsoleOutput);
        }
    }
}

bool ConsoleIsOwnWindow() {
    // A console started for us alone lists one process; one shared with the
    // command prompt that started us lists it too.
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void WaitForKeyPress(const std::string& prompt) {
    HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE)
        return;
    // Keys pressed while the work went on do not count.
    FlushConsoleInputBuffer(input);
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    for (;;) {
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputW(input, &record, 1, &read) || read == 0)
            break;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            break;
    }
    CloseHandle(input);
}

std::string Environment(const char* name) {
    const wchar_t* value = _wgetenv(Widen(name).c_str());
    return value ? Narrow(value, std::wcslen(value)) : std::string();
}

int LastError() {
    return int(GetLastError());
}

std::string ErrorText(int error) {
    switch (DWORD(error)) {
    case kErrorNotRegular:
        return "not a regular file";
    case kErrorDeviceName:
        return kDeviceText;
    case kErrorStreamName:
        return kStreamText;
    default:
        break;
    }
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(error), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length != 0 && buffer)
        text = Narrow(buffer, length);
    if (buffer)
        LocalFree(buffer);
    // One line, without the sentence's full stop: it is quoted after a colon.
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty())
        text = "system error " + std::to_string(error);
    return text;
}

bool IsNotFound(int error) {
    return IsNotFoundCode(DWORD(error));
}

bool IsBrokenPipe(int error) {
    return DWORD(error) == ERROR_BROKEN_PIPE || DWORD(error) == ERROR_NO_DATA;
}

int StreamError() {
    // The runtime's errno, in the system's codes that ErrorText words.
    switch (errno) {
    case EPIPE:
        return int(ERROR_BROKEN_PIPE);
    case ENOSPC:
        return int(ERROR_DISK_FULL);
    case EBADF:
        return int(ERROR_INVALID_HANDLE);
    case EACCES:
        return int(ERROR_ACCESS_DENIED);
    default:
        return int(ERROR_WRITE_FAULT);
    }
}

bool IsAlreadyExists(int error) {
    return DWORD(error) == ERROR_ALREADY_EXISTS || DWORD(error) == ERROR_FILE_EXISTS;
}

int AlreadyExistsError() {
    return int(ERROR_ALREADY_EXISTS);
}

int NotRegularError() {
    return int(kErrorNotRegular);
}

} // namespace hostos

// --- Threads -------------------------------------------------------------------
// The cross build's thread model has no std::thread: the system's threads,
// critical sections and condition variables instead. A console event handler
// runs on a thread of the system's making, so nothing here touches signals.
namespace hostos {

unsigned ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors == 0 ? 1 : unsigned(info.dwNumberOfProcessors);
}

Mutex::Mutex() : impl_(new CRITICAL_SECTION) {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}
Mutex::~Mutex() {
    DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
    delete static_cast<CRITICAL_SECTION*>(impl_);
}
void Mutex::Lock() {
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}
void Mutex::Unlock() {
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}

Condition::Condition() : impl_(new CONDITION_VARIABLE) {
    InitializeConditionVariable(static_cast<CONDITION_VARIABLE*>(impl_));
}
Condition::~Condition() {
    delete static_cast<CONDITION_VARIABLE*>(impl_);
}
void Condition::Wait(Mutex& mutex) {
    SleepConditionVariableCS(static_cast<CONDITION_VARIABLE*>(impl_),
                             static_cast<CRITICAL_SECTION*>(mutex.impl_), INFINITE);
}
void Condition::WakeAll() {
    WakeAllConditionVariable(static_cast<CONDITION_VARIABLE*>(impl_));
}

namespace {
DWORD WINAPI RunThreadBody(void* param) {
    auto* body = static_cast<std::function<void()>*>(param);
    (*body)();
    return 0;
}
struct ThreadImpl {
    std::function<void()> body;
    HANDLE handle;
};
} // namespace

Thread::Thread(std::function<void()> body) {
    auto* t = new ThreadImpl{std::move(body), nullptr};
    t->handle = CreateThread(nullptr, 0, RunThreadBody, &t->body, 0, nullptr);
    if (!t->handle)
        t->body(); // no thread to be had: the work is still done, here
    impl_ = t;
}
Thread::~Thread() {
    auto* t = static_cast<ThreadImpl*>(impl_);
    if (t->handle) {
        WaitForSingleObject(t->handle, INFINITE);
        CloseHandle(t->handle);
    }
    delete t;
}

} // namespace hostos
