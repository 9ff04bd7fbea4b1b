// The installer's shell: the installation sequence run inside the main
// window's creation, the checks before anything is written, and the two
// dialogs. The texts they show are in shell/texts.h; the extraction the
// progress box drives is the payload's (payload/extract.h).
#ifndef GLIM_SHELL_SHELL_H
#define GLIM_SHELL_SHELL_H

#include <stddef.h>
#include <stdint.h>

#include "format/naming.h"
#include "format/package_format.h"
#include "platform/platform.h"
#include "shell/texts.h"

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

// --- Pre-installation checks (each returns 1 to go on, 0 to stop) -----------

int CheckExistingSaver(HINSTANCE instance);
int CheckDiskSpace(HINSTANCE instance);
// Free kilobytes on the drive holding `path`, or 0xFFFFFFFF when unknown.
uint32_t GetFreeKilobytes(const char* path);

// --- Installation sequence --------------------------------------------------

// The whole installation, run on the main window's WM_CREATE; always answers
// -1 so that the window is never created.
LRESULT RunInstallationSequence(HWND window);

// --- Dialogs ----------------------------------------------------------------

// The progress box (template 103): starts itself, extracts, activates, closes.
INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// The vendor box (template 104): centred, closes on OK, Enter, Esc or the close box.
INT_PTR CALLBACK VendorDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// Makes the installed screen saver the system's: the "boot" section of
// system.ini gets SCRNSAVE.EXE = the short path of the installed file, and
// the screen saver is switched on.
void ActivateScreenSaver(void);

#endif
