// Test fakes: system parameters, program start, the system library, disk
// free space, local memory, message boxes and the window instance, and the
// failures injected into the host back end.
#include <cstdlib>
#include <cstring>
#include <deque>

#include "hostos/os.h"
#include "platform/host/host_state.h"
#include "platform/platform.h"
#include "testkit/fakes/fake_control.h"

using host::detail::EqualsIgnoreCase;

namespace fake {
namespace {

struct State : host::Faults {
    bool fail_module_name = false;
    bool fail_windows_dir = false;
    int module_opens_left = -1; // -1: no limit
    std::optional<uint64_t> free_bytes;
    bool fail_disk_free = false;
    bool hide_disk_free_ex = false;
    bool fail_load_library = false;
    bool fail_local_alloc = false;
    int open_libraries = 0;
    MessageBoxHandler message_box_handler;
    std::deque<int> message_box_answers;
    std::vector<MessageBoxCall> message_box_calls;
    bool screen_saver_active = false;
    std::vector<std::string> started_programs;

    bool FailModuleFileName() override { return fail_module_name; }
    bool FailWindowsDirectory() override { return fail_windows_dir; }
    bool RefuseOwnFileOpen() override {
        if (module_opens_left == 0)
            return true;
        if (module_opens_left > 0)
            --module_opens_left;
        return false;
    }
};

State& GetState() {
    static State state;
    return state;
}

// The host back end asks the fakes whether to fail from the first use on.
State& Fakes() {
    State& state = GetState();
    host::SetFaults(&state);
    return state;
}

} // namespace

void Reset() {
    host::Reset();
    GetState() = State();
    host::SetFaults(&GetState());
    ResetWindows();
}

void FailGetModuleFileName(bool fail) {
    Fakes().fail_module_name = fail;
}
void FailGetWindowsDirectory(bool fail) {
    Fakes().fail_windows_dir = fail;
}
void FailModuleOpensAfter(int opens) {
    Fakes().module_opens_left = opens;
}
void SetFreeBytes(std::optional<uint64_t> bytes) {
    Fakes().free_bytes = bytes;
}
void FailDiskFreeSpace(bool fail) {
    Fakes().fail_disk_free = fail;
}
void HideDiskFreeSpaceEx(bool hide) {
    Fakes().hide_disk_free_ex = hide;
}
void FailLoadLibrary(bool fail) {
    Fakes().fail_load_library = fail;
}
void FailLocalAlloc(bool fail) {
    Fakes().fail_local_alloc = fail;
}
int OpenLibraryCount() {
    return GetState().open_libraries;
}
void SetMessageBoxHandler(MessageBoxHandler handler) {
    Fakes().message_box_handler = std::move(handler);
}
void QueueMessageBoxAnswer(int answer) {
    Fakes().message_box_answers.push_back(answer);
}
const std::vector<MessageBoxCall>& MessageBoxCalls() {
    return GetState().message_box_calls;
}
bool ScreenSaverActive() {
    return GetState().screen_saver_active;
}
const std::vector<std::string>& StartedPrograms() {
    return GetState().started_programs;
}

} // namespace fake

namespace hostwin {

using fake::GetState;

namespace {

// The one library the installer loads; its handle is this object's address.
struct FakeModule {
    int unused;
} g_kernel32;

HMODULE Kernel32Handle() {
    return reinterpret_cast<HMODULE>(&g_kernel32);
}

// "C:\" or "C:": a drive root, which need not be mounted itself.
bool IsDriveRoot(const std::string& path, std::string* drive) {
    if (path.size() < 2 || path.size() > 3 || path[1] != ':')
        return false;
    if (path.size() == 3 && path[2] != '\\')
        return false;
    *drive = path.substr(0, 2);
    return true;
}

// Host folder whose file system holds the given Windows directory: the folder
// it maps to, or for an unmounted drive root the folder of the longest mount
// on that drive.
bool HostFolderFor(const char* directory, std::string* host_dir) {
    std::string path = host::detail::NormaliseSeparators(directory ? directory : "C:\\");
    if (host::detail::ResolveWindowsPath(path.c_str(), host_dir))
        return true;
    std::string drive;
    if (!IsDriveRoot(path, &drive))
        return false;
    const host::detail::MountPoint* best = nullptr;
    for (const host::detail::MountPoint& m : host::detail::GetState().mounts) {
        if (m.prefix.size() >= 2 && EqualsIgnoreCase(m.prefix.substr(0, 2), drive) &&
            (!best || m.prefix.size() > best->prefix.size()))
            best = &m;
    }
    if (!best)
        return false;
    *host_dir = best->host_dir;
    return true;
}

// Free bytes for the caller and in total, and the size of the drive.
bool QueryFreeSpace(const char* directory, uint64_t* free_to_caller, uint64_t* total_bytes,
                    uint64_t* total_free) {
    const fake::State& state = GetState();
    if (state.fail_disk_free)
        return false;
    if (state.free_bytes) {
        *free_to_caller = *total_free = *total_bytes = *state.free_bytes;
        return true;
    }
    // The file system's own figure; the drive's size is not modelled.
    std::string host_dir;
    uint64_t free_bytes = 0;
    if (!HostFolderFor(directory, &host_dir) || !hostos::FreeSpace(host_dir, &free_bytes))
        return false;
    *free_to_caller = *total_free = free_bytes;
    *total_bytes = free_bytes;
    return true;
}

} // namespace

BOOL SystemParametersInfoA(UINT action, UINT param, LPVOID, UINT) {
    if (action != SPI_SETSCREENSAVEACTIVE)
        return FALSE;
    GetState().screen_saver_active = param != 0;
    return TRUE;
}

UINT WinExec(LPCSTR command_line, UINT) {
    if (!command_line)
        return 2; // ERROR_FILE_NOT_FOUND
    GetState().started_programs.push_back(command_line);
    return 33; // any value above 31 means the program was started
}

HMODULE LoadLibraryA(LPCSTR name) {
    fake::State& state = GetState();
    if (state.fail_load_library || !name)
        return nullptr;
    if (!EqualsIgnoreCase(name, "KERNEL32.DLL") && !EqualsIgnoreCase(name, "KERNEL32"))
        return nullptr;
    ++state.open_libraries;
    return Kernel32Handle();
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != Kernel32Handle() || !name || GetState().open_libraries == 0)
        return nullptr;
    // Casting through void (*)(void), the type that stands for any function.
    using AnyFunction = void (*)(void);
    if (std::strcmp(name, "GetDiskFreeSpaceExA") == 0 && !GetState().hide_disk_free_ex)
        return reinterpret_cast<FARPROC>(reinterpret_cast<AnyFunction>(&GetDiskFreeSpaceExA));
    if (std::strcmp(name, "GetDiskFreeSpaceA") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<AnyFunction>(&GetDiskFreeSpaceA));
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    fake::State& state = GetState();
    if (module != Kernel32Handle() || state.open_libraries == 0)
        return FALSE;
    --state.open_libraries;
    return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER free_to_caller,
                         PULARGE_INTEGER total_bytes, PULARGE_INTEGER total_free) {
    uint64_t caller = 0, total = 0, free = 0;
    if (!QueryFreeSpace(directory, &caller, &total, &free))
        return FALSE;
    if (free_to_caller)
        free_to_caller->QuadPart = caller;
    if (total_bytes)
        total_bytes->QuadPart = total;
    if (total_free)
        total_free->QuadPart = free;
    return TRUE;
}

BOOL GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectors_per_cluster, LPDWORD bytes_per_sector,
                       LPDWORD free_clusters, LPDWORD total_clusters) {
    uint64_t caller = 0, total = 0, free = 0;
    if (!QueryFreeSpace(root, &caller, &total, &free))
        return FALSE;
    // Clusters of 8 sectors of 512 bytes; the 32-bit counts saturate as the
    // old call does on drives too large for it.
    auto clusters = [](uint64_t bytes) {
        uint64_t n = bytes / (8 * 512);
        return DWORD(n > 0xFFFFFFFFu ? 0xFFFFFFFFu : n);
    };
    if (sectors_per_cluster)
        *sectors_per_cluster = 8;
    if (bytes_per_sector)
        *bytes_per_sector = 512;
    if (free_clusters)
        *free_clusters = clusters(caller);
    if (total_clusters)
        *total_clusters = clusters(total);
    return TRUE;
}

HLOCAL LocalAlloc(UINT flags, size_t bytes) {
    const UINT kZeroInit = 0x0040; // LMEM_ZEROINIT
    if (GetState().fail_local_alloc)
        return nullptr;
    if (bytes == 0)
        bytes = 1;
    return (flags & kZeroInit) ? calloc(1, bytes) : malloc(bytes);
}

HLOCAL LocalFree(HLOCAL memory) {
    free(memory);
    return nullptr;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT flags) {
    fake::State& state = GetState();
    std::string t = text ? text : "";
    std::string c = caption ? caption : "Error"; // Windows' caption when none is given
    int answer;
    if (state.message_box_handler) {
        answer = state.message_box_handler(t, c, flags);
    } else if (!state.message_box_answers.empty()) {
        answer = state.message_box_answers.front();
        state.message_box_answers.pop_front();
    } else {
        // The default button: the first of the box's buttons.
        switch (flags & 0xF) {
        case 2: // MB_ABORTRETRYIGNORE
            answer = 3;
            break;
        case 3: // MB_YESNOCANCEL
        case MB_YESNO:
            answer = IDYES;
            break;
        case 5: // MB_RETRYCANCEL
            answer = 4;
            break;
        default:
            answer = IDOK;
            break;
        }
    }
    state.message_box_calls.push_back({t, c, flags, answer});
    return answer;
}

LONG GetWindowLongA(HWND, int index) {
    // The usual load address of an executable stands in for the instance.
    return index == GWL_HINSTANCE ? LONG(0x400000) : 0;
}

} // namespace hostwin
