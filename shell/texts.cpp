// The installer's texts, built in fixed buffers.
#include "shell/texts.h"

#include <string.h>

#include "base/text.h"
#include "format/naming.h"

void TrimSaverTitle(char* title) {
    size_t i = strlen(title);
    while (i > 0) {
        --i;
        if (title[i] != ' ')
            break;
        title[i] = '\0';
    }
}

int BuildCaption(const char* title, char* out, size_t capacity) {
    int fits = CopyText(out, capacity, title);
    fits &= AppendText(out, capacity, " Screen Saver Installation");
    return fits;
}

int BuildSaverLabel(const char* title, char* out, size_t capacity) {
    int fits = CopyText(out, capacity, title);
    fits &= AppendText(out, capacity, " Screen Saver");
    return fits;
}

int BuildConfirmationText(const char* scr_file_name, const char* title, const char* windows_dir,
                          uint32_t installed_total, char* out, size_t capacity) {
    char dir[GLIM_PATH_CAPACITY];
    char number[SHELL_NUMBER_CAPACITY];
    int fits = CopyText(dir, sizeof dir, windows_dir);
    UpperCaseText(dir);
    // The total is shown as the signed count it has always been shown as; a
    // payload of 2 GB or more does not fit on the systems this installs to.
    FormatThousands(static_cast<int32_t>(installed_total), number);

    fits &= CopyText(out, capacity, "This program will install ");
    fits &= AppendText(out, capacity, scr_file_name);
    fits &= AppendText(out, capacity, " (");
    fits &= AppendText(out, capacity, title);
    fits &= AppendText(out, capacity, " Screen Saver) to ");
    fits &= AppendText(out, capacity, dir);
    fits &= AppendText(out, capacity,
                       " and will make it your default Screen Saver.  This installation will "
                       "take ");
    fits &= AppendText(out, capacity, number);
    fits &= AppendText(out, capacity, " bytes.");
    return fits;
}

int BuildCompletionText(const char* windows_dir, const char* module_path, char* out,
                        size_t capacity) {
    char data_dir[GLIM_PATH_CAPACITY];
    int fits = BuildDataDirectory(windows_dir, module_path, data_dir, sizeof data_dir);
    UpperCaseText(data_dir);
    fits &= CopyText(out, capacity, "Installation Complete!\r\n\r\n");
    fits &= AppendText(out, capacity, "Data files have also been installed in your ");
    fits &= AppendText(out, capacity, data_dir);
    fits &= AppendText(out, capacity, " directory.");
    return fits;
}

char* FormatThousands(int32_t value, char* out) {
    // Digits of the magnitude, least significant first; the sign is kept
    // apart so that it never lands inside a group.
    char digits[32];
    int count = 0;
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);

    size_t n = 0;
    if (value < 0)
        out[n++] = '-';
    n += WriteGroupedDigits(digits, static_cast<size_t>(count), out + n);
    out[n] = '\0';
    return out;
}
