// Host back end: the Win32 types, constants and functions the installer uses,
// implemented on POSIX. Include "platform/platform.h", not this file.
//
// Paths are Windows paths ("C:\WINDOWS\STARS.SCR"). They are resolved through
// the mounts set up with the control interface in host_control.h, matching
// each component without regard to letter case as Windows does. A path that
// lies under no mount, or whose ".." components would leave its mount, is
// refused like a path on a missing drive, and so is a path of MAX_PATH
// characters or more, as Windows refuses it. The installer's own file (see
// host::SetModuleFile) opens for reading only, as the file of a running
// program does on Windows.
#ifndef GLIM_PLATFORM_HOST_WIN32_API_H
#define GLIM_PLATFORM_HOST_WIN32_API_H

#include <stdint.h>

#define WINAPI
#define CALLBACK

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
typedef INT_PTR (*FARPROC)(void);

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    uint64_t QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

#define HFILE_ERROR ((HFILE)-1)
#define OF_READ 0x00000000
#define OF_SHARE_DENY_NONE 0x00000040
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

#define LMEM_FIXED 0x0000

#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_YESNO 0x00000004L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONINFORMATION 0x00000040L

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define SPI_SETSCREENSAVEACTIVE 0x0011
#define SPIF_UPDATEINIFILE 0x0001
#define SW_SHOW 5
#define SW_SHOWDEFAULT 10
#define GWL_HINSTANCE (-6)

#ifdef __cplusplus
extern "C" {
#endif

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

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT flags);
LONG GetWindowLongA(HWND window, int index);

#ifdef __cplusplus
}
#endif

// The window, dialog and cursor calls of the shell.
#include "platform/host/win32_window_api.h"

#endif
