// Process entry of the installer: one never-shown main window whose creation
// message runs the whole installation, then a message loop that finds the
// quit message already queued and ends the process with exit code 0.
// Windows only (the native build tests the sequence without a window).
#include "platform/platform.h"
#include "shell/resource.h"
#include "shell/shell.h"

int InstallerMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

namespace {

const char kMainClassName[] = "GLOMInst";

// The main window's title: zero-filled and never written.
char g_main_window_title[SHELL_CAPTION_CAPACITY];

// Set when MainWndProc has posted the quit message (on WM_DESTROY). Only that
// path ends the message loop. When it has not happened by the time
// CreateWindowExA returns (the class was not registered, the window died
// before its creation message, or the system freed the refused window
// without sending WM_DESTROY, as Wine does), the loop would wait forever, so
// it is skipped and the program ends with the same exit code 0.
int g_quit_posted = 0;

} // namespace

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        RunInstallationSequence(window);
        // Refuse the creation on every path: the window is never shown, and
        // its destruction posts the quit message that ends the loop below.
        return -1;
    case WM_DESTROY:
        PostQuitMessage(0);
        g_quit_posted = 1;
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

int InstallerMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)command_line;
    if (!previous) {
        WNDCLASSA window_class;
        window_class.style = CS_VREDRAW | CS_HREDRAW;
        window_class.lpfnWndProc = MainWndProc;
        window_class.cbClsExtra = 0;
        window_class.cbWndExtra = 0;
        window_class.hInstance = instance;
        window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_INSTALLER));
        window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
        window_class.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
        window_class.lpszMenuName = NULL;
        window_class.lpszClassName = kMainClassName;
        RegisterClassA(&window_class);
    }
    g_instance = instance;

    HWND window =
        CreateWindowExA(0, kMainClassName, g_main_window_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
    // The creation was refused, so the handle is none and these do nothing;
    // they stay so that the show command is passed on as Windows expects.
    ShowWindow(window, show);
    UpdateWindow(window);
    if (!g_quit_posted)
        return 0;

    MSG message = {};
    // GetMessageA answers -1 on failure; treat it as the end, not as a message.
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (int)message.wParam;
}

// The runtime hands WinMain a command line already cut behind the program
// name; the module handle and the show command are taken here exactly as the
// installer's start-up has always done: GetModuleHandleA(NULL), and the
// start-up information's wShowWindow when STARTF_USESHOWWINDOW is set, else
// SW_SHOWDEFAULT.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
    STARTUPINFOA startup;
    startup.dwFlags = 0;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    return InstallerMain(GetModuleHandleA(NULL), NULL, command_line, show);
}
