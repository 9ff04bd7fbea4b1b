// The Stars screen saver: the Windows half. Full screen with "/s", inside
// the control panel's preview with "/p <hwnd>", the settings dialog with
// "/c" or no argument (the installer starts us that way), and "/dump <file>"
// to write what the saver read from its data file.
#include <windows.h>

#include <commctrl.h>

#include "samples/stars/resource.h"
#include "samples/stars/settings.h"
#include "samples/stars/starfield.h"

namespace {

const char kWindowClass[] = "StarsSaverWindow";
const UINT_PTR kFrameTimer = 1;
// Windows rounds timers up to its clock tick (15.6 ms by default), so asking
// for 33 ms gives about 47 ms, barely 21 frames a second. Asking for 16 ms
// gives one frame per tick, about 60 a second; the motion follows the real
// time between frames, so the speed is the same at any frame rate.
const UINT kFrameMs = 16;
// Mouse jitter and the move messages Windows sends when a window appears
// (with the pointer still where it was) must not end the saver; a real move
// does.
const int kMouseSlack = 4;
enum { kLevels = 8 };

HINSTANCE g_instance;
StarsArgs g_args;
StarsSettings g_settings;
StarsPaths g_paths;
int g_data_status = STARS_DATA_MISSING;
StarField g_field;

// The frame is drawn into g_frame_dc and copied to the window in one blit.
// g_backdrop_dc holds the background picture already stretched to the window.
HDC g_frame_dc;
HBITMAP g_frame_bitmap;
HGDIOBJ g_frame_old;
HDC g_backdrop_dc;
HBITMAP g_backdrop_bitmap;
HGDIOBJ g_backdrop_old;
HBITMAP g_background; // the picture as loaded from the data directory
int g_width;
int g_height;
HBRUSH g_brushes[STARFIELD_HUES][kLevels];
DWORD g_last_tick;
bool g_mouse_seen;
POINT g_mouse_start;

// ---- data file ---------------------------------------------------------

bool FileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Windows starts savers by the short path kept in system.ini; the data
// directory is named after the long name.
void LongModulePath(char* path) {
    typedef DWORD(WINAPI * LongPathFn)(LPCSTR, LPSTR, DWORD);
    // Not in every kernel32 the saver may meet, so looked up by name.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    LongPathFn long_path = kernel ? reinterpret_cast<LongPathFn>(reinterpret_cast<void*>(
                                        GetProcAddress(kernel, "GetLongPathNameA")))
                                  : nullptr;
    if (long_path == nullptr) {
        return;
    }
    char long_name[STARS_PATH_MAX];
    DWORD n = long_path(path, long_name, sizeof long_name);
    if (n > 0 && n < sizeof long_name) {
        lstrcpyA(path, long_name);
    }
}

// Finds the data file from the saver's own name: beside the saver first (the
// installer puts both under the Windows directory), else under the Windows
// directory for a saver that was moved, e.g. into the system folder.
void FindDataFile() {
    char module[STARS_PATH_MAX];
    DWORD n = GetModuleFileNameA(nullptr, module, sizeof module);
    if (n == 0 || n >= sizeof module) {
        module[0] = '\0';
    }
    LongModulePath(module);
    if (!StarsPathsFromModule(module, &g_paths)) {
        StarsPathsFromModule("C:\\WINDOWS\\STARS.SCR", &g_paths);
    }
    if (FileExists(g_paths.dat_file)) {
        return;
    }
    char windows[STARS_PATH_MAX];
    n = GetWindowsDirectoryA(windows, sizeof windows);
    StarsPaths other;
    if (n > 0 && n < sizeof windows && StarsPathsFromDirectory(windows, g_paths.name, &other) &&
        FileExists(other.dat_file)) {
        g_paths = other;
    }
}

void LoadSettings() {
    FindDataFile();
    StarsDefaultSettings(&g_settings);
    g_data_status = STARS_DATA_MISSING;
    HANDLE file = CreateFileA(g_paths.dat_file, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    // One byte more than we accept, so that an oversized file is seen as one.
    static char text[STARS_DAT_MAX_SIZE + 1];
    DWORD total = 0;
    DWORD got = 0;
    while (total < sizeof text &&
           ReadFile(file, text + total, sizeof text - total, &got, nullptr) && got > 0) {
        total += got;
    }
    CloseHandle(file);
    g_data_status = StarsParseSettings(text, total, &g_settings);
}

// Creates the directories leading to the data directory; existing ones and
// failures are fine here: the save below reports what matters.
void CreateDataDirectories() {
    char path[STARS_PATH_MAX];
    lstrcpynA(path, g_paths.data_dir, sizeof path);
    for (int i = 1; path[i - 1] != '\0'; ++i) {
        if (path[i] == '\\' || path[i] == '\0') {
            char keep = path[i];
            path[i] = '\0';
            CreateDirectoryA(path, nullptr);
            path[i] = keep;
        }
    }
}

// Writes the settings to a new file beside the data file and then puts it in
// the data file's place, so a failure half-way never leaves a truncated
// data file behind.
bool SaveSettings() {
    char text[512];
    DWORD length = static_cast<DWORD>(StarsFormatSettings(&g_settings, text, sizeof text));
    if (length == 0 || g_paths.data_dir[0] == '\0') {
        return false;
    }
    CreateDataDirectories();
    char temp[MAX_PATH];
    if (GetTempFileNameA(g_paths.data_dir, "stp", 0, temp) == 0) {
        return false;
    }
    HANDLE file =
        CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileA(temp);
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text, length, &written, nullptr) && written == length;
    ok = FlushFileBuffers(file) && ok;
    ok = CloseHandle(file) && ok;
    if (ok &&
        !MoveFileExA(temp, g_paths.dat_file, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        // Windows 9x has no MoveFileEx; there the old file has to go first.
        ok = GetLastError() == ERROR_CALL_NOT_IMPLEMENTED &&
             (DeleteFileA(g_paths.dat_file) || !FileExists(g_paths.dat_file)) &&
             MoveFileA(temp, g_paths.dat_file);
    }
    if (!ok) {
        DeleteFileA(temp);
    }
    return ok;
}

HBITMAP LoadBackground() {
    char path[STARS_PATH_MAX];
    if (g_settings.background[0] == '\0' ||
        !StarsDataFilePath(&g_paths, g_settings.background, path, sizeof path)) {
        return nullptr;
    }
    return static_cast<HBITMAP>(
        LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
}

// ---- drawing -----------------------------------------------------------

COLORREF BaseColour(int hue) {
    static const COLORREF kSingle[STARS_COLOUR_COUNT - 1] = {
        RGB(255, 255, 255), RGB(255, 236, 120), RGB(120, 240, 255),
        RGB(255, 96, 80),   RGB(110, 255, 120), RGB(120, 150, 255),
    };
    static const COLORREF kRainbow[STARFIELD_HUES] = {
        RGB(255, 80, 80),   RGB(255, 170, 60), RGB(255, 250, 90),
        RGB(100, 255, 110), RGB(90, 220, 255), RGB(200, 120, 255),
    };
    if (g_settings.colour == STARS_COLOUR_RAINBOW) {
        return kRainbow[hue];
    }
    return kSingle[g_settings.colour];
}

void CreateBrushes() {
    for (int hue = 0; hue < STARFIELD_HUES; ++hue) {
        COLORREF c = BaseColour(hue);
        for (int level = 0; level < kLevels; ++level) {
            int scale = 96 + level * (256 - 96) / (kLevels - 1);
            g_brushes[hue][level] =
                CreateSolidBrush(RGB(GetRValue(c) * scale / 256, GetGValue(c) * scale / 256,
                                     GetBValue(c) * scale / 256));
        }
    }
}

void DeleteBrushes() {
    for (int hue = 0; hue < STARFIELD_HUES; ++hue) {
        for (int level = 0; level < kLevels; ++level) {
            if (g_brushes[hue][level] != nullptr) {
                DeleteObject(g_brushes[hue][level]);
                g_brushes[hue][level] = nullptr;
            }
        }
    }
}

void ReleaseSurface(HDC* dc, HBITMAP* bitmap, HGDIOBJ* old) {
    if (*dc != nullptr) {
        SelectObject(*dc, *old);
        DeleteDC(*dc);
        *dc = nullptr;
    }
    if (*bitmap != nullptr) {
        DeleteObject(*bitmap);
        *bitmap = nullptr;
    }
}

bool CreateSurface(HDC window_dc, int width, int height, HDC* dc, HBITMAP* bitmap, HGDIOBJ* old) {
    *dc = CreateCompatibleDC(window_dc);
    *bitmap = CreateCompatibleBitmap(window_dc, width, height);
    if (*dc == nullptr || *bitmap == nullptr) {
        ReleaseSurface(dc, bitmap, old);
        return false;
    }
    *old = SelectObject(*dc, *bitmap);
    return true;
}

void ReleaseSurfaces() {
    ReleaseSurface(&g_frame_dc, &g_frame_bitmap, &g_frame_old);
    ReleaseSurface(&g_backdrop_dc, &g_backdrop_bitmap, &g_backdrop_old);
}

// (Re)builds the off-screen frame and the stretched background for the
// window's current size.
void CreateSurfaces(HWND window) {
    ReleaseSurfaces();
    RECT client;
    GetClientRect(window, &client);
    g_width = client.right - client.left;
    g_height = client.bottom - client.top;
    if (g_width <= 0 || g_height <= 0) {
        return;
    }
    HDC window_dc = GetDC(window);
    CreateSurface(window_dc, g_width, g_height, &g_frame_dc, &g_frame_bitmap, &g_frame_old);
    if (g_background != nullptr && CreateSurface(window_dc, g_width, g_height, &g_backdrop_dc,
                                                 &g_backdrop_bitmap, &g_backdrop_old)) {
        BITMAP info;
        GetObjectA(g_background, sizeof info, &info);
        HDC picture_dc = CreateCompatibleDC(window_dc);
        HGDIOBJ old = SelectObject(picture_dc, g_background);
        SetStretchBltMode(g_backdrop_dc, HALFTONE);
        SetBrushOrgEx(g_backdrop_dc, 0, 0, nullptr);
        StretchBlt(g_backdrop_dc, 0, 0, g_width, g_height, picture_dc, 0, 0, info.bmWidth,
                   info.bmHeight, SRCCOPY);
        SelectObject(picture_dc, old);
        DeleteDC(picture_dc);
    }
    ReleaseDC(window, window_dc);
}

void DrawFrame() {
    if (g_frame_dc == nullptr) {
        return;
    }
    if (g_backdrop_dc != nullptr) {
        BitBlt(g_frame_dc, 0, 0, g_width, g_height, g_backdrop_dc, 0, 0, SRCCOPY);
    } else {
        PatBlt(g_frame_dc, 0, 0, g_width, g_height, BLACKNESS);
    }
    for (int i = 0; i < g_field.count; ++i) {
        StarPoint point;
        const Star* star = &g_field.stars[i];
        if (!StarFieldProject(star, g_width, g_height, &point)) {
            continue;
        }
        int level = point.brightness * kLevels / 256;
        RECT r = {point.x, point.y, point.x + point.size, point.y + point.size};
        FillRect(g_frame_dc, &r, g_brushes[star->hue][level]);
    }
}

void ShowFrame(HDC dc) {
    if (g_frame_dc != nullptr) {
        BitBlt(dc, 0, 0, g_width, g_height, g_frame_dc, 0, 0, SRCCOPY);
    }
}

// ---- the saver window ----------------------------------------------------

bool IsFullScreen() {
    return g_args.mode == STARS_MODE_SCREEN;
}

LRESULT CALLBACK SaverWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        CreateBrushes();
        StarFieldInit(&g_field, g_settings.stars, GetTickCount());
        CreateSurfaces(window);
        DrawFrame();
        g_last_tick = GetTickCount();
        SetTimer(window, kFrameTimer, kFrameMs, nullptr);
        // Where the pointer rests when the saver starts; only a move away
        // from here ends it. Without a position the first move message
        // gives it.
        g_mouse_seen = IsFullScreen() && GetCursorPos(&g_mouse_start);
        return 0;
    case WM_SIZE:
        CreateSurfaces(window);
        return 0;
    case WM_TIMER: {
        DWORD now = GetTickCount();
        StarFieldStep(&g_field, g_settings.speed, static_cast<int>(now - g_last_tick));
        g_last_tick = now;
        DrawFrame();
        HDC dc = GetDC(window);
        ShowFrame(dc);
        ReleaseDC(window, dc);
        return 0;
    }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        ShowFrame(dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1; // every frame covers the whole window
    case WM_SETCURSOR:
        if (IsFullScreen()) {
            SetCursor(nullptr);
            return TRUE;
        }
        break;
    case WM_MOUSEMOVE:
        if (IsFullScreen()) {
            // Compared in screen positions with where the pointer rested
            // when the saver started, so the move messages a new window
            // gets, with the pointer still in place, do not count.
            POINT at = {static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
            ClientToScreen(window, &at);
            GetCursorPos(&at); // keeps the message's position if it fails
            if (!g_mouse_seen) {
                g_mouse_seen = true;
                g_mouse_start = at;
            } else if (at.x - g_mouse_start.x > kMouseSlack ||
                       g_mouse_start.x - at.x > kMouseSlack ||
                       at.y - g_mouse_start.y > kMouseSlack ||
                       g_mouse_start.y - at.y > kMouseSlack) {
                PostMessageA(window, WM_CLOSE, 0, 0);
            }
        }
        break;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
        if (IsFullScreen()) {
            PostMessageA(window, WM_CLOSE, 0, 0);
        }
        break;
    case WM_ACTIVATEAPP:
        // Another program came to the front (Alt+Tab, a task switch).
        if (IsFullScreen() && !wparam) {
            PostMessageA(window, WM_CLOSE, 0, 0);
        }
        break;
    case WM_SYSCOMMAND:
        // Windows must not start a second saver over this one.
        if (IsFullScreen() && ((wparam & 0xFFF0) == SC_SCREENSAVE)) {
            return 0;
        }
        break;
    case WM_DESTROY:
        KillTimer(window, kFrameTimer);
        ReleaseSurfaces();
        DeleteBrushes();
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int RunSaver() {
    LoadSettings();
    g_background = LoadBackground();

    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = SaverWndProc;
    wc.hInstance = g_instance;
    wc.hIcon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_STARS));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassA(&wc)) {
        return 1;
    }

    HWND window = nullptr;
    if (IsFullScreen()) {
        // The whole virtual screen, so every monitor goes dark.
        int x = GetSystemMetrics(SM_XVIRTUALSCREEN);
        int y = GetSystemMetrics(SM_YVIRTUALSCREEN);
        int w = GetSystemMetrics(SM_CXVIRTUALSCREEN);
        int h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
        if (w <= 0 || h <= 0) { // systems without multi-monitor metrics
            x = 0;
            y = 0;
            w = GetSystemMetrics(SM_CXSCREEN);
            h = GetSystemMetrics(SM_CYSCREEN);
        }
        window = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kWindowClass, "Stars",
                                 WS_POPUP | WS_VISIBLE, x, y, w, h, nullptr, nullptr, g_instance,
                                 nullptr);
        if (window != nullptr) {
            SetForegroundWindow(window);
            ShowCursor(FALSE);
        }
    } else {
        HWND parent = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(g_args.window));
        if (!IsWindow(parent)) {
            return 1;
        }
        RECT r;
        GetClientRect(parent, &r);
        window =
            CreateWindowExA(0, kWindowClass, "Stars", WS_CHILD | WS_VISIBLE, 0, 0, r.right - r.left,
                            r.bottom - r.top, parent, nullptr, g_instance, nullptr);
    }
    if (window == nullptr) {
        return 1;
    }

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (IsFullScreen()) {
        ShowCursor(TRUE);
    }
    if (g_background != nullptr) {
        DeleteObject(g_background);
    }
    return static_cast<int>(msg.wParam);
}

// ---- settings dialog -----------------------------------------------------

void ShowSettings(HWND dialog, const StarsSettings* settings) {
    SetDlgItemInt(dialog, IDC_STAR_COUNT, static_cast<UINT>(settings->stars), FALSE);
    SendDlgItemMessageA(dialog, IDC_STAR_COUNT_SPIN, UDM_SETPOS, 0, MAKELONG(settings->stars, 0));
    SendDlgItemMessageA(dialog, IDC_SPEED, TBM_SETPOS, TRUE, settings->speed);
    SendDlgItemMessageA(dialog, IDC_COLOUR, CB_SETCURSEL, settings->colour, 0);
}

void InitSettingsDialog(HWND dialog) {
    SendMessageA(dialog, WM_SETICON, ICON_BIG,
                 reinterpret_cast<LPARAM>(LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_STARS))));
    SendDlgItemMessageA(dialog, IDC_STAR_COUNT, EM_LIMITTEXT, 4, 0);
    SendDlgItemMessageA(dialog, IDC_STAR_COUNT_SPIN, UDM_SETRANGE, 0,
                        MAKELONG(STARS_COUNT_MAX, STARS_COUNT_MIN));
    SendDlgItemMessageA(dialog, IDC_SPEED, TBM_SETRANGE, TRUE,
                        MAKELONG(STARS_SPEED_MIN, STARS_SPEED_MAX));
    static const char* const kShownNames[STARS_COLOUR_COUNT] = {
        "White", "Yellow", "Cyan", "Red", "Green", "Blue", "Rainbow",
    };
    for (int i = 0; i < STARS_COLOUR_COUNT; ++i) {
        SendDlgItemMessageA(dialog, IDC_COLOUR, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(kShownNames[i]));
    }
    char label[STARS_PATH_MAX + 64];
    lstrcpyA(label, "Settings file: ");
    lstrcatA(label, g_paths.dat_file);
    SetDlgItemTextA(dialog, IDC_DATA_FILE, label);
    ShowSettings(dialog, &g_settings);
}

void ReadDialog(HWND dialog, StarsSettings* settings) {
    BOOL number_ok = FALSE;
    UINT stars = GetDlgItemInt(dialog, IDC_STAR_COUNT, &number_ok, FALSE);
    if (number_ok) {
        settings->stars = stars < STARS_COUNT_MIN   ? STARS_COUNT_MIN
                          : stars > STARS_COUNT_MAX ? STARS_COUNT_MAX
                                                    : static_cast<int>(stars);
    }
    LRESULT speed = SendDlgItemMessageA(dialog, IDC_SPEED, TBM_GETPOS, 0, 0);
    if (speed >= STARS_SPEED_MIN && speed <= STARS_SPEED_MAX) {
        settings->speed = static_cast<int>(speed);
    }
    LRESULT colour = SendDlgItemMessageA(dialog, IDC_COLOUR, CB_GETCURSEL, 0, 0);
    if (colour >= 0 && colour < STARS_COLOUR_COUNT) {
        settings->colour = static_cast<int>(colour);
    }
}

INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitSettingsDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK: {
            StarsSettings edited = g_settings;
            ReadDialog(dialog, &edited);
            StarsSettings previous = g_settings;
            g_settings = edited;
            if (!SaveSettings()) {
                g_settings = previous;
                char text[STARS_PATH_MAX + 64];
                lstrcpyA(text, "Could not save the settings to ");
                lstrcatA(text, g_paths.dat_file);
                lstrcatA(text, ".");
                MessageBoxA(dialog, text, "Stars", MB_OK | MB_ICONEXCLAMATION);
                return TRUE;
            }
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_DEFAULTS: {
            StarsSettings defaults;
            StarsDefaultSettings(&defaults);
            ShowSettings(dialog, &defaults);
            return TRUE;
        }
        default:
            break;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

int RunSettings() {
    LoadSettings();
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_UPDOWN_CLASS | ICC_BAR_CLASSES};
    if (!InitCommonControlsEx(&controls)) {
        InitCommonControls();
    }
    HWND owner = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(g_args.window));
    if (owner != nullptr && !IsWindow(owner)) {
        owner = nullptr;
    }
    INT_PTR result =
        DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_SETTINGS), owner, SettingsDlgProc, 0);
    return result == -1 ? 1 : 0;
}

// ---- diagnostic dump -----------------------------------------------------

int RunDump() {
    LoadSettings();
    HBITMAP background = LoadBackground();
    char text[1024];
    DWORD length = static_cast<DWORD>(StarsFormatDump(
        &g_settings, g_data_status, background != nullptr, g_paths.dat_file, text, sizeof text));
    if (background != nullptr) {
        DeleteObject(background);
    }
    HANDLE file = CreateFileA(g_args.dump_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text, length, &written, nullptr) && written == length;
    ok = CloseHandle(file) && ok;
    return ok ? 0 : 1;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
    g_instance = instance;
    if (!StarsParseArgs(command_line, &g_args)) {
        return 1;
    }
    switch (g_args.mode) {
    case STARS_MODE_SCREEN:
    case STARS_MODE_PREVIEW:
        return RunSaver();
    case STARS_MODE_DUMP:
        return RunDump();
    case STARS_MODE_PASSWORD:
        return 0; // no password of our own to change
    default:
        return RunSettings();
    }
}
