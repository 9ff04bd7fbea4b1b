// Inside the Windows system layer: UTF-8 and UTF-16, paths as the wide API
// takes them, and the files open for writing. Shared by windows.cpp and
// cleanup_windows.cpp only (and crypto_windows.cpp for its UTF-8).
#ifndef GLIM_HOSTOS_WINDOWS_INTERNAL_H
#define GLIM_HOSTOS_WINDOWS_INTERNAL_H

#include <string>

namespace hostos {
namespace win {

// UTF-8 to UTF-16 and back. Windows names are any sequence of 16-bit units,
// unpaired surrogates included; those travel as the 3-byte sequences UTF-8
// would give them (WTF-8), so that every name read from a folder can be
// opened again. Bytes that are not UTF-8 become U+FFFD.
std::wstring Widen(const std::string& text);
std::string Narrow(const wchar_t* text, size_t length);
std::string Narrow(const std::wstring& text);

// `path` as the wide API takes it: absolute ("." and ".." applied, trailing
// dots and blanks of names dropped, as Windows does for every program) and
// prefixed with "\\?\" ("\\?\UNC\" for a share), so that the 260-character
// limit does not apply. A path already in the "\\?\" or "\\.\" form is taken
// as it is. "" for an empty path.
std::wstring SystemPath(const std::string& path);

// The files this layer opened for writing and has not closed (handles, as
// void*). The interruption handler closes them before it removes the
// scratch files: Windows keeps the name of an open file (removing it only
// marks it), and a folder holding such a name cannot be removed.
void NoteOpenForWriting(void* handle);
void NoteClosed(void* handle);

} // namespace win
} // namespace hostos

#endif
