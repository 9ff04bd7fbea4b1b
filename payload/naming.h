// Where the installer puts things, derived from its own file name. The package
// tool names destinations with these same functions.
//
// Every function writes a terminated string of at most `capacity` bytes
// (terminator included) and returns 1, or returns 0 and writes an empty string
// when the result would not fit or the input cannot give a safe name.
#ifndef GLIM_PAYLOAD_NAMING_H
#define GLIM_PAYLOAD_NAMING_H

#include <stddef.h>
#include <stdint.h>

#include "payload/payload.h"

// Last path component of the installer's path, cut at its FIRST ".", plus
// ".SCR", all upper-cased: C:\DL\a.b.exe -> A.SCR.
int BuildScrFileName(const char* module_path, char* out, size_t capacity);

// The installer's full path cut at its LAST ".", then the part after its last
// "\"; letter case kept: C:\DL\a.b.exe -> a.b.
int GetInstallerBaseName(const char* module_path, char* out, size_t capacity);

// Appends "\" to a directory unless it already ends in one.
int AppendBackslash(char* path, size_t capacity);

// Windows directory + "\QUILLFEN\GLIMLOOM\" + installer base name.
int BuildDataDirectory(const char* windows_dir, const char* module_path, char* out,
                       size_t capacity);

// 1 when a record's extension field can be used in a file name: it stays in
// its directory (no "\", "/", ":", no "..") and holds no control characters.
int IsSafeExtension(const char extension[PAYLOAD_EXTENSION_SIZE]);

// Destination of record `index`:
//   0:  Windows directory + SCR file name, the whole path upper-cased
//   1:  data directory + "\" + installer base name + ".DAT"
//   n:  data directory + "\FILE" + number (at least 4 digits) + extension,
//       the number being first_file_number + n - 2
// Returns 0 for an unsafe extension or a path over `capacity`.
int BuildRecordDestination(uint32_t index, const PayloadRecord* record, uint16_t first_file_number,
                           const char* windows_dir, const char* module_path, char* out,
                           size_t capacity);

#endif
