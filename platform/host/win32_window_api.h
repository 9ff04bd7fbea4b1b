// Host back end: the window, dialog and cursor calls of the installer's shell,
// answered by a small fake window system (host_window.cpp). Nothing is drawn;
// the fake keeps each window's text and rectangle, runs a modal dialog's
// procedure over a message queue, and lets a test act as the user (see
// host_window_control.h). Include "platform/platform.h", not this file.
#ifndef GLIM_PLATFORM_HOST_WIN32_WINDOW_API_H
#define GLIM_PLATFORM_HOST_WIN32_WINDOW_API_H

#include <stdint.h>

// Relies on the basic types of win32_api.h, which includes this file.

typedef struct HCURSOR__* HCURSOR;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define MAKEINTRESOURCEA(i) ((LPSTR)((uintptr_t)((WORD)(i))))
#define IS_INTRESOURCE(p) ((((uintptr_t)(p)) >> 16) == 0)

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1

#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_WAIT MAKEINTRESOURCEA(32514)

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif

#endif
