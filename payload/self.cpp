#include "payload/self.h"

#include <string.h>

int FetchModulePath(HINSTANCE instance, char* buffer, DWORD capacity) {
    if (capacity == 0)
        return 0;
    memset(buffer, 0, capacity);
    DWORD length = GetModuleFileNameA(instance, buffer, capacity);
    // Windows answers a buffer that is too small with the buffer's size (and
    // a cut, terminated name); older systems with the size and no terminator.
    if (length == 0 || length >= capacity) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[capacity - 1] = '\0';
    return 1;
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
