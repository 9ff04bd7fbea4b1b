// The installer's two dialogs: the progress box that does the work and the
// vendor box shown at the end, and the activation of the installed saver.
#include <string.h>

#include "format/naming.h"
#include "payload/extract.h"
#include "payload/self.h"
#include "platform/platform.h"
#include "shell/resource.h"
#include "shell/shell.h"
#include "shell/texts.h"

// Both boxes are laid out at (0, 0) and centred here; each half is taken on
// its own, truncating toward zero.
static void CentreDialog(HWND dialog) {
    RECT rect;
    GetWindowRect(dialog, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    int x = GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2;
    int y = GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2;
    MoveWindow(dialog, x, y, width, height, FALSE);
}

void ActivateScreenSaver(void) {
    char dir[GLIM_PATH_CAPACITY];
    char path[GLIM_PATH_CAPACITY];
    char short_path[GLIM_PATH_CAPACITY];
    if (!QueryWindowsDirectory(dir, sizeof dir))
        return;
    if (!BuildPathInDirectory(dir, g_scr_file_name, path, sizeof path))
        return;

    // Only a short path the system actually gave us goes into system.ini: for
    // a missing file the buffer would hold nothing of meaning.
    DWORD length = GetShortPathNameA(path, short_path, sizeof short_path);
    if (length != 0 && length < sizeof short_path) {
        short_path[sizeof short_path - 1] = '\0';
        WritePrivateProfileStringA("boot", "SCRNSAVE.EXE", short_path, "system.ini");
    }
    SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, NULL, SPIF_UPDATEINIFILE);
}

INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    (void)lparam;
    if (message == WM_INITDIALOG) {
        char text[SHELL_CAPTION_CAPACITY];
        BuildCaption(g_saver_title, text, sizeof text);
        SetWindowTextA(dialog, text);
        BuildSaverLabel(g_saver_title, text, sizeof text);
        SetDlgItemTextA(dialog, IDC_SAVER_LABEL, text);
        CentreDialog(dialog);
        // The work starts once the box is on screen, from the modal loop.
        PostMessageA(dialog, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
        return TRUE;
    }
    // Esc gives IDCANCEL; there is nothing to cancel, so it installs as OK does.
    if (message == WM_COMMAND && (wparam == IDOK || wparam == IDCANCEL)) {
        // The posted command overtakes the first WM_PAINT, and no messages
        // are handled while extracting: paint the box now, or it stays blank.
        UpdateWindow(dialog);
        ExtractPayload(dialog);
        ActivateScreenSaver();
        EndDialog(dialog, static_cast<INT_PTR>(wparam));
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK VendorDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    (void)lparam;
    if (message == WM_INITDIALOG) {
        CentreDialog(dialog);
        // TRUE lets the system put the focus on the OK button.
        return TRUE;
    }
    if (message == WM_COMMAND && (wparam == IDOK || wparam == IDCANCEL)) {
        EndDialog(dialog, static_cast<INT_PTR>(wparam));
        return TRUE;
    }
    return FALSE;
}
