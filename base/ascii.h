// Letter case as names know it here: ASCII letters only. Windows compares
// file names that way whatever the code page, and the installer's names must
// never depend on the system's code page or locale, so a-z and A-Z are the
// only letters that have a case. Templates over the code unit, so that the
// host's UTF-16 names fold by the same rule as the installer's bytes; no
// library to link, so that every layer can use them.
#ifndef GLIM_BASE_ASCII_H
#define GLIM_BASE_ASCII_H

#include <stddef.h>

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
