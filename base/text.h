// Text in fixed buffers, as the installer builds all of its texts: a builder
// that never runs past its buffer, and the two policies callers choose from.
// A message may be cut where the buffer is full (it is still readable); a
// name or a path may not (cut, it would name some other file), so it is
// refused whole.
#ifndef GLIM_BASE_TEXT_H
#define GLIM_BASE_TEXT_H

#include <stddef.h>

// A terminated text under construction in the caller's buffer.
struct TextBuilder {
    char* out;
    size_t capacity; // bytes of `out`, terminator included
    size_t length;
    int fits; // 0 once anything had to be cut
};

// Starts an empty text in `out` (which then holds "" when capacity > 0).
void TextBegin(struct TextBuilder* b, char* out, size_t capacity);
// Appends as much of `text` (or `count` bytes of it) as fits.
void TextAppend(struct TextBuilder* b, const char* text);
void TextAppendBytes(struct TextBuilder* b, const char* text, size_t count);
// The policy for names and paths: 1 when the whole text fitted; otherwise
// empties the buffer and returns 0.
int TextFinishWhole(struct TextBuilder* b);

// The policy for messages, on a terminated text already in `buffer`:
// appends what fits and returns 1 when all of `text` did. A buffer that is
// not terminated within `capacity` is terminated at its end first.
int AppendText(char* buffer, size_t capacity, const char* text);
// Replaces the contents by `text`, cut to fit; 1 when it fitted.
int CopyText(char* buffer, size_t capacity, const char* text);

// Writes the `count` decimal digits of `reversed` (the least significant
// first, as division gives them) to `out`, the most significant first, with
// "," between groups of three counted from the right: "7654321" gives
// "1,234,567". Returns the number of bytes written (count + (count - 1) / 3;
// no terminator). Every number people read here, the installer's and the
// tool's, is grouped this way.
size_t WriteGroupedDigits(const char* reversed, size_t count, char* out);

// Upper-cases the ASCII letters in place, as the C locale does: the
// installer's names never depend on the system's code page.
void UpperCaseText(char* text);

#endif
