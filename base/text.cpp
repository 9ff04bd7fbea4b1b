#include "base/text.h"

#include <string.h>

#include "base/ascii.h"

void TextBegin(TextBuilder* b, char* out, size_t capacity) {
    b->out = out;
    b->capacity = capacity;
    b->length = 0;
    b->fits = capacity > 0;
    if (capacity > 0)
        out[0] = '\0';
}

void TextAppendBytes(TextBuilder* b, const char* text, size_t count) {
    if (b->capacity == 0) {
        b->fits = 0;
        return;
    }
    size_t room = b->capacity - 1 - b->length;
    if (count > room) {
        count = room;
        b->fits = 0;
    }
    memcpy(b->out + b->length, text, count);
    b->length += count;
    b->out[b->length] = '\0';
}

void TextAppend(TextBuilder* b, const char* text) {
    if (text != NULL)
        TextAppendBytes(b, text, strlen(text));
}

int TextFinishWhole(TextBuilder* b) {
    if (b->fits)
        return 1;
    if (b->capacity > 0)
        b->out[0] = '\0';
    b->length = 0;
    return 0;
}

int AppendText(char* buffer, size_t capacity, const char* text) {
    if (buffer == NULL || capacity == 0)
        return 0;
    size_t used = 0;
    while (used < capacity && buffer[used] != '\0')
        ++used;
    if (used >= capacity) {
        // Not terminated: terminate it where it ends rather than run past it.
        buffer[capacity - 1] = '\0';
        return 0;
    }
    TextBuilder b = {buffer, capacity, used, 1};
    TextAppend(&b, text);
    return b.fits;
}

int CopyText(char* buffer, size_t capacity, const char* text) {
    if (buffer == NULL || capacity == 0)
        return 0;
    buffer[0] = '\0';
    return AppendText(buffer, capacity, text);
}

size_t WriteGroupedDigits(const char* reversed, size_t count, char* out) {
    size_t n = 0;
    for (size_t i = count; i > 0; --i) {
        out[n++] = reversed[i - 1];
        if (i > 1 && (i - 1) % 3 == 0)
            out[n++] = ',';
    }
    return n;
}

void UpperCaseText(char* text) {
    for (; *text != '\0'; ++text)
        *text = UpperAscii(*text);
}
