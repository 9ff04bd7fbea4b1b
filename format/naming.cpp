// Destination names derived from the installer's own file name. All of them
// are built in the caller's fixed buffer and refuse, rather than cut, a
// result that does not fit: a cut path would name a different file.
#include "format/naming.h"

#include <string.h>

#include "base/text.h"
#include "base/windows_names.h"

namespace {

int Fail(char* out, size_t capacity) {
    if (capacity > 0)
        out[0] = '\0';
    return 0;
}

// Start of the last path component (after the last "\").
const char* LastComponent(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

} // namespace

int IsExtensionCharacter(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return 1;
    return c != '\0' && strchr(EXTENSION_PUNCTUATION, c) != NULL;
}

namespace {

// Decimal text of `value`, left-padded with "0" to at least 4 digits.
void FormatFileNumber(uint32_t value, char out[16]) {
    char digits[16];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < 4)
        digits[count++] = '0';
    for (int i = 0; i < count; i++)
        out[i] = digits[count - 1 - i];
    out[count] = '\0';
}

// A directory and the "\" that separates it from what follows, unless it
// already ends in one.
void AppendDirectory(TextBuilder* b, const char* directory) {
    TextAppend(b, directory);
    if (b->length == 0 || b->out[b->length - 1] != '\\')
        TextAppend(b, "\\");
}

// Windows directory with its "\" + "QUILLFEN\GLIMLOOM\" + base name.
void BuildDataDirectoryInto(TextBuilder* b, const char* windows_dir, const char* module_path) {
    char base[GLIM_PATH_CAPACITY];
    if (!GetInstallerBaseName(module_path, base, sizeof base)) {
        b->fits = 0;
        return;
    }
    AppendDirectory(b, windows_dir);
    TextAppend(b, "QUILLFEN\\GLIMLOOM\\");
    TextAppend(b, base);
}

// The installer base name followed by `suffix`.
int BuildBaseNameWith(const char* module_path, const char* suffix, char* out, size_t capacity) {
    char base[GLIM_PATH_CAPACITY];
    if (!GetInstallerBaseName(module_path, base, sizeof base))
        return Fail(out, capacity);
    TextBuilder b;
    TextBegin(&b, out, capacity);
    TextAppend(&b, base);
    TextAppend(&b, suffix);
    return TextFinishWhole(&b);
}

} // namespace

int BuildScrFileName(const char* module_path, char* out, size_t capacity) {
    const char* name = LastComponent(module_path);
    const char* dot = strchr(name, '.');
    size_t stem = dot ? (size_t)(dot - name) : strlen(name);
    TextBuilder b;
    TextBegin(&b, out, capacity);
    TextAppendBytes(&b, name, stem);
    TextAppend(&b, ".SCR");
    if (!TextFinishWhole(&b))
        return 0;
    UpperCaseText(out);
    return 1;
}

int GetInstallerBaseName(const char* module_path, char* out, size_t capacity) {
    const char* name = LastComponent(module_path);
    // Only a "." in the file name itself ends the base name: one in a folder
    // name ("C:\DL.NEW\STARS") would otherwise name the saver after the folder.
    const char* dot = strrchr(name, '.');
    size_t length = dot ? (size_t)(dot - name) : strlen(name);
    // A name made only of dots and blanks ("", ".", "..", ". .") is no name
    // once Windows drops them: it would name the directory itself or its
    // parent.
    if (WithoutTrailingDotsAndBlanks(name, length) == 0)
        return Fail(out, capacity);
    TextBuilder b;
    TextBegin(&b, out, capacity);
    TextAppendBytes(&b, name, length);
    return TextFinishWhole(&b);
}

int AppendBackslash(char* path, size_t capacity) {
    size_t length = strnlen(path, capacity);
    if (length >= capacity)
        return Fail(path, capacity);
    if (length > 0 && path[length - 1] == '\\')
        return 1;
    if (length + 2 > capacity)
        return Fail(path, capacity);
    path[length] = '\\';
    path[length + 1] = '\0';
    return 1;
}

int BuildPathInDirectory(const char* directory, const char* name, char* out, size_t capacity) {
    TextBuilder b;
    TextBegin(&b, out, capacity);
    AppendDirectory(&b, directory);
    TextAppend(&b, name);
    return TextFinishWhole(&b);
}

int BuildExistingSaverName(const char* module_path, char* out, size_t capacity) {
    return BuildBaseNameWith(module_path, ".SCR", out, capacity);
}

int BuildRenameAdviceName(const char* module_path, char* out, size_t capacity) {
    return BuildBaseNameWith(module_path, ".EXE", out, capacity);
}

int BuildDataDirectory(const char* windows_dir, const char* module_path, char* out,
                       size_t capacity) {
    TextBuilder b;
    TextBegin(&b, out, capacity);
    BuildDataDirectoryInto(&b, windows_dir, module_path);
    return TextFinishWhole(&b);
}

int IsPlainWindowsName(const char* name, size_t length) {
    return WindowsNameFaultOf(name, length, (size_t*)NULL) == WINDOWS_NAME_PLAIN;
}

int IsSafeExtension(const char extension[PAYLOAD_EXTENSION_SIZE]) {
    size_t length = ExtensionLength(extension);
    if (length == 0)
        return 1; // no extension: the file is named FILEnnnn alone
    // "." and 1 to 3 plain characters. Anything else could leave the data
    // directory ("\", "/", ":", ".."), be dropped or reinterpreted by Windows
    // (trailing dots and blanks, control characters), or depend on the code
    // page (bytes above 127).
    if (extension[0] != '.' || length < 2)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if (!IsExtensionCharacter((unsigned char)extension[i]))
            return 0;
    }
    return 1;
}

int BuildRecordDestination(uint32_t index, const PayloadRecord* record, uint16_t first_file_number,
                           const char* windows_dir, const char* module_path, char* out,
                           size_t capacity) {
    if (index == 0) {
        char scr[GLIM_PATH_CAPACITY];
        if (!BuildScrFileName(module_path, scr, sizeof scr) ||
            !BuildPathInDirectory(windows_dir, scr, out, capacity))
            return Fail(out, capacity);
        UpperCaseText(out);
        return 1;
    }
    TextBuilder b;
    TextBegin(&b, out, capacity);
    BuildDataDirectoryInto(&b, windows_dir, module_path);
    if (index == 1) {
        char name[GLIM_PATH_CAPACITY];
        if (!BuildBaseNameWith(module_path, ".DAT", name, sizeof name))
            return Fail(out, capacity);
        TextAppend(&b, "\\");
        TextAppend(&b, name);
        return TextFinishWhole(&b);
    }
    if (!record || !IsSafeExtension(record->extension))
        return Fail(out, capacity);
    // Computed in 64 bits: first_file_number + index - 2 must not wrap round
    // onto an earlier file's name.
    uint64_t number = (uint64_t)first_file_number + index - 2;
    if (number > 0xFFFFFFFFu)
        return Fail(out, capacity);
    char digits[16];
    FormatFileNumber((uint32_t)number, digits);
    TextAppend(&b, "\\FILE");
    TextAppend(&b, digits);
    TextAppendBytes(&b, record->extension, ExtensionLength(record->extension));
    return TextFinishWhole(&b);
}

int BuildRecordPath(uint32_t index, const PayloadRecord* record, uint16_t first_file_number,
                    const char* module_path, char* out, size_t capacity) {
    // The installer's one rule, BuildRecordDestination, with no Windows
    // directory in front: its answer then starts with the "\" that would
    // have followed the directory, and nothing else differs.
    char with_separator[GLIM_PATH_CAPACITY + 1];
    if (!BuildRecordDestination(index, record, first_file_number, "", module_path, with_separator,
                                sizeof with_separator) ||
        with_separator[0] != '\\')
        return Fail(out, capacity);
    TextBuilder b;
    TextBegin(&b, out, capacity);
    TextAppend(&b, with_separator + 1);
    return TextFinishWhole(&b);
}
