// The test fakes of the Windows calls that only the installer's user
// interface makes (message boxes, dialogs, cursors, the screen-saver system
// parameter, starting a program, the system library, free space, local
// memory), the failures a test can inject into the host back end, and how a
// test drives them and reads back what the installer did. Linked only into
// tests and fuzz targets; the package tool never makes these calls.
//
// Dialogs run from the templates the installer carries (103, the progress box,
// and 104, the vendor box); each gets the controls that address by id (the
// buttons and the saver label). A modal dialog dispatches the messages posted
// to it; whenever it has none left and has not ended, the test's "user" for
// that template acts (typically by pressing a key). A dialog that waits with
// nobody to act is abandoned: DialogBoxParamA answers -1 and its record says
// so, instead of the test hanging.
//
// The state is process-wide like the host back end's; Reset() returns the
// fakes and the host world to a clean state, ResetWindows() the window
// system alone.
#ifndef GLIM_TESTKIT_FAKES_FAKE_CONTROL_H
#define GLIM_TESTKIT_FAKES_FAKE_CONTROL_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host_world.h"
#include "platform/platform.h"

namespace fake {

// host::Reset(), no injected failures, default answers, a clean window system.
void Reset();

// --- Failures of the calls the installer tolerates failing ----------------------

void FailGetModuleFileName(bool fail);
void FailGetWindowsDirectory(bool fail);
// After `opens` more openings of the installer's own file through _lopen,
// further ones fail (as when the file went away); -1 lifts the limit.
void FailModuleOpensAfter(int opens);

// Free space as GetDiskFreeSpaceExA / GetDiskFreeSpaceA report it. Without an
// override the answer comes from the file system of the mounted folder.
void SetFreeBytes(std::optional<uint64_t> bytes);
void FailDiskFreeSpace(bool fail);   // both queries fail
void HideDiskFreeSpaceEx(bool hide); // GetProcAddress finds no GetDiskFreeSpaceExA
void FailLoadLibrary(bool fail);
// LocalAlloc answers no memory.
void FailLocalAlloc(bool fail);
int OpenLibraryCount(); // modules loaded and not yet freed

// --- Message boxes -------------------------------------------------------------------

// Each call is recorded; the answer comes from the handler, or, without one,
// from the queue of scripted answers, or else the box's first button.
struct MessageBoxCall {
    std::string text;
    std::string caption;
    unsigned flags;
    int answer;
};
using MessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
void QueueMessageBoxAnswer(int answer);
const std::vector<MessageBoxCall>& MessageBoxCalls();

// --- What the activation and the program start did --------------------------------

bool ScreenSaverActive();
const std::vector<std::string>& StartedPrograms(); // WinExec command lines

// --- The window system -----------------------------------------------------------------

void ResetWindows();

// What GetSystemMetrics reports for SM_CXSCREEN / SM_CYSCREEN (default 800 x 600).
void SetScreenSize(int width, int height);

// Size in pixels a dialog of that template has when it is created at (0, 0),
// before its procedure moves it. Defaults: 103 287 x 128, 104 313 x 257.
void SetDialogSize(int template_id, int width, int height);

// The user of a dialog: called each time the dialog waits for input.
using DialogUser = std::function<void(HWND dialog)>;
void SetDialogUser(int template_id, DialogUser user);

// What the user can do. Each posts what Windows would post to the dialog.
void PressOk(HWND dialog);       // OK button or Enter: WM_COMMAND IDOK from the button
void PressEscape(HWND dialog);   // Esc: WM_COMMAND IDCANCEL
void PressCloseBox(HWND dialog); // WM_CLOSE; unhandled, it becomes WM_COMMAND IDCANCEL

struct DispatchedMessage {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    INT_PTR answer;
};

// One run of DialogBoxParamA, as it ended.
struct DialogRun {
    int template_id = 0;
    HINSTANCE instance = nullptr;
    HWND owner = nullptr;
    LPARAM init_param = 0;
    HWND handle = nullptr;
    std::string window_text;
    std::map<int, std::string> item_texts; // control id -> text
    RECT initial_rect{};
    RECT rect{};                             // at the end of the run
    int moves = 0;                           // MoveWindow calls
    std::vector<DispatchedMessage> messages; // WM_INITDIALOG first
    bool ended = false;                      // EndDialog was called
    bool abandoned = false;                  // it waited with nobody to act
    INT_PTR result = 0;                      // what DialogBoxParamA answered
};
const std::vector<DialogRun>& DialogRuns();

// Resource ids of the cursors passed to SetCursor, in order (0 for none).
const std::vector<int>& CursorsSet();

// One log of what happened, in order, for tests of the sequence: the fake
// writes "dialog 103 begin", "dialog 103 end" and "cursor 32514"; a test may
// add its own entries (for instance from a message-box handler).
void LogEvent(const std::string& event);
const std::vector<std::string>& Events();

} // namespace fake

#endif
