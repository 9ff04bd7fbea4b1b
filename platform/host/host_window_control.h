// Host back end: how a test drives the fake window system behind
// win32_window_api.h and reads back what the shell did with it.
//
// Dialogs run from the templates the installer carries (103, the progress box,
// and 104, the vendor box); each gets the controls that address by id (the
// buttons and the saver label). A modal dialog dispatches the messages posted
// to it; whenever it has none left and has not ended, the test's "user" for
// that template acts (typically by pressing a key). A dialog that waits with
// nobody to act is abandoned: DialogBoxParamA answers -1 and its record says
// so, instead of the test hanging.
//
// The state is process-wide like the rest of the host back end; ResetWindows()
// returns to a clean one (host::Reset() leaves it alone).
#ifndef GLIM_PLATFORM_HOST_HOST_WINDOW_CONTROL_H
#define GLIM_PLATFORM_HOST_HOST_WINDOW_CONTROL_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

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

} // namespace host

#endif
