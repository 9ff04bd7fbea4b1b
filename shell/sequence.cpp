// The installation sequence: everything the installer does, run while the
// never-shown main window handles its creation. Title, checks, confirmation,
// the progress box (extraction and activation), the completion message, the
// vendor box and the start of the installed screen saver.
#include <string.h>

#include "payload/naming.h"
#include "payload/payload.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "shell/shell.h"

HINSTANCE g_instance = NULL;
char g_saver_title[PAYLOAD_TITLE_SIZE + 1];
char g_scr_file_name[GLIM_PATH_CAPACITY];

void TrimSaverTitle(char* title) {
    size_t i = strlen(title);
    while (i > 0) {
        --i;
        if (title[i] != ' ')
            break;
        title[i] = '\0';
    }
}

int BuildCaption(const char* title, char* out, size_t capacity) {
    int fits = CopyText(out, capacity, title);
    fits &= AppendText(out, capacity, " Screen Saver Installation");
    return fits;
}

int BuildConfirmationText(const char* scr_file_name, const char* title, const char* windows_dir,
                          uint32_t installed_total, char* out, size_t capacity) {
    char dir[GLIM_PATH_CAPACITY];
    char number[SHELL_NUMBER_CAPACITY];
    int fits = CopyText(dir, sizeof dir, windows_dir);
    UpperCaseText(dir);
    // The total is shown as the signed count it has always been shown as; a
    // payload of 2 GB or more does not fit on the systems this installs to.
    FormatThousands(static_cast<int32_t>(installed_total), number);

    fits &= CopyText(out, capacity, "This program will install ");
    fits &= AppendText(out, capacity, scr_file_name);
    fits &= AppendText(out, capacity, " (");
    fits &= AppendText(out, capacity, title);
    fits &= AppendText(out, capacity, " Screen Saver) to ");
    fits &= AppendText(out, capacity, dir);
    fits &= AppendText(out, capacity,
                       " and will make it your default Screen Saver.  This installation will "
                       "take ");
    fits &= AppendText(out, capacity, number);
    fits &= AppendText(out, capacity, " bytes.");
    return fits;
}

int BuildCompletionText(const char* windows_dir, const char* module_path, char* out,
                        size_t capacity) {
    char data_dir[GLIM_PATH_CAPACITY];
    int fits = BuildDataDirectory(windows_dir, module_path, data_dir, sizeof data_dir);
    UpperCaseText(data_dir);
    fits &= CopyText(out, capacity, "Installation Complete!\r\n\r\n");
    fits &= AppendText(out, capacity, "Data files have also been installed in your ");
    fits &= AppendText(out, capacity, data_dir);
    fits &= AppendText(out, capacity, " directory.");
    return fits;
}

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

    memset(module_path, 0, sizeof module_path);
    GetModuleFileNameA(g_instance, module_path, sizeof module_path);
    module_path[sizeof module_path - 1] = '\0';
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
    memset(module_path, 0, sizeof module_path);
    GetModuleFileNameA(g_instance, module_path, sizeof module_path);
    module_path[sizeof module_path - 1] = '\0';
    BuildCompletionText(windows_dir, module_path, text, sizeof text);
    MessageBoxA(NULL, text, caption, MB_OK | MB_ICONEXCLAMATION);

    DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_VENDOR_INFO), NULL, VendorDlgProc, 0);

    // The file lies in the Windows directory, where the program search finds it.
    WinExec(g_scr_file_name, SW_SHOW);
    return -1;
}
