// The installer's texts: the caption, the confirmation and completion
// messages, the progress box's label, and the thousands-grouped numbers in
// them. Built in fixed buffers and cut where they are full; each builder
// returns 1 when the whole text fitted. Nothing here touches the system, so
// the package tool and the web page show exactly the texts the installer
// would show.
#ifndef GLIM_SHELL_TEXTS_H
#define GLIM_SHELL_TEXTS_H

#include <stddef.h>
#include <stdint.h>

// Capacities of the shell's texts, terminator included.
#define SHELL_MESSAGE_CAPACITY 512
#define SHELL_CAPTION_CAPACITY 256
#define SHELL_NUMBER_CAPACITY 36
// FormatThousands needs this much room for any 32-bit value ("-2,147,483,648").
#define SHELL_THOUSANDS_MIN_CAPACITY 15

// Removes trailing blanks (0x20 only); a title of blanks becomes empty.
void TrimSaverTitle(char* title);
// title + " Screen Saver Installation"
int BuildCaption(const char* title, char* out, size_t capacity);
// title + " Screen Saver": the progress box's label.
int BuildSaverLabel(const char* title, char* out, size_t capacity);
// "This program will install STARS.SCR (Stars Screen Saver) to C:\WINDOWS and
// will make it your default Screen Saver.  This installation will take
// 1,234,567 bytes." The Windows directory is shown upper-cased.
int BuildConfirmationText(const char* scr_file_name, const char* title, const char* windows_dir,
                          uint32_t installed_total, char* out, size_t capacity);
// "Installation Complete!\r\n\r\nData files have also been installed in your
// C:\WINDOWS\QUILLFEN\GLIMLOOM\STARS directory." (the path upper-cased)
int BuildCompletionText(const char* windows_dir, const char* module_path, char* out,
                        size_t capacity);
// Decimal text of `value` with "," between groups of three digits, written to
// `out` (at least SHELL_THOUSANDS_MIN_CAPACITY bytes); returns `out`.
char* FormatThousands(int32_t value, char* out);

#endif
