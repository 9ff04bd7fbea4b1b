// The checks run before anything is written: an existing screen saver of the
// same name, and the free space on the Windows directory's drive.
#include <stdint.h>
#include <string.h>

#include "base/text.h"
#include "format/naming.h"
#include "payload/payload.h"
#include "payload/self.h"
#include "platform/platform.h"
#include "shell/shell.h"

uint32_t g_installed_total = 0;

int CheckExistingSaver(HINSTANCE instance) {
    char module_path[GLIM_PATH_CAPACITY];
    char dir[GLIM_PATH_CAPACITY];
    char name[GLIM_PATH_CAPACITY];
    char path[GLIM_PATH_CAPACITY];
    char text[SHELL_MESSAGE_CAPACITY];

    if (!FetchModulePath(instance, module_path, sizeof module_path))
        return 1;
    if (!QueryWindowsDirectory(dir, sizeof dir))
        return 1;
    // The name by the last-"." rule, in the case the module name has: for
    // aurora.exe the file looked for is aurora.SCR. A path that does not fit
    // cannot name an existing file we could replace.
    if (!BuildExistingSaverName(module_path, name, sizeof name) ||
        !BuildPathInDirectory(dir, name, path, sizeof path))
        return 1;
    if (!PlatPathExists(path))
        return 1;

    CopyText(text, sizeof text, "There is already a screen saver by the same name (");
    AppendText(text, sizeof text, name);
    AppendText(text, sizeof text, ") installed on your system.  Would you like to replace it?");
    if (MessageBoxA(NULL, text, "Replace Screen Saver?", MB_ICONQUESTION | MB_YESNO) != IDNO)
        return 1;

    BuildRenameAdviceName(module_path, name, sizeof name);
    CopyText(text, sizeof text,
             "If you would like to change the name of the .SCR file that would be installed on "
             "your system, simply change the installers file name (");
    AppendText(text, sizeof text, name);
    AppendText(text, sizeof text, ") and run it again.");
    MessageBoxA(NULL, text, "Rename Installer", MB_ICONINFORMATION | MB_OK);
    return 0;
}

int CheckDiskSpace(HINSTANCE instance) {
    (void)instance;
    char dir[SHELL_MESSAGE_CAPACITY];
    char text[SHELL_MESSAGE_CAPACITY];
    char number[SHELL_NUMBER_CAPACITY];

    if (!AddInstalledTotal(&g_installed_total))
        return 1;

    if (!QueryWindowsDirectory(dir, sizeof dir))
        return 1;
    uint32_t free_kb = GetFreeKilobytes(dir);
    uint32_t need_kb = g_installed_total >> 10;
    if (free_kb > need_kb)
        return 1;

    CopyText(text, sizeof text, "You will need ");
    AppendText(text, sizeof text, FormatThousands(static_cast<int32_t>(need_kb), number));
    AppendText(text, sizeof text,
               " kilobytes free in your Windows directory to install this screen saver.  It "
               "appears that you only have ");
    AppendText(text, sizeof text, FormatThousands(static_cast<int32_t>(free_kb), number));
    AppendText(text, sizeof text,
               " kilobytes free on this drive.  Would you like to continue the installation?");
    if (MessageBoxA(NULL, text, "Disk Full", MB_ICONINFORMATION | MB_OKCANCEL) == IDCANCEL)
        return 0;
    return 1;
}

typedef BOOL(WINAPI* GetDiskFreeSpaceExFunction)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                                 PULARGE_INTEGER);

uint32_t GetFreeKilobytes(const char* path) {
    // The drive's root: the path's first 32 characters up to their last "\".
    char root[40];
    size_t n = 0;
    while (n < 32 && path[n] != '\0') {
        root[n] = path[n];
        ++n;
    }
    root[n] = '\0';
    char* last = strrchr(root, '\\');
    if (last != NULL)
        last[1] = '\0';

    // The extended query reports beyond 2 GB but is missing on the oldest
    // systems, so it is looked up rather than linked.
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    if (kernel != NULL) {
        FARPROC proc = GetProcAddress(kernel, "GetDiskFreeSpaceExA");
        if (proc != NULL) {
            // Through the generic function-pointer type, which converts to
            // any other without a warning.
            GetDiskFreeSpaceExFunction query = reinterpret_cast<GetDiskFreeSpaceExFunction>(
                reinterpret_cast<void (*)(void)>(proc));
            ULARGE_INTEGER available, total, total_free;
            if (query(root, &available, &total, &total_free)) {
                FreeLibrary(kernel);
                return static_cast<uint32_t>(available.QuadPart >> 10);
            }
        }
        FreeLibrary(kernel);
    }

    DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                           &total_clusters))
        return 0xFFFFFFFFu;
    uint64_t bytes = static_cast<uint64_t>(free_clusters) * sectors_per_cluster * bytes_per_sector;
    return static_cast<uint32_t>(bytes >> 10);
}
