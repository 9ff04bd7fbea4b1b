// Test fakes: a window system for the shell's dialogs.
//
// Only what the installer's dialog procedures touch is modelled: window
// handles with a text and a rectangle, the controls a procedure addresses by
// id, a message queue per modal dialog, the screen size and the cursor.
#include <deque>
#include <memory>

#include "platform/platform.h"
#include "testkit/fakes/fake_control.h"

namespace fake {
namespace {

struct ControlTemplate {
    int id;
    const char* text;
};

struct DialogTemplate {
    int id;
    const char* title;
    const ControlTemplate* controls;
    int control_count;
};

// The controls of the installer's templates that have an id of their own; the
// static texts with id -1 are never addressed and are not modelled.
const ControlTemplate kProgressControls[] = {{IDOK, "OK"}, {IDCANCEL, "Cancel"}, {1001, ""}};
const ControlTemplate kVendorControls[] = {{IDOK, "OK"}};
const DialogTemplate kTemplates[] = {
    {103, "", kProgressControls, 3},
    {104, "Glimmerloom Ordering Info", kVendorControls, 1},
};

const DialogTemplate* FindTemplate(int id) {
    for (const DialogTemplate& t : kTemplates) {
        if (t.id == id)
            return &t;
    }
    return nullptr;
}

struct Window {
    uintptr_t parent = 0; // 0: top level
    int id = 0;           // control id
    std::string text;
    RECT rect{};
};

struct ActiveDialog {
    DialogRun run;
    std::deque<DispatchedMessage> queue;
};

// A procedure that keeps posting to itself would otherwise never let the test end.
const size_t kMaxDispatched = 10000;
// Likewise for a user that keeps acting without the dialog ever ending.
const int kMaxUserActions = 1000;

struct WindowState {
    int screen_width = 800;
    int screen_height = 600;
    std::map<int, std::pair<int, int>> dialog_sizes = {{103, {287, 128}}, {104, {313, 257}}};
    std::map<int, DialogUser> users;
    std::map<uintptr_t, Window> windows;
    uintptr_t next_handle = 0x10010;
    std::vector<ActiveDialog*> active; // innermost last
    std::vector<DialogRun> runs;
    std::vector<int> cursors;
    std::vector<std::string> events;
    HCURSOR current_cursor = nullptr;
};

WindowState& State() {
    static WindowState state;
    return state;
}

uintptr_t Key(HWND window) {
    return reinterpret_cast<uintptr_t>(window);
}
HWND Handle(uintptr_t key) {
    return reinterpret_cast<HWND>(key);
}

Window* LookUpWindow(HWND window) {
    auto it = State().windows.find(Key(window));
    return it == State().windows.end() ? nullptr : &it->second;
}

ActiveDialog* FindActive(HWND dialog) {
    for (ActiveDialog* a : State().active) {
        if (a->run.handle == dialog)
            return a;
    }
    return nullptr;
}

HWND FindChild(HWND dialog, int id) {
    for (auto& [key, w] : State().windows) {
        if (w.parent == Key(dialog) && w.id == id)
            return Handle(key);
    }
    return nullptr;
}

uintptr_t NewWindow(uintptr_t parent, int id, const std::string& text, RECT rect) {
    WindowState& s = State();
    uintptr_t key = s.next_handle;
    s.next_handle += 4;
    s.windows[key] = Window{parent, id, text, rect};
    return key;
}

void DestroyDialogWindows(uintptr_t dialog) {
    auto& windows = State().windows;
    for (auto it = windows.begin(); it != windows.end();) {
        if (it->first == dialog || it->second.parent == dialog)
            it = windows.erase(it);
        else
            ++it;
    }
}

int CursorId(HCURSOR cursor) {
    uintptr_t v = reinterpret_cast<uintptr_t>(cursor);
    return v == 0 ? 0 : static_cast<int>(v - 0x20000);
}

} // namespace

void ResetWindows() {
    State() = WindowState();
}

void SetScreenSize(int width, int height) {
    State().screen_width = width;
    State().screen_height = height;
}

void SetDialogSize(int template_id, int width, int height) {
    State().dialog_sizes[template_id] = {width, height};
}

void SetDialogUser(int template_id, DialogUser user) {
    State().users[template_id] = std::move(user);
}

void PressOk(HWND dialog) {
    PostMessageA(dialog, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

void PressEscape(HWND dialog) {
    PostMessageA(dialog, WM_COMMAND, IDCANCEL,
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
}

void PressCloseBox(HWND dialog) {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
}

const std::vector<DialogRun>& DialogRuns() {
    return State().runs;
}
const std::vector<int>& CursorsSet() {
    return State().cursors;
}
void LogEvent(const std::string& event) {
    State().events.push_back(event);
}
const std::vector<std::string>& Events() {
    return State().events;
}

} // namespace fake

namespace hostwin {

using fake::DialogRun;
using fake::DispatchedMessage;

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC procedure,
                        LPARAM init_param) {
    auto& s = fake::State();
    if (!IS_INTRESOURCE(name) || procedure == nullptr)
        return -1;
    int template_id = static_cast<int>(reinterpret_cast<uintptr_t>(name));
    const fake::DialogTemplate* tmpl = fake::FindTemplate(template_id);
    if (tmpl == nullptr)
        return -1;

    auto size = s.dialog_sizes[template_id];
    RECT rect{0, 0, size.first, size.second};
    uintptr_t dialog = fake::NewWindow(0, 0, tmpl->title, rect);
    for (int i = 0; i < tmpl->control_count; ++i)
        fake::NewWindow(dialog, tmpl->controls[i].id, tmpl->controls[i].text, RECT{});

    auto active = std::make_unique<fake::ActiveDialog>();
    DialogRun& run = active->run;
    run.template_id = template_id;
    run.instance = instance;
    run.owner = owner;
    run.init_param = init_param;
    run.handle = fake::Handle(dialog);
    run.initial_rect = rect;
    s.active.push_back(active.get());
    fake::LogEvent("dialog " + std::to_string(template_id) + " begin");

    HWND first = fake::FindChild(run.handle, IDOK);
    INT_PTR answer =
        procedure(run.handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init_param);
    run.messages.push_back({WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init_param, answer});

    int user_actions = 0;
    while (!run.ended) {
        if (active->queue.empty()) {
            auto user = s.users.find(template_id);
            if (user != s.users.end() && user->second && user_actions < fake::kMaxUserActions) {
                ++user_actions;
                user->second(run.handle);
            }
            if (active->queue.empty()) {
                run.abandoned = true;
                break;
            }
        }
        if (run.messages.size() >= fake::kMaxDispatched) {
            run.abandoned = true;
            break;
        }
        DispatchedMessage m = active->queue.front();
        active->queue.pop_front();
        m.answer = procedure(run.handle, m.message, m.wparam, m.lparam);
        run.messages.push_back(m);
        // What the default dialog procedure does with a close request.
        if (m.message == WM_CLOSE && m.answer == 0) {
            PostMessageA(run.handle, WM_COMMAND, IDCANCEL,
                         reinterpret_cast<LPARAM>(fake::FindChild(run.handle, IDCANCEL)));
        }
    }
    if (!run.ended)
        run.result = -1;

    if (fake::Window* w = fake::LookUpWindow(run.handle)) {
        run.window_text = w->text;
        run.rect = w->rect;
    }
    for (auto& [key, w] : s.windows) {
        if (w.parent == dialog)
            run.item_texts[w.id] = w.text;
    }
    fake::DestroyDialogWindows(dialog);
    s.active.pop_back();
    fake::LogEvent("dialog " + std::to_string(template_id) + " end");
    s.runs.push_back(run);
    return run.result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    fake::ActiveDialog* a = fake::FindActive(dialog);
    if (a == nullptr)
        return FALSE;
    a->run.ended = true;
    a->run.result = result;
    return TRUE;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (fake::LookUpWindow(window) == nullptr)
        return FALSE;
    // Controls have no procedure here; a message for one is accepted and lost.
    if (fake::ActiveDialog* a = fake::FindActive(window))
        a->queue.push_back({message, wparam, lparam, 0});
    return TRUE;
}

BOOL GetWindowRect(HWND window, LPRECT rect) {
    fake::Window* w = fake::LookUpWindow(window);
    if (w == nullptr || rect == nullptr)
        return FALSE;
    *rect = w->rect;
    return TRUE;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL) {
    fake::Window* w = fake::LookUpWindow(window);
    if (w == nullptr)
        return FALSE;
    w->rect = RECT{x, y, x + width, y + height};
    if (fake::ActiveDialog* a = fake::FindActive(window))
        ++a->run.moves;
    return TRUE;
}

// Nothing is drawn on the host; the call only has to be there.
BOOL UpdateWindow(HWND window) {
    return fake::LookUpWindow(window) != nullptr;
}

int GetSystemMetrics(int index) {
    if (index == SM_CXSCREEN)
        return fake::State().screen_width;
    if (index == SM_CYSCREEN)
        return fake::State().screen_height;
    return 0;
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
    fake::Window* w = fake::LookUpWindow(window);
    if (w == nullptr)
        return FALSE;
    w->text = text ? text : "";
    return TRUE;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    HWND item = fake::FindChild(dialog, id);
    return item ? SetWindowTextA(item, text) : FALSE;
}

HWND GetDlgItem(HWND dialog, int id) {
    return fake::FindChild(dialog, id);
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
    // Only the system's own cursors exist here.
    if (instance != nullptr || !IS_INTRESOURCE(name))
        return nullptr;
    uintptr_t id = reinterpret_cast<uintptr_t>(name);
    if (id < 32512 || id > 32650)
        return nullptr;
    return reinterpret_cast<HCURSOR>(0x20000 + id);
}

HCURSOR SetCursor(HCURSOR cursor) {
    auto& s = fake::State();
    HCURSOR previous = s.current_cursor;
    s.current_cursor = cursor;
    int id = fake::CursorId(cursor);
    s.cursors.push_back(id);
    fake::LogEvent("cursor " + std::to_string(id));
    return previous;
}

} // namespace hostwin
