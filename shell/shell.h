// The installer's shell: the installation sequence run inside the main
// window's creation, the checks before anything is written, the two dialogs
// and the extraction they drive.
#ifndef GLIM_SHELL_SHELL_H
#define GLIM_SHELL_SHELL_H

#include <stddef.h>
#include <stdint.h>

#include "payload/payload.h"
#include "platform/platform.h"

// Capacities of the shell's texts, terminator included.
#define SHELL_MESSAGE_CAPACITY 512
#define SHELL_CAPTION_CAPACITY 256
#define SHELL_NUMBER_CAPACITY 36
// FormatThousands needs this much room for any 32-bit value ("-2,147,483,648").
#define SHELL_THOUSANDS_MIN_CAPACITY 15

// --- Process-wide values ----------------------------------------------------

// The installer's module handle; stored by InstallerMain before the main
// window is created.
extern HINSTANCE g_instance;
// The saver title from the payload header, trailing blanks removed by the
// sequence. The extra byte stays zero so that a full 32-character title is
// still terminated.
extern char g_saver_title[PAYLOAD_TITLE_SIZE + 1];
// The file name (no directory) of the screen saver being installed, e.g.
// "STARS.SCR"; set by the sequence before the progress dialog runs.
extern char g_scr_file_name[GLIM_PATH_CAPACITY];
// Bytes the payload installs; CheckDiskSpace adds to it once per run.
extern uint32_t g_installed_total;

// --- Bounded text helpers ---------------------------------------------------

// Appends `text` to the terminated string in `buffer` (of `capacity` bytes),
// cutting it where the buffer is full. Returns 1 when all of it fitted.
int AppendText(char* buffer, size_t capacity, const char* text);
// Replaces the buffer's contents by `text`, cut to fit. Returns 1 when it fitted.
int CopyText(char* buffer, size_t capacity, const char* text);
// Upper-cases ASCII letters in place.
void UpperCaseText(char* text);

// GetWindowsDirectoryA into `buffer`; 1 when the buffer now holds the
// directory, 0 (and an empty buffer) when the query failed or the answer did
// not fit.
int QueryWindowsDirectory(char* buffer, UINT capacity);

// --- Pre-installation checks (each returns 1 to go on, 0 to stop) -----------

int CheckExistingSaver(HINSTANCE instance);
int CheckDiskSpace(HINSTANCE instance);
// Free kilobytes on the drive holding `path`, or 0xFFFFFFFF when unknown.
uint32_t GetFreeKilobytes(const char* path);
// Decimal text of `value` with "," between groups of three digits, written to
// `out` (at least SHELL_THOUSANDS_MIN_CAPACITY bytes); returns `out`.
char* FormatThousands(int32_t value, char* out);

// --- Installation sequence --------------------------------------------------

// The whole installation, run on the main window's WM_CREATE; always answers
// -1 so that the window is never created.
LRESULT RunInstallationSequence(HWND window);

// The sequence's texts, built into fixed buffers and cut where they are full.
// Each returns 1 when the whole text fitted.
// Removes trailing blanks (0x20 only); a title of blanks becomes empty.
void TrimSaverTitle(char* title);
// title + " Screen Saver Installation"
int BuildCaption(const char* title, char* out, size_t capacity);
// "This program will install STARS.SCR (Stars Screen Saver) to C:\WINDOWS and
// will make it your default Screen Saver.  This installation will take
// 1,234,567 bytes." The Windows directory is shown upper-cased.
int BuildConfirmationText(const char* scr_file_name, const char* title, const char* windows_dir,
                          uint32_t installed_total, char* out, size_t capacity);
// "Installation Complete!\r\n\r\nData files have also been installed in your
// C:\WINDOWS\QUILLFEN\GLIMLOOM\STARS directory." (the path upper-cased)
int BuildCompletionText(const char* windows_dir, const char* module_path, char* out,
                        size_t capacity);

// --- Dialogs ----------------------------------------------------------------

// The progress box (template 103): starts itself, extracts, activates, closes.
INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// The vendor box (template 104): centred, closes on OK, Enter, Esc or the close box.
INT_PTR CALLBACK VendorDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// Makes the installed screen saver the system's: the "boot" section of
// system.ini gets SCRNSAVE.EXE = the short path of the installed file, and
// the screen saver is switched on.
void ActivateScreenSaver(void);

// --- Extraction -------------------------------------------------------------

// Writes every payload record to its destination: the .SCR into the Windows
// directory, the data files into the data directory (created on the way).
// `dialog` is the progress box; the instance handle is taken from it.
void ExtractPayload(HWND dialog);

#endif
