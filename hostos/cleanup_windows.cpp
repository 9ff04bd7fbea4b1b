// Interruption clean-up on Windows. Ctrl-C, Ctrl-Break, a closed console
// window and the end of the session reach a console program as calls of a
// handler on a thread of its own, while the program goes on working. One
// lock orders the two: registering, forgetting and holding interruptions
// back take it, and the handler takes it and never gives it back, so that
// once it runs nothing is registered, forgotten or published any more.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "hostos/cleanup.h"
#include "hostos/windows_internal.h"

namespace hostos {
namespace {

struct Scratch {
    std::wstring path; // as the wide API takes it, made when registered
    bool directory;
    int handle;
};

// About a second in all.
constexpr int kRemovalAttempts = 50;

struct Registry {
    Registry() { InitializeCriticalSection(&lock); }
    // Recursive for its owner: holding interruptions back and forgetting a
    // published file happen together.
    CRITICAL_SECTION lock;
    std::vector<Scratch> entries; // oldest first
    std::vector<HANDLE> open_for_writing;
    std::string note;
    bool note_to_output = false; // standard output is a file of its own
    int next_handle = 1;
    bool installed = false;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE; // a log-off of some other session: not ours
    }
    Registry& r = TheRegistry();
    // Waits for a registration in progress or a result being published.
    EnterCriticalSection(&r.lock);
    for (HANDLE handle : r.open_for_writing)
        CloseHandle(handle);
    // The program's thread goes on until it next needs the lock, and may
    // still be looking into a scratch folder (a folder with a handle open
    // on it cannot go yet): what is left is tried again while it finishes.
    for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
        bool left = false;
        for (auto it = r.entries.rbegin(); it != r.entries.rend(); ++it) {
            BOOL removed =
                it->directory ? RemoveDirectoryW(it->path.c_str()) : DeleteFileW(it->path.c_str());
            DWORD error = GetLastError();
            if (!removed && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                left = true;
        }
        if (!left)
            break;
        Sleep(20);
    }
    DWORD written = 0;
    if (!r.note.empty()) {
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), r.note.data(), DWORD(r.note.size()), &written,
                  nullptr);
        if (r.note_to_output)
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), r.note.data(), DWORD(r.note.size()),
                      &written, nullptr);
    }
    // End as the console's own handler ends a program on Ctrl-C. Not
    // ExitProcess: the program's thread, stopped anywhere, may hold the
    // runtime's locks that the exit would wait for.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

namespace win {

void NoteOpenForWriting(void* handle) {
    Registry& r = TheRegistry();
    EnterCriticalSection(&r.lock);
    r.open_for_writing.push_back(handle);
    LeaveCriticalSection(&r.lock);
}

void NoteClosed(void* handle) {
    Registry& r = TheRegistry();
    EnterCriticalSection(&r.lock);
    for (auto it = r.open_for_writing.begin(); it != r.open_for_writing.end(); ++it) {
        if (*it == handle) {
            r.open_for_writing.erase(it);
            break;
        }
    }
    LeaveCriticalSection(&r.lock);
}

} // namespace win

void InstallInterruptCleanup() {
    Registry& r = TheRegistry();
    EnterCriticalSection(&r.lock);
    if (!r.installed) {
        r.installed = true;
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
    LeaveCriticalSection(&r.lock);
}

namespace {

// Whether the two handles are the same open file (both redirected to one log).
bool SameOpenFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

} // namespace

void SetInterruptNote(const std::string& line) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    bool to_output = out != INVALID_HANDLE_VALUE && out != nullptr &&
                     GetFileType(out) == FILE_TYPE_DISK &&
                     !SameOpenFile(out, GetStdHandle(STD_ERROR_HANDLE));
    Registry& r = TheRegistry();
    EnterCriticalSection(&r.lock);
    r.note = line.substr(0, 255);
    r.note_to_output = to_output;
    LeaveCriticalSection(&r.lock);
}

int RegisterScratch(const std::string& path, bool directory) {
    // Made absolute now: the handler must not depend on the current folder.
    Scratch entry{win::SystemPath(path), directory, 0};
    Registry& r = TheRegistry();
    EnterCriticalSection(&r.lock);
    entry.handle = r.next_handle++;
    r.entries.push_back(entry);
    LeaveCriticalSection(&r.lock);
    return entry.handle;
}

void ForgetScratch(int handle) {
    Registry& r = TheRegistry();
    EnterCriticalSection(&r.lock);
    for (auto it = r.entries.begin(); it != r.entries.end(); ++it) {
        if (it->handle == handle) {
            r.entries.erase(it);
            break;
        }
    }
    LeaveCriticalSection(&r.lock);
}

void HoldInterruptsToTheEnd() {
    // Never left: a handler that starts now waits here until the process
    // ends; one that already runs keeps the lock and ends the process, and
    // this thread waits for that.
    EnterCriticalSection(&TheRegistry().lock);
}

HoldInterrupts::HoldInterrupts() {
    EnterCriticalSection(&TheRegistry().lock);
}

HoldInterrupts::~HoldInterrupts() {
    LeaveCriticalSection(&TheRegistry().lock);
}

} // namespace hostos
