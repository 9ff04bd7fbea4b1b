// The Windows operations the installer's code uses, gathered in one place,
// with the back end chosen by the role of the program being built, not by
// the system it is built for (CMake links one of the two libraries, which
// defines the matching macro):
//
//  - GLIM_PLATFORM_WIN32: the real API from <windows.h>. Only the installer
//    stub is built this way.
//  - GLIM_PLATFORM_HOST: the host back end (platform/host), which maps a
//    Windows-style path space ("C:\WINDOWS\...") onto real folders, so that
//    the installer's path rules and file handling run unchanged in the
//    package tool (on Linux and on Windows alike) and in the native tests.
//
// This header is the only place that looks at the choice.
#ifndef GLIM_PLATFORM_PLATFORM_H
#define GLIM_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(GLIM_PLATFORM_WIN32) && defined(GLIM_PLATFORM_HOST)
#error "one platform back end only: GLIM_PLATFORM_WIN32 or GLIM_PLATFORM_HOST"
#elif defined(GLIM_PLATFORM_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(GLIM_PLATFORM_HOST)
#include "platform/host/win32_api.h"
#else
#error "no platform back end: link glim_platform_win32 or glim_platform_host"
#endif

#ifdef GLIM_PLATFORM_HOST
namespace hostwin {
#endif

// The standard library's file-status call (_stat): 1 when a file or directory
// of that name exists, else 0.
int PlatPathExists(const char* path);

// The standard library's buffered files (fopen) on a path of the installer's
// path space. Reading, seeking, writing and closing use the usual stdio calls.
FILE* PlatOpenFile(const char* path, const char* mode);

// Ends the process through the normal process exit with the given code
// (exit handlers run, open stdio streams are flushed and closed).
void PlatExitProcess(int code);

#ifdef GLIM_PLATFORM_HOST
} // namespace hostwin
// The installer's code is written against the Windows API's plain names.
using namespace hostwin; // NOLINT(google-build-using-namespace)
#endif

#endif
