// The checks run before anything is written: an existing screen saver of the
// same name, and the free space on the Windows directory's drive. Also the
// small text helpers the whole shell builds its fixed-size texts with.
#include <stdint.h>
#include <string.h>

#include "payload/naming.h"
#include "payload/payload.h"
#include "platform/platform.h"
#include "shell/shell.h"

uint32_t g_installed_total = 0;

int AppendText(char* buffer, size_t capacity, const char* text) {
    if (buffer == NULL || capacity == 0)
        return 0;
    size_t used = 0;
    while (used < capacity && buffer[used] != '\0')
        ++used;
    if (used >= capacity) {
        // Not terminated: terminate it where it ends rather than run past it.
        buffer[capacity - 1] = '\0';
        return 0;
    }
    if (text == NULL)
        return 1;
    while (*text != '\0') {
        if (used + 1 >= capacity) {
            buffer[used] = '\0';
            return 0;
        }
        buffer[used++] = *text++;
    }
    buffer[used] = '\0';
    return 1;
}

int CopyText(char* buffer, size_t capacity, const char* text) {
    if (buffer == NULL || capacity == 0)
        return 0;
    buffer[0] = '\0';
    return AppendText(buffer, capacity, text);
}

void UpperCaseText(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z')
            *text = static_cast<char>(*text - 'a' + 'A');
    }
}

int QueryWindowsDirectory(char* buffer, UINT capacity) {
    if (capacity == 0)
        return 0;
    buffer[0] = '\0';
    UINT length = GetWindowsDirectoryA(buffer, capacity);
    // Too small a buffer is answered with the size needed and nothing written.
    if (length == 0 || length >= capacity) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[capacity - 1] = '\0';
    return 1;
}

// Cuts `text` at its last `c`, if it has one.
static void CutAtLast(char* text, char c) {
    char* last = strrchr(text, c);
    if (last != NULL)
        *last = '\0';
}

int CheckExistingSaver(HINSTANCE instance) {
    char name[GLIM_PATH_CAPACITY];
    char dir[GLIM_PATH_CAPACITY];
    char scr_name[GLIM_PATH_CAPACITY];
    char text[SHELL_MESSAGE_CAPACITY];
    memset(name, 0, sizeof name);

    DWORD length = GetModuleFileNameA(instance, name, sizeof name);
    if (length == 0)
        return 1;
    name[sizeof name - 1] = '\0';
    if (!QueryWindowsDirectory(dir, sizeof dir))
        return 1;

    // The name by the last-"." rule, in the case the module name has: for
    // aurora.exe the file looked for is aurora.SCR.
    if (!GetInstallerBaseName(name, scr_name, sizeof scr_name))
        return 1;
    if (!AppendText(scr_name, sizeof scr_name, ".SCR"))
        return 1;
    // A path that does not fit cannot name an existing file we could replace.
    if (!AppendBackslash(dir, sizeof dir) || !AppendText(dir, sizeof dir, scr_name))
        return 1;
    if (!PlatPathExists(dir))
        return 1;

    CopyText(text, sizeof text, "There is already a screen saver by the same name (");
    AppendText(text, sizeof text, scr_name);
    AppendText(text, sizeof text, ") installed on your system.  Would you like to replace it?");
    if (MessageBoxA(NULL, text, "Replace Screen Saver?", MB_ICONQUESTION | MB_YESNO) != IDNO)
        return 1;

    // The advice names the installer as base name + ".EXE", whatever its
    // real extension.
    CutAtLast(scr_name, '.');
    AppendText(scr_name, sizeof scr_name, ".EXE");
    CopyText(text, sizeof text,
             "If you would like to change the name of the .SCR file that would be installed on "
             "your system, simply change the installers file name (");
    AppendText(text, sizeof text, scr_name);
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

char* FormatThousands(int32_t value, char* out) {
    // Digits of the magnitude, least significant first; the sign is kept
    // apart so that it never lands inside a group.
    char digits[32];
    int count = 0;
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);

    size_t n = 0;
    if (value < 0)
        out[n++] = '-';
    for (int i = count - 1; i >= 0; --i) {
        out[n++] = digits[i];
        if (i > 0 && i % 3 == 0)
            out[n++] = ',';
    }
    out[n] = '\0';
    return out;
}
