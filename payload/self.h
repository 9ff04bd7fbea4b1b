// What the installer asks the system about itself: its own file's path and
// the Windows directory. Every part of the installer fetches them here, with
// one policy for an answer that does not fit.
#ifndef GLIM_PAYLOAD_SELF_H
#define GLIM_PAYLOAD_SELF_H

#include "platform/platform.h"

// The installer's own full path (GetModuleFileNameA of `instance`, NULL for
// the running program) into `buffer`. 1 when the buffer holds the whole
// path; 0, with an empty buffer, when the name is unavailable or did not fit:
// a name cut to the buffer could be the name of some other existing file.
int FetchModulePath(HINSTANCE instance, char* buffer, DWORD capacity);

// GetWindowsDirectoryA into `buffer`; 1 when the buffer now holds the
// directory, 0 (and an empty buffer) when the query failed or the answer did
// not fit.
int QueryWindowsDirectory(char* buffer, UINT capacity);

#endif
