#include "samples/stars/settings.h"
#include <initializer_list>

namespace {

const char kDefaultBackground[] = "FILE0032.BMP";

const char* const kColourNames[STARS_COLOUR_COUNT] = {
    "white", "yellow", "cyan", "red", "green", "blue", "rainbow",
};

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

size_t TextLength(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

// Case-insensitive comparison of a counted text with a lower-case word.
bool SameWord(const char* text, size_t length, const char* word) {
    size_t i = 0;
    for (; i < length; ++i) {
        if (word[i] == '\0' || LowerAscii(text[i]) != word[i]) {
            return false;
        }
    }
    return word[i] == '\0';
}

// A decimal integer with an optional sign and nothing else. Values beyond a
// billion saturate there: they are far outside every range we clamp to.
bool ParseInteger(const char* text, size_t length, long* value) {
    size_t i = 0;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == length) {
        return false;
    }
    long result = 0;
    for (; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        if (result < 1000000000L) {
            result = result * 10 + (text[i] - '0');
        }
    }
    *value = negative ? -result : result;
    return true;
}

int Clamp(long value, int low, int high) {
    if (value < low) {
        return low;
    }
    if (value > high) {
        return high;
    }
    return static_cast<int>(value);
}

// Appends to a NUL-terminated text in a fixed buffer; once something did not
// fit, *ok stays false and the buffer is left alone.
struct TextOut {
    char* buffer;
    size_t capacity;
    size_t length;
    bool ok;
};

void Put(TextOut* out, const char* text, size_t length) {
    if (!out->ok || out->capacity - out->length <= length) {
        out->ok = false;
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        out->buffer[out->length++] = text[i];
    }
    out->buffer[out->length] = '\0';
}

void Put(TextOut* out, const char* text) {
    Put(out, text, TextLength(text));
}

void PutNumber(TextOut* out, long value) {
    char digits[24];
    size_t n = sizeof digits;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[--n] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        digits[--n] = '-';
    }
    Put(out, digits + n, sizeof digits - n);
}

size_t Finish(TextOut* out) {
    if (!out->ok) {
        if (out->capacity > 0) {
            out->buffer[0] = '\0';
        }
        return 0;
    }
    return out->length;
}

TextOut StartText(char* buffer, size_t capacity) {
    TextOut out = {buffer, capacity, 0, capacity > 0};
    if (capacity > 0) {
        buffer[0] = '\0';
    }
    return out;
}

void PutSettings(TextOut* out, const StarsSettings* settings) {
    Put(out, "stars=");
    PutNumber(out, settings->stars);
    Put(out, "\r\nspeed=");
    PutNumber(out, settings->speed);
    Put(out, "\r\ncolour=");
    Put(out, StarsColourName(settings->colour));
    Put(out, "\r\nbackground=");
    Put(out, settings->background);
    Put(out, "\r\n");
}

// One "key=value" line, already cut from the text and trimmed. Answers false
// when the line was not understood, so the caller can report partial data.
bool ApplyLine(const char* line, size_t length, StarsSettings* settings) {
    size_t equals = 0;
    while (equals < length && line[equals] != '=') {
        ++equals;
    }
    if (equals == length) {
        return false;
    }
    size_t key_end = equals;
    while (key_end > 0 && IsBlank(line[key_end - 1])) {
        --key_end;
    }
    const char* value = line + equals + 1;
    size_t value_length = length - equals - 1;
    while (value_length > 0 && IsBlank(*value)) {
        ++value;
        --value_length;
    }

    long number = 0;
    if (SameWord(line, key_end, "stars")) {
        if (!ParseInteger(value, value_length, &number)) {
            return false;
        }
        settings->stars = Clamp(number, STARS_COUNT_MIN, STARS_COUNT_MAX);
        return true;
    }
    if (SameWord(line, key_end, "speed")) {
        if (!ParseInteger(value, value_length, &number)) {
            return false;
        }
        settings->speed = Clamp(number, STARS_SPEED_MIN, STARS_SPEED_MAX);
        return true;
    }
    if (SameWord(line, key_end, "colour") || SameWord(line, key_end, "color")) {
        int colour = StarsColourFromName(value, value_length);
        if (colour < 0) {
            return false;
        }
        settings->colour = colour;
        return true;
    }
    if (SameWord(line, key_end, "background")) {
        if (value_length == 0) {
            settings->background[0] = '\0';
            return true;
        }
        // The name is joined to the data directory and opened: anything that
        // could reach outside that directory is refused.
        if (!StarsIsPlainFileName(value, value_length)) {
            return false;
        }
        for (size_t i = 0; i < value_length; ++i) {
            settings->background[i] = value[i];
        }
        settings->background[value_length] = '\0';
        return true;
    }
    return false;
}

// dest = a + b + c + d, each NUL-terminated or NULL for nothing; false when
// it does not fit. (NULL rather than "": GCC 12 at -O3 sees the inlined copy
// of an empty literal as reading past it.)
bool Join(char* dest, size_t capacity, const char* a, const char* b, const char* c, const char* d) {
    TextOut out = StartText(dest, capacity);
    for (const char* part : {a, b, c, d}) {
        if (part != nullptr) {
            Put(&out, part);
        }
    }
    Finish(&out);
    return out.ok;
}

void ClearPaths(StarsPaths* paths) {
    paths->name[0] = '\0';
    paths->data_dir[0] = '\0';
    paths->dat_file[0] = '\0';
}

} // namespace

void StarsDefaultSettings(StarsSettings* settings) {
    settings->stars = STARS_COUNT_DEFAULT;
    settings->speed = STARS_SPEED_DEFAULT;
    settings->colour = STARS_COLOUR_WHITE;
    for (size_t i = 0; i < sizeof kDefaultBackground; ++i) {
        settings->background[i] = kDefaultBackground[i];
    }
}

int StarsParseSettings(const char* text, size_t size, StarsSettings* settings) {
    StarsDefaultSettings(settings);
    if (size > STARS_DAT_MAX_SIZE) {
        return STARS_DATA_TOO_BIG;
    }
    size_t pos = 0;
    // Editors on Windows like to start a file with a UTF-8 byte order mark.
    if (size >= 3 && text[0] == '\xEF' && text[1] == '\xBB' && text[2] == '\xBF') {
        pos = 3;
    }
    bool all_understood = true;
    while (pos < size) {
        size_t end = pos;
        while (end < size && text[end] != '\n') {
            ++end;
        }
        size_t next = end < size ? end + 1 : end;
        size_t start = pos;
        while (start < end && (IsBlank(text[start]) || text[start] == '\r')) {
            ++start;
        }
        while (end > start && (IsBlank(text[end - 1]) || text[end - 1] == '\r')) {
            --end;
        }
        pos = next;

        bool has_nul = false;
        for (size_t i = start; i < end; ++i) {
            has_nul = has_nul || text[i] == '\0';
        }
        if (start == end || text[start] == ';' || text[start] == '#') {
            continue;
        }
        if (!has_nul && text[start] == '[' && text[end - 1] == ']') {
            continue;
        }
        if (has_nul || !ApplyLine(text + start, end - start, settings)) {
            all_understood = false;
        }
    }
    return all_understood ? STARS_DATA_LOADED : STARS_DATA_PARTIAL;
}

size_t StarsFormatSettings(const StarsSettings* settings, char* out, size_t capacity) {
    TextOut text = StartText(out, capacity);
    PutSettings(&text, settings);
    return Finish(&text);
}

const char* StarsColourName(int colour) {
    if (colour < 0 || colour >= STARS_COLOUR_COUNT) {
        return kColourNames[STARS_COLOUR_WHITE];
    }
    return kColourNames[colour];
}

int StarsColourFromName(const char* name, size_t length) {
    for (int i = 0; i < STARS_COLOUR_COUNT; ++i) {
        if (SameWord(name, length, kColourNames[i])) {
            return i;
        }
    }
    if (SameWord(name, length, "grey") || SameWord(name, length, "gray")) {
        return STARS_COLOUR_WHITE;
    }
    if (SameWord(name, length, "multi")) {
        return STARS_COLOUR_RAINBOW;
    }
    return -1;
}

bool StarsIsPlainFileName(const char* name, size_t length) {
    if (length == 0 || length >= STARS_NAME_MAX) {
        return false;
    }
    bool only_dots = true;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == '\\' || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' ||
            c == '<' || c == '>' || c == '|') {
            return false;
        }
        only_dots = only_dots && c == '.';
    }
    return !only_dots;
}

bool StarsPathsFromModule(const char* module_path, StarsPaths* paths) {
    ClearPaths(paths);
    size_t length = TextLength(module_path);
    size_t file_start = length;
    while (file_start > 0 && !IsSeparator(module_path[file_start - 1])) {
        --file_start;
    }
    size_t name_end = length;
    while (name_end > file_start && module_path[name_end - 1] != '.') {
        --name_end;
    }
    if (name_end == file_start) {
        name_end = length; // no extension at all
    } else {
        --name_end; // drop the dot
    }
    size_t name_length = name_end - file_start;
    if (name_length == 0 || name_length >= STARS_PATH_MAX || file_start >= STARS_PATH_MAX) {
        return false;
    }
    char name[STARS_PATH_MAX];
    char base_dir[STARS_PATH_MAX];
    for (size_t i = 0; i < name_length; ++i) {
        name[i] = module_path[file_start + i];
    }
    name[name_length] = '\0';
    for (size_t i = 0; i < file_start; ++i) {
        base_dir[i] = module_path[i];
    }
    base_dir[file_start] = '\0';
    return StarsPathsFromDirectory(base_dir, name, paths);
}

bool StarsPathsFromDirectory(const char* base_dir, const char* name, StarsPaths* paths) {
    ClearPaths(paths);
    size_t name_length = TextLength(name);
    if (name_length == 0) {
        return false;
    }
    for (size_t i = 0; i < name_length; ++i) {
        if (IsSeparator(name[i]) || name[i] == ':') {
            return false;
        }
    }
    size_t base_length = TextLength(base_dir);
    const char* separator =
        (base_length > 0 && !IsSeparator(base_dir[base_length - 1])) ? "\\" : nullptr;
    if (!Join(paths->data_dir, STARS_PATH_MAX, base_dir, separator, "QUILLFEN\\GLIMLOOM\\", name) ||
        !Join(paths->dat_file, STARS_PATH_MAX, paths->data_dir, "\\", name, ".DAT") ||
        !Join(paths->name, STARS_PATH_MAX, name, nullptr, nullptr, nullptr)) {
        ClearPaths(paths);
        return false;
    }
    return true;
}

bool StarsDataFilePath(const StarsPaths* paths, const char* file, char* out, size_t capacity) {
    if (capacity > 0) {
        out[0] = '\0';
    }
    if (paths->data_dir[0] == '\0' || !StarsIsPlainFileName(file, TextLength(file))) {
        return false;
    }
    return Join(out, capacity, paths->data_dir, "\\", file, nullptr);
}

bool StarsParseArgs(const char* command_line, StarsArgs* args) {
    args->mode = STARS_MODE_CONFIGURE;
    args->window = 0;
    args->dump_path[0] = '\0';

    const char* p = command_line;
    while (IsBlank(*p)) {
        ++p;
    }
    if (*p != '/' && *p != '-') {
        return true; // nothing, or something we do not know: the settings
    }
    ++p;
    const char* word = p;
    while (*p != '\0' && !IsBlank(*p) && *p != ':') {
        ++p;
    }
    size_t word_length = static_cast<size_t>(p - word);

    if (SameWord(word, word_length, "dump")) {
        while (IsBlank(*p) || *p == ':') {
            ++p;
        }
        size_t length = TextLength(p);
        while (length > 0 && IsBlank(p[length - 1])) {
            --length;
        }
        if (length >= 2 && p[0] == '"' && p[length - 1] == '"') {
            ++p;
            length -= 2;
        }
        if (length == 0 || length >= STARS_PATH_MAX) {
            return false;
        }
        for (size_t i = 0; i < length; ++i) {
            args->dump_path[i] = p[i];
        }
        args->dump_path[length] = '\0';
        args->mode = STARS_MODE_DUMP;
        return true;
    }

    char letter = LowerAscii(*word);
    // The window number may follow the letter directly ("/p1234"), after a
    // colon or after blanks.
    p = word + 1;
    while (IsBlank(*p) || *p == ':') {
        ++p;
    }
    unsigned long window = 0;
    bool has_window = false;
    while (*p >= '0' && *p <= '9') {
        unsigned long digit = static_cast<unsigned long>(*p - '0');
        if (window > (0xFFFFFFFFUL - digit) / 10) {
            return false; // no window handle is that large
        }
        window = window * 10 + digit;
        has_window = true;
        ++p;
    }

    switch (letter) {
    case 's':
        args->mode = STARS_MODE_SCREEN;
        return true;
    case 'p':
    case 'l': // the preview switch of the oldest control panels
        if (!has_window || window == 0) {
            return false;
        }
        args->mode = STARS_MODE_PREVIEW;
        args->window = window;
        return true;
    case 'a':
        args->mode = STARS_MODE_PASSWORD;
        return true;
    case 'c':
        args->window = has_window ? window : 0;
        return true;
    default:
        return true;
    }
}

size_t StarsFormatDump(const StarsSettings* settings, int data_status, bool background_loaded,
                       const char* dat_file, char* out, size_t capacity) {
    static const char* const kStatus[] = {"missing", "loaded", "partial", "too-big"};
    TextOut text = StartText(out, capacity);
    PutSettings(&text, settings);
    Put(&text, "background_loaded=");
    Put(&text, background_loaded ? "yes" : "no");
    Put(&text, "\r\ndata_file=");
    Put(&text, dat_file);
    Put(&text, "\r\ndata_status=");
    Put(&text,
        (data_status >= 0 && data_status <= STARS_DATA_TOO_BIG) ? kStatus[data_status] : "unknown");
    Put(&text, "\r\n");
    return Finish(&text);
}
