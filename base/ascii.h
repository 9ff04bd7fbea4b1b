// Letter case as this project knows it: ASCII letters only, one rule for
// every layer.
//
// Why ASCII. The installer upper-cases the names it makes (the saver's file
// name, the paths in its texts) letter by letter over a-z and nothing else,
// whatever the code page, so a package named "café.EXE" installs "CAFé.SCR":
// that is the installer's behaviour and the tool must predict it exactly.
// Windows itself compares names without regard to case by a table of its
// file system that covers more than ASCII; but every comparison this
// project makes is of names where the two cannot differ: names the
// installer made (which differ, if at all, in their ASCII part: the file
// numbers and extensions), patterns against them, device names (ASCII
// words), and final paths the system returned, which come back spelt as
// stored. So no code here folds case any other way.
//
// Templates over the code unit, so that the host's UTF-16 names fold by the
// same rule as the installer's bytes; no library to link, so that every
// layer can use them.
#ifndef GLIM_BASE_ASCII_H
#define GLIM_BASE_ASCII_H

#include <stddef.h>

// 1 for an ASCII letter (a drive letter, say).
template <typename Unit> inline int IsAsciiLetter(Unit c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// `c` with a-z as A-Z; every other unit as it is.
template <typename Unit> inline Unit UpperAscii(Unit c) {
    return (c >= 'a' && c <= 'z') ? static_cast<Unit>(c - 'a' + 'A') : c;
}

// 1 when the `length` units of `a` and `b` are the same but for the case of
// ASCII letters.
template <typename Unit>
inline int EqualsIgnoringAsciiCase(const Unit* a, const Unit* b, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return 0;
    }
    return 1;
}

#endif
