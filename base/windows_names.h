// How Windows reads a path: where its components end, what it drops from the
// end of a name, and which names are devices in every folder. The installer's
// naming (format/naming.h), the host back end, the package checks and the
// host's system layer on Windows (hostos/windows.cpp) must all read a name the
// same way, or one of them lets through a name another refuses; so the rules
// are written once, here, below all of them.
//
// Header-only templates over the code unit: the installer and the package
// checks hold names as Windows-1252 bytes (char), the system layer as UTF-16
// (wchar_t), the tool's checks of a host name also as code points decoded
// from UTF-8 (unsigned int). Every character these rules name has the same value in both:
// ASCII, and the superscript digits, which are 0xB9, 0xB2 and 0xB3 in
// Windows-1252 as in Unicode.
#ifndef GLIM_BASE_WINDOWS_NAMES_H
#define GLIM_BASE_WINDOWS_NAMES_H

#include <stddef.h>

#include "base/ascii.h"

// The value of a code unit, never negative (char is signed on x86).
inline unsigned long CodeUnitValue(char c) {
    return static_cast<unsigned char>(c);
}
inline unsigned long CodeUnitValue(wchar_t c) {
    return static_cast<unsigned long>(c);
}
inline unsigned long CodeUnitValue(unsigned int c) {
    return c; // a whole code point, as a name decoded from UTF-8 holds it
}

// 1 for the units Windows separates a path's components with: "\" and "/".
template <typename Unit> inline int IsPathSeparator(Unit c) {
    return c == '\\' || c == '/';
}

// Takes `path` apart one component at a time: the component that starts at
// *pos ends at the next separator or at the end. Every component counts,
// empty ones too, so a path with n separators has n + 1 components ("A\B\"
// gives "A", "B" and ""): a caller decides what an empty one means. Returns
// 0 once the path is done; otherwise sets *start and *count and moves *pos
// past the component and its separator. Start with *pos = 0 (or where the
// part to split begins).
template <typename Unit>
inline int NextPathComponent(const Unit* path, size_t length, size_t* pos, size_t* start,
                             size_t* count) {
    if (*pos > length)
        return 0;
    size_t end = *pos;
    while (end < length && !IsPathSeparator(path[end]))
        end++;
    *start = *pos;
    *count = end - *pos;
    *pos = end + 1;
    return 1;
}

// 1 when `path` begins with a drive ("C:"), which a name may follow at once
// ("C:NAME" names NAME in drive C's current folder).
template <typename Unit> inline int HasDrivePrefix(const Unit* path, size_t length) {
    return length >= 2 && IsAsciiLetter(path[0]) && path[1] == ':';
}

// Length of `name` without the dots and blanks that Windows drops from the
// end of a name: "A. ." names A, and a name made only of them names the
// folder itself or its parent, not a file of its own.
template <typename Unit>
inline size_t WithoutTrailingDotsAndBlanks(const Unit* name, size_t length) {
    while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' '))
        length--;
    return length;
}

// 1 when the `length` units of `name` are `word` (upper-case ASCII) but for
// the case of ASCII letters.
template <typename Unit> inline int IsAsciiWord(const Unit* name, size_t length, const char* word) {
    size_t i = 0;
    for (; i < length && word[i] != '\0'; i++) {
        if (CodeUnitValue(UpperAscii(name[i])) != static_cast<unsigned char>(word[i]))
            return 0;
    }
    return i == length && word[i] == '\0';
}

// 1 when `name`, one component, names a device in every folder: the part
// before its first dot, without trailing blanks, is CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, or COM or LPT followed by one digit 0 to 9 or a
// superscript 1, 2 or 3, in any case and whatever extension follows
// ("NUL.TXT" is the device too). The list is what any Windows version takes
// for a device, the union of them: a name refused on one system and taken on
// another would make a package that installs on one and not the other.
template <typename Unit> inline int IsWindowsDeviceName(const Unit* name, size_t length) {
    size_t stem = 0;
    while (stem < length && name[stem] != '.')
        stem++;
    while (stem > 0 && name[stem - 1] == ' ')
        stem--;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (size_t i = 0; i < sizeof kDevices / sizeof kDevices[0]; i++) {
        if (IsAsciiWord(name, stem, kDevices[i]))
            return 1;
    }
    if (stem != 4 || !(IsAsciiWord(name, 3, "COM") || IsAsciiWord(name, 3, "LPT")))
        return 0;
    unsigned long digit = CodeUnitValue(name[3]);
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// The characters Windows refuses in a name, besides the control characters
// (below 0x20): "\" and "/" separate components, ":" would select an
// alternate data stream, and the rest are wildcards or redirections.
#define WINDOWS_FORBIDDEN_CHARACTERS "<>:\"|?*\\/"

// The device names, as a sentence for messages; IsWindowsDeviceName is the rule.
#define WINDOWS_DEVICE_NAMES_TEXT                                                                  \
    "CON, PRN, AUX, NUL, CONIN$, CONOUT$, and COM or LPT with a digit or a superscript 1-3, "      \
    "with any extension"

// Why one component is not a name of a file or folder of its own on Windows.
enum WindowsNameFault {
    WINDOWS_NAME_PLAIN = 0, // a plain name
    WINDOWS_NAME_EMPTY,     // nothing, or nothing but dots and blanks, which Windows drops
    WINDOWS_NAME_FORBIDDEN_CHARACTER, // a control character or one of WINDOWS_FORBIDDEN_CHARACTERS
    WINDOWS_NAME_DEVICE,              // a device in every folder (IsWindowsDeviceName)
};

// What is wrong with `name`, one component as Windows will store it (its
// trailing dots and blanks already dropped: WithoutTrailingDotsAndBlanks), or
// WINDOWS_NAME_PLAIN. For a forbidden character, *at (may be NULL) is its
// position. The first fault found in that order is the one given.
template <typename Unit>
inline enum WindowsNameFault WindowsNameFaultOf(const Unit* name, size_t length, size_t* at) {
    if (length == 0)
        return WINDOWS_NAME_EMPTY;
    for (size_t i = 0; i < length; i++) {
        unsigned long c = CodeUnitValue(name[i]);
        int forbidden = c < 0x20;
        for (const char* f = WINDOWS_FORBIDDEN_CHARACTERS; *f && !forbidden; f++)
            forbidden = c == static_cast<unsigned char>(*f);
        if (forbidden) {
            if (at)
                *at = i;
            return WINDOWS_NAME_FORBIDDEN_CHARACTER;
        }
    }
    return IsWindowsDeviceName(name, length) ? WINDOWS_NAME_DEVICE : WINDOWS_NAME_PLAIN;
}

#endif
