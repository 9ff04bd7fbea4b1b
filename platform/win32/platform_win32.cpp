// Windows back end: the installer calls the real API from <windows.h>
// directly; only the standard library's file calls are wrapped here.
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/platform.h"

int PlatPathExists(const char* path) {
    struct _stat st;
    return _stat(path, &st) == 0 ? 1 : 0;
}

FILE* PlatOpenFile(const char* path, const char* mode) {
    return fopen(path, mode);
}

void PlatExitProcess(int code) {
    exit(code);
}
