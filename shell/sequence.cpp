// The installation sequence: everything the installer does, run while the
// never-shown main window handles its creation. Title, checks, confirmation,
// the progress box (extraction and activation), the completion message, the
// vendor box and the start of the installed screen saver.
#include <string.h>

#include "format/naming.h"
#include "payload/payload.h"
#include "payload/self.h"
#include "platform/platform.h"
#include "shell/resource.h"
#include "shell/shell.h"
#include "shell/texts.h"

HINSTANCE g_instance = NULL;
char g_saver_title[PAYLOAD_TITLE_SIZE + 1];
char g_scr_file_name[GLIM_PATH_CAPACITY];

LRESULT RunInstallationSequence(HWND window) {
    (void)window;
    char caption[SHELL_CAPTION_CAPACITY];
    char text[SHELL_MESSAGE_CAPACITY];
    char windows_dir[GLIM_PATH_CAPACITY];
    char module_path[GLIM_PATH_CAPACITY];

    ReadSaverTitle(g_instance, g_saver_title);
    g_saver_title[PAYLOAD_TITLE_SIZE] = '\0';
    if (!CheckExistingSaver(g_instance))
        return -1;
    if (!CheckDiskSpace(g_instance))
        return -1;

    TrimSaverTitle(g_saver_title);
    BuildCaption(g_saver_title, caption, sizeof caption);

    FetchModulePath(g_instance, module_path, sizeof module_path);
    // Without a name to install under there is nothing the rest could do
    // right: no file to write, activate or start.
    if (!BuildScrFileName(module_path, g_scr_file_name, sizeof g_scr_file_name))
        return -1;

    QueryWindowsDirectory(windows_dir, sizeof windows_dir);
    BuildConfirmationText(g_scr_file_name, g_saver_title, windows_dir, g_installed_total, text,
                          sizeof text);
    if (MessageBoxA(NULL, text, caption, MB_OKCANCEL | MB_ICONINFORMATION) != IDOK)
        return -1;

    SetCursor(LoadCursorA(NULL, IDC_WAIT));
    DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_PROGRESS), NULL, ProgressDlgProc, 0);
    SetCursor(LoadCursorA(NULL, IDC_ARROW));

    QueryWindowsDirectory(windows_dir, sizeof windows_dir);
    FetchModulePath(g_instance, module_path, sizeof module_path);
    BuildCompletionText(windows_dir, module_path, text, sizeof text);
    MessageBoxA(NULL, text, caption, MB_OK | MB_ICONEXCLAMATION);

    DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_VENDOR_INFO), NULL, VendorDlgProc, 0);

    // The file lies in the Windows directory, where the program search finds it.
    WinExec(g_scr_file_name, SW_SHOW);
    return -1;
}
