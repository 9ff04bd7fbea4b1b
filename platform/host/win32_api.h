// Host back end: the Win32 types, constants and functions the installer's
// code uses, for running that code on a host system (the package tool, the
// native tests). Include "platform/platform.h", not this file.
//
// Everything is declared in namespace hostwin, so that the emulated names
// never clash with the real ones: a Windows build of the package tool links
// this emulation and the system's KERNEL32 side by side. platform.h makes the
// names visible to the installer's code, which is written against the real
// API. Only the handful of macros the installer's code needs as macros are
// macros, each defined only when <windows.h> has not defined it.
//
// Paths are Windows paths ("C:\WINDOWS\STARS.SCR"), resolved through the
// mounts of host_world.h onto real folders. The file, directory, profile and
// short-name calls are implemented here (host_*.cpp); the user-interface and
// system calls (message boxes, dialogs, the system parameter, program start,
// the system library, free space, local memory) only by the test fakes
// (testkit/fakes), so a program that is not a test cannot link them.
#ifndef GLIM_PLATFORM_HOST_WIN32_API_H
#define GLIM_PLATFORM_HOST_WIN32_API_H

#include <stddef.h>
#include <stdint.h>

#ifndef WINAPI
#define WINAPI
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#ifndef MAKEINTRESOURCEA
#define MAKEINTRESOURCEA(i) ((LPSTR)((uintptr_t)((WORD)(i))))
#endif
#ifndef IS_INTRESOURCE
#define IS_INTRESOURCE(p) ((((uintptr_t)(p)) >> 16) == 0)
#endif
#ifndef IDC_ARROW
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#endif
#ifndef IDC_WAIT
#define IDC_WAIT MAKEINTRESOURCEA(32514)
#endif

namespace hostwin {

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int INT;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef int HFILE;
typedef void* HANDLE;
typedef void* HLOCAL;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef struct HCURSOR__* HCURSOR;
typedef INT_PTR (*FARPROC)(void);

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    uint64_t QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

constexpr HFILE HFILE_ERROR = -1;
constexpr int OF_READ = 0x00000000;
constexpr int OF_SHARE_DENY_NONE = 0x00000040;
constexpr int FILE_BEGIN = 0;
constexpr int FILE_CURRENT = 1;
constexpr int FILE_END = 2;

constexpr UINT LMEM_FIXED = 0x0000;

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

constexpr UINT SPI_SETSCREENSAVEACTIVE = 0x0011;
constexpr UINT SPIF_UPDATEINIFILE = 0x0001;
constexpr UINT SW_SHOW = 5;
constexpr UINT SW_SHOWDEFAULT = 10;
constexpr int GWL_HINSTANCE = -6;

constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;

constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;

// --- Files, directories, names (host_files.cpp, host_profile.cpp) ------------

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);

HFILE _lopen(LPCSTR path, int mode);
LONG _llseek(HFILE file, LONG offset, int origin);
UINT _lread(HFILE file, LPVOID buffer, UINT count);
HFILE _lcreat(LPCSTR path, int attribute);
UINT _lwrite(HFILE file, LPCSTR buffer, UINT count);
HFILE _lclose(HFILE file);

BOOL CreateDirectoryA(LPCSTR path, LPVOID security);
DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size);
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file);

// --- The system (test fakes only) ----------------------------------------------

BOOL SystemParametersInfoA(UINT action, UINT param, LPVOID pv, UINT win_ini);
UINT WinExec(LPCSTR command_line, UINT show);

HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);
BOOL GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectors_per_cluster, LPDWORD bytes_per_sector,
                       LPDWORD free_clusters, LPDWORD total_clusters);
BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER free_to_caller,
                         PULARGE_INTEGER total_bytes, PULARGE_INTEGER total_free);

HLOCAL LocalAlloc(UINT flags, size_t bytes);
HLOCAL LocalFree(HLOCAL memory);

// --- Windows, dialogs, cursors (test fakes only) ---------------------------------

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT flags);
LONG GetWindowLongA(HWND window, int index);

// Runs a modal dialog from template `name` (an integer resource id): creates
// it, sends WM_INITDIALOG, then dispatches the messages posted to it until
// EndDialog. Answers EndDialog's result, or -1 when the dialog could not run
// or waited for a user who never acted.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC procedure,
                        LPARAM init_param);
BOOL EndDialog(HWND dialog, INT_PTR result);
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

BOOL GetWindowRect(HWND window, LPRECT rect);
BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
BOOL UpdateWindow(HWND window);
int GetSystemMetrics(int index);

BOOL SetWindowTextA(HWND window, LPCSTR text);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
HWND GetDlgItem(HWND dialog, int id);

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
HCURSOR SetCursor(HCURSOR cursor);

} // namespace hostwin

#endif
