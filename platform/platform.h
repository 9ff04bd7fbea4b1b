// The Windows operations the installer uses, gathered in one place.
//
// On Windows this is the real API from <windows.h>. On every other system the
// same names are provided by the host back end (platform/host), which maps a
// Windows-style path space ("C:\WINDOWS\...") onto host folders, so that the
// installer's path rules and file handling run unchanged in the package tool
// and in the native tests.
//
// This header (and the back ends below it) is the only place that may test
// for _WIN32.
#ifndef GLIM_PLATFORM_PLATFORM_H
#define GLIM_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#define GLIM_HOST_BACKEND 0
#else
#include "platform/host/win32_api.h"
#define GLIM_HOST_BACKEND 1
#endif

// Capacity of every path buffer, terminator included.
#define GLIM_PATH_CAPACITY 260

// The standard library's file-status call (_stat): 1 when a file or directory
// of that name exists, else 0.
int PlatPathExists(const char* path);

// The standard library's buffered files (fopen) on a path of the installer's
// path space. Reading, seeking, writing and closing use the usual stdio calls.
FILE* PlatOpenFile(const char* path, const char* mode);

// Ends the process through the normal process exit with the given code
// (exit handlers run, open stdio streams are flushed and closed).
void PlatExitProcess(int code);

#endif
