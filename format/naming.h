// Every name the installer derives from its own file name and the Windows
// directory: the saver's file name, the data directory, each record's
// destination, the name the existence check looks for, the name the rename
// advice suggests, and the path written into system.ini. The package tool
// names destinations with these same functions.
//
// Two rules meet here on purpose. The saver's file name cuts the installer's
// file name at its FIRST ".", everything else at its LAST "." (A.B.EXE
// installs A.SCR beside the data directory A.B), as the installer always did.
//
// Every function writes a terminated string of at most `capacity` bytes
// (terminator included) and returns 1, or returns 0 and writes an empty string
// when the result would not fit or the input cannot give a safe name: a name
// cut to fit would be the name of some other file.
#ifndef GLIM_FORMAT_NAMING_H
#define GLIM_FORMAT_NAMING_H

#include <stddef.h>
#include <stdint.h>

#include "format/package_format.h"

// Capacity of the installer's path buffers, terminator included (MAX_PATH).
#define GLIM_PATH_CAPACITY 260

// Last path component of the installer's path, cut at its FIRST ".", plus
// ".SCR", all upper-cased: C:\DL\a.b.exe -> A.SCR.
int BuildScrFileName(const char* module_path, char* out, size_t capacity);

// The installer's full path cut at its LAST ".", then the part after its last
// "\"; letter case kept: C:\DL\a.b.exe -> a.b.
int GetInstallerBaseName(const char* module_path, char* out, size_t capacity);

// Appends "\" to a directory unless it already ends in one.
int AppendBackslash(char* path, size_t capacity);

// `directory` + "\" (unless it ends in one) + `name`.
int BuildPathInDirectory(const char* directory, const char* name, char* out, size_t capacity);

// The name the existence check looks for in the Windows directory: the
// installer base name (LAST-"." rule, case kept) + ".SCR". For MY.SAVER.EXE
// that is MY.SAVER.SCR, while MY.SCR is what gets installed.
int BuildExistingSaverName(const char* module_path, char* out, size_t capacity);
// The installer name the rename advice shows: the installer base name +
// ".EXE", whatever the installer's real extension.
int BuildRenameAdviceName(const char* module_path, char* out, size_t capacity);

// Windows directory + "\QUILLFEN\GLIMLOOM\" + installer base name.
int BuildDataDirectory(const char* windows_dir, const char* module_path, char* out,
                       size_t capacity);

// 1 when `name` (one path component, without its trailing dots and blanks,
// which Windows drops) names one file or folder on Windows: not empty, no
// character Windows refuses in names (control characters, < > : " | ? * and
// the separators; ":" would also select an alternate data stream), and not a
// device (IsWindowsDeviceName in base/windows_names.h: "NUL.TXT" is a device
// too).
int IsPlainWindowsName(const char* name, size_t length);

// The punctuation an extension may hold besides ASCII letters and digits.
#define EXTENSION_PUNCTUATION "_~!#$%&'()@^{}-"

// 1 for a character that may follow the dot of an extension: an ASCII letter
// or digit, or one of EXTENSION_PUNCTUATION.
int IsExtensionCharacter(unsigned char c);

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

// The same destination below the Windows directory, without it
// ("STARS.SCR", "QUILLFEN\GLIMLOOM\STARS\FILE0001.BMP"): what the package
// tool resolves below the folder standing for the Windows directory. Whether
// it fits the installer's path buffers depends on the Windows directory in
// front of it; the caller judges that.
int BuildRecordPath(uint32_t index, const PayloadRecord* record, uint16_t first_file_number,
                    const char* module_path, char* out, size_t capacity);

// What the installer's code is shown when it runs on another system (the
// package tool, its tests): the Windows directory, and the folder of its
// own file, followed by the package's file name.
#define EMULATED_WINDOWS_DIRECTORY "C:\\WINDOWS"
#define EMULATED_MODULE_FOLDER "C:\\PACKAGES\\"

#endif
