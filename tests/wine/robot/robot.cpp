// Test robot for the end-to-end tests: runs beside the program under test in
// the same Wine prefix, waits for its windows, writes down what each one shows
// and presses what the test script names.
//
//   robot.exe SCRIPT LOG
//
// SCRIPT holds one step per line ('#' starts a comment):
//
//   window [caption="TEXT"] [class=NAME] [child=ID] [has-text="TEXT"] [timeout=SECONDS]
//          [poll=MS]
//       Wait for a visible top-level window that matches every given criterion
//       (has-text: some child's text contains TEXT) and has not been handled
//       yet, and log it with all its child controls. Later steps act on it.
//       The windows are looked at every MS milliseconds (1 by default; a
//       benchmark waiting out a long extraction asks for less often, so that
//       the robot does not take the CPU from the program it measures).
//   shot NAME [delay=MS]      Ask the harness for a screenshot (see below).
//   press ID [nowait]         Click the button ID: WM_COMMAND (BN_CLICKED, ID).
//   command WPARAM [nowait]   Post WM_COMMAND with exactly this wParam.
//   key esc|enter [nowait]    Post the key to the focused control (see below).
//   close [nowait]            The close box: WM_SYSCOMMAND SC_CLOSE.
//   expect-open [ms=MS]       The current window must still exist after MS.
//   expect-none [timeout=SECONDS]
//       No further visible top-level window may appear within the time.
//   watch class=NAME          From now on, poll for top-level windows of this
//                             class and report at the end whether any existed
//                             and whether any was ever visible.
//   watch all                 From now on, log every top-level window when it
//                             is first seen visible ({"event":"seen",...}) and
//                             when it is hidden or destroyed ({"event":"gone"}).
//   memory                    Log the memory counters of the current window's
//                             process ({"event":"memory",...}, in bytes).
//   sleep MS
//   answer [caption=...] [class=...] [child=...] [has-text=...] ACTION
//       A standing answer for "serve": a window matching the criteria (as for
//       "window") is answered with ACTION, one of "press ID", "key esc",
//       "key enter", "close" or "none" (the window goes away by itself, like
//       the installer's progress box). The first answer that matches wins.
//   serve until=NAME [timeout=SECONDS]
//       For a program whose windows are not known in advance: answers every
//       new visible top-level window by the answers given so far, and follows
//       every process started after the robot (Wine's own background
//       processes aside). Ends once the harness has created NAME.done beside
//       the log (it does so when the program it started has ended) and every
//       process followed has ended. Each window is logged when it is
//       answered, with step "answer N" (N counting the answers from 1). A
//       window that no answer matches is logged with step "unanswered" and
//       closed with the close box, and the step fails at its end; one that
//       closed before it could be matched is logged with step "vanished".
//       Each process is logged once its name is known
//       ({"event":"process","pid","parent","name"}) and when it has ended
//       ({"event":"exit","pid","name","code"}).
//
// press, command, key and close wait until the current window has gone unless
// "nowait" is given; a window that stays fails the step.
//
// LOG receives one JSON object per line. Windows found, the actions press,
// command, key and close ({"event":"act",...}) and memory reports carry "ms",
// the performance counter in milliseconds with three decimals, for timing
// what happens between them; Wine counts it from Linux's CLOCK_MONOTONIC_RAW,
// so a harness can also set it against its own clock. Screenshots are taken
// by the harness: the robot writes {"event":"shot","name":NAME} and waits
// until the harness creates the file NAME.done beside the log.
//
// Keys are posted as WM_KEYDOWN/WM_KEYUP to the control that has the focus in
// the target's thread (GetGUIThreadInfo). The target's own modal loop then
// passes them through IsDialogMessage, exactly as for a key typed by the user:
// Esc becomes IDCANCEL, Enter the default button. Posting IDCANCEL ourselves
// would skip the very path the test is meant to prove. SendInput is not used
// because without a window manager the X focus is not reliably on the target.
//
// Window texts are read with GetWindowTextA, which for another process's
// window never sends a message: a target that is busy in a long handler (the
// progress dialog extracting files) is still read at once.
//
// Exit code: 0 when every step passed, 1 on the first failing step (logged as
// {"event":"error",...}), 2 for a usage or script error.
#include <windows.h>
// The process list for "serve".
#include <tlhelp32.h>
// GetProcessMemoryInfo as K32GetProcessMemoryInfo from kernel32: no psapi
// import library needed.
#define PSAPI_VERSION 2
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

FILE* g_log = nullptr;
std::string g_log_dir; // with a trailing backslash

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                // Bytes of the ANSI code page are passed on as Latin-1 code
                // points; the tests only compare ASCII texts.
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

// The watcher threads log too.
CRITICAL_SECTION g_log_lock;

void LogLine(const std::string& json) {
    EnterCriticalSection(&g_log_lock);
    std::fprintf(g_log, "%s\n", json.c_str());
    std::fflush(g_log);
    LeaveCriticalSection(&g_log_lock);
}

void LogError(int line, const std::string& message) {
    LogLine("{\"event\":\"error\",\"line\":" + std::to_string(line) +
            ",\"message\":" + JsonString(message) + "}");
    std::fprintf(stderr, "robot: line %d: %s\n", line, message.c_str());
}

// The performance counter in milliseconds, with three decimals.
std::string MsJson() {
    static LARGE_INTEGER freq = {};
    if (freq.QuadPart == 0)
        QueryPerformanceFrequency(&freq);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.3f",
                  static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart));
    return buf;
}

std::string Text(HWND w) {
    char buf[1024] = {0};
    GetWindowTextA(w, buf, sizeof buf);
    return buf;
}

std::string ClassOf(HWND w) {
    char buf[256] = {0};
    GetClassNameA(w, buf, sizeof buf);
    return buf;
}

std::string RectJson(const RECT& r) {
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right) + "," + std::to_string(r.bottom) + "]";
}

std::string HandleJson(HWND w) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\"%08lx\"",
                  static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(w)));
    return buf;
}

// ---- window enumeration ------------------------------------------------------

BOOL CALLBACK CollectWindow(HWND w, LPARAM p) {
    reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
    return TRUE;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> list;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&list));
    return list;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> list;
    EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&list));
    return list;
}

bool Contains(const std::vector<HWND>& list, HWND w) {
    for (HWND x : list) {
        if (x == w)
            return true;
    }
    return false;
}

std::string DescribeWindow(HWND w, const std::string& step) {
    RECT wr = {0, 0, 0, 0};
    RECT cr = {0, 0, 0, 0};
    GetWindowRect(w, &wr);
    GetClientRect(w, &cr);
    POINT origin = {0, 0};
    ClientToScreen(w, &origin);
    RECT client_screen = {origin.x, origin.y, origin.x + cr.right, origin.y + cr.bottom};
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    char styles[64];
    std::snprintf(styles, sizeof styles, "\"style\":\"%08lx\",\"exstyle\":\"%08lx\"",
                  static_cast<unsigned long>(GetWindowLongA(w, GWL_STYLE)),
                  static_cast<unsigned long>(GetWindowLongA(w, GWL_EXSTYLE)));
    std::string json = "{\"event\":\"window\",\"tick\":" + std::to_string(GetTickCount()) +
                       ",\"ms\":" + MsJson() + ",\"step\":" + JsonString(step) +
                       ",\"hwnd\":" + HandleJson(w) + ",\"pid\":" + std::to_string(pid) +
                       ",\"caption\":" + JsonString(Text(w)) +
                       ",\"class\":" + JsonString(ClassOf(w)) + ",\"rect\":" + RectJson(wr) +
                       ",\"client\":" + RectJson(client_screen) +
                       ",\"visible\":" + (IsWindowVisible(w) ? "true" : "false") + "," + styles +
                       ",\"screen\":[" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "," +
                       std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "],\"controls\":[";
    bool first = true;
    for (HWND c : Children(w)) {
        RECT r = {0, 0, 0, 0};
        GetWindowRect(c, &r);
        char cstyle[32];
        std::snprintf(cstyle, sizeof cstyle, "\"style\":\"%08lx\"",
                      static_cast<unsigned long>(GetWindowLongA(c, GWL_STYLE)));
        if (!first)
            json += ",";
        first = false;
        json += "{\"id\":" + std::to_string(GetDlgCtrlID(c)) +
                ",\"class\":" + JsonString(ClassOf(c)) + ",\"text\":" + JsonString(Text(c)) +
                ",\"visible\":" + (IsWindowVisible(c) ? "true" : "false") +
                ",\"rect\":" + RectJson(r) + "," + cstyle + "}";
    }
    json += "]}";
    return json;
}

// ---- watchers: a window class that must never be shown, or every window ----

struct Watch {
    std::string cls; // empty: log every top-level window the first time it is visible
    std::vector<HWND> logged;
    std::vector<HWND> showing; // logged and still visible at the last poll
    volatile LONG seen = 0;
    volatile LONG ever_visible = 0;
    volatile LONG polls = 0;
    volatile LONG stop = 0;
    HANDLE thread = nullptr;
};

std::vector<Watch*> g_watches;

DWORD WINAPI WatchThread(LPVOID p) {
    Watch* watch = static_cast<Watch*>(p);
    while (!watch->stop) {
        if (watch->cls.empty()) {
            for (size_t i = 0; i < watch->showing.size();) {
                HWND w = watch->showing[i];
                if (IsWindow(w) && IsWindowVisible(w)) {
                    ++i;
                    continue;
                }
                LogLine("{\"event\":\"gone\",\"hwnd\":" + HandleJson(w) +
                        ",\"tick\":" + std::to_string(GetTickCount()) + "}");
                watch->showing.erase(watch->showing.begin() + static_cast<long>(i));
            }
        }
        for (HWND w : TopLevelWindows()) {
            if (watch->cls.empty()) {
                if (IsWindowVisible(w) && !Contains(watch->logged, w)) {
                    watch->logged.push_back(w);
                    watch->showing.push_back(w);
                    RECT r = {0, 0, 0, 0};
                    GetWindowRect(w, &r);
                    LogLine("{\"event\":\"seen\",\"hwnd\":" + HandleJson(w) +
                            ",\"caption\":" + JsonString(Text(w)) +
                            ",\"class\":" + JsonString(ClassOf(w)) + ",\"rect\":" + RectJson(r) +
                            ",\"tick\":" + std::to_string(GetTickCount()) + "}");
                }
                continue;
            }
            if (ClassOf(w) != watch->cls)
                continue;
            InterlockedExchange(&watch->seen, 1);
            if (IsWindowVisible(w))
                InterlockedExchange(&watch->ever_visible, 1);
        }
        InterlockedIncrement(&watch->polls);
        Sleep(5);
    }
    return 0;
}

void ReportWatches() {
    for (Watch* watch : g_watches) {
        InterlockedExchange(&watch->stop, 1);
        WaitForSingleObject(watch->thread, 5000);
        if (watch->cls.empty())
            continue;
        LogLine("{\"event\":\"watch\",\"class\":" + JsonString(watch->cls) +
                ",\"seen\":" + (watch->seen ? "true" : "false") +
                ",\"ever_visible\":" + (watch->ever_visible ? "true" : "false") +
                ",\"polls\":" + std::to_string(watch->polls) + "}");
    }
}

// ---- the script ----------------------------------------------------------------

struct Step {
    int line = 0;
    std::string verb;
    std::vector<std::string> words;                           // bare words after the verb
    std::vector<std::pair<std::string, std::string>> options; // key=value
};

bool HasWord(const Step& s, const char* word) {
    for (const std::string& w : s.words) {
        if (w == word)
            return true;
    }
    return false;
}

bool Option(const Step& s, const char* key, std::string* value) {
    for (const auto& kv : s.options) {
        if (kv.first == key) {
            *value = kv.second;
            return true;
        }
    }
    return false;
}

long NumberOption(const Step& s, const char* key, long fallback) {
    std::string v;
    if (!Option(s, key, &v))
        return fallback;
    return std::strtol(v.c_str(), nullptr, 0);
}

// Splits a line into words; a value may be quoted ("...", with \" and \\).
bool ParseLine(const std::string& text, int line, Step* step, std::string* error) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r'))
            ++i;
        if (i >= text.size() || text[i] == '#')
            break;
        std::string token;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') {
            if (text[i] == '"') {
                ++i;
                while (i < text.size() && text[i] != '"') {
                    if (text[i] == '\\' && i + 1 < text.size())
                        ++i;
                    token += text[i++];
                }
                if (i >= text.size()) {
                    *error = "unterminated quote";
                    return false;
                }
                ++i;
            } else {
                token += text[i++];
            }
        }
        tokens.push_back(token);
    }
    step->line = line;
    if (tokens.empty())
        return true;
    step->verb = tokens[0];
    for (size_t t = 1; t < tokens.size(); ++t) {
        size_t eq = tokens[t].find('=');
        if (eq == std::string::npos)
            step->words.push_back(tokens[t]);
        else
            step->options.emplace_back(tokens[t].substr(0, eq), tokens[t].substr(eq + 1));
    }
    return true;
}

bool ReadScript(const char* path, std::vector<Step>* steps) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "robot: cannot open script %s\n", path);
        return false;
    }
    char buf[2048];
    int line = 0;
    bool ok = true;
    while (std::fgets(buf, sizeof buf, f)) {
        ++line;
        std::string text(buf);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        Step step;
        std::string error;
        if (!ParseLine(text, line, &step, &error)) {
            std::fprintf(stderr, "robot: %s line %d: %s\n", path, line, error.c_str());
            ok = false;
            break;
        }
        if (!step.verb.empty())
            steps->push_back(step);
    }
    std::fclose(f);
    return ok;
}

struct State {
    HWND current = nullptr;
    std::vector<HWND> handled;             // windows already matched by a "window" step
    std::vector<HWND> baseline;            // visible windows that were there before the script ran
    std::vector<Step> answers;             // the "answer" steps so far, in order
    std::vector<DWORD> baseline_processes; // processes that ran before the script
};

bool Matches(HWND w, const Step& s) {
    if (!IsWindowVisible(w))
        return false;
    std::string v;
    if (Option(s, "caption", &v) && Text(w) != v)
        return false;
    if (Option(s, "class", &v) && ClassOf(w) != v)
        return false;
    if (Option(s, "child", &v) && !GetDlgItem(w, std::strtol(v.c_str(), nullptr, 0)))
        return false;
    if (Option(s, "has-text", &v)) {
        bool found = false;
        for (HWND c : Children(w)) {
            if (Text(c).find(v) != std::string::npos) {
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

// A window counts as gone once it is destroyed or hidden.
bool WaitGone(HWND w, DWORD ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (!IsWindow(w) || !IsWindowVisible(w))
            return true;
        Sleep(10);
    }
    return false;
}

std::string Tail(const Step& s) {
    std::string t = s.verb;
    for (const std::string& w : s.words)
        t += " " + w;
    for (const auto& kv : s.options)
        t += " " + kv.first + "=" + kv.second;
    return t;
}

// Posts the key to the control that has the focus in w's thread (w itself
// when there is none) and returns that control.
HWND PostKey(HWND w, const std::string& name) {
    WPARAM vk = name == "esc" ? VK_ESCAPE : VK_RETURN;
    UINT scan = name == "esc" ? 0x01 : 0x1c;
    GUITHREADINFO info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    HWND target = w;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info) && info.hwndFocus)
        target = info.hwndFocus;
    // Repeat count 1 and the scan code; the key-up adds "was down" and
    // "being released" (bits 30 and 31).
    DWORD down_bits = 1u | (scan << 16);
    PostMessageA(target, WM_KEYDOWN, vk, static_cast<LPARAM>(down_bits));
    PostMessageA(target, WM_KEYUP, vk, static_cast<LPARAM>(down_bits | 0xC0000000u));
    return target;
}

bool Act(State& st, const Step& s, std::string* error) {
    if (!st.current) {
        *error = "no current window: a 'window' step must come first";
        return false;
    }
    if (!IsWindow(st.current)) {
        *error = "the current window no longer exists";
        return false;
    }
    HWND w = st.current;
    if (s.verb == "press") {
        if (s.words.empty()) {
            *error = "press needs a control id";
            return false;
        }
        int id = static_cast<int>(std::strtol(s.words[0].c_str(), nullptr, 0));
        HWND button = GetDlgItem(w, id);
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    } else if (s.verb == "command") {
        if (s.words.empty()) {
            *error = "command needs a wParam";
            return false;
        }
        WPARAM wp = static_cast<WPARAM>(std::strtoul(s.words[0].c_str(), nullptr, 0));
        PostMessageA(w, WM_COMMAND, wp, 0);
    } else if (s.verb == "key") {
        std::string name = s.words.empty() ? "" : s.words[0];
        if (name != "esc" && name != "enter") {
            *error = "key must be esc or enter";
            return false;
        }
        HWND target = PostKey(w, name);
        LogLine("{\"event\":\"key\",\"key\":" + JsonString(name) + ",\"target\":" +
                HandleJson(target) + ",\"target_class\":" + JsonString(ClassOf(target)) +
                ",\"target_id\":" + std::to_string(GetDlgCtrlID(target)) + "}");
    } else if (s.verb == "close") {
        PostMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    LogLine("{\"event\":\"act\",\"step\":" + JsonString(Tail(s)) + ",\"ms\":" + MsJson() + "}");
    if (HasWord(s, "nowait"))
        return true;
    if (!WaitGone(w, static_cast<DWORD>(NumberOption(s, "timeout", 15) * 1000))) {
        *error = "window " + JsonString(Text(w)) + " still open after '" + Tail(s) + "'";
        return false;
    }
    return true;
}

// ---- serve: answering whatever windows come, following every new process ----

// Wine starts these on its own as a prefix is used; they belong to no test.
bool IsWineBackgroundProcess(const std::string& exe) {
    static const char* const kNames[] = {"services.exe", "winedevice.exe", "plugplay.exe",
                                         "svchost.exe",  "rpcss.exe",      "explorer.exe",
                                         "conhost.exe",  "tabtip.exe",     "winemenubuilder.exe"};
    for (const char* name : kNames) {
        if (lstrcmpiA(exe.c_str(), name) == 0)
            return true;
    }
    return false;
}

struct ProcessInfo {
    DWORD pid;
    DWORD parent;
    std::string name;
};

std::vector<ProcessInfo> Processes() {
    std::vector<ProcessInfo> list;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return list;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snap, &entry); more; more = Process32Next(snap, &entry))
        list.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    CloseHandle(snap);
    return list;
}

// A process being followed: its handle is opened when it is first seen, so
// that its exit code can still be read after it has ended.
struct Followed {
    ProcessInfo info;
    HANDLE handle;
    bool ended;
};

void LogProcess(const Followed& f) {
    LogLine("{\"event\":\"process\",\"pid\":" + std::to_string(f.info.pid) +
            ",\"parent\":" + std::to_string(f.info.parent) +
            ",\"name\":" + JsonString(f.info.name) + ",\"ms\":" + MsJson() + "}");
}

bool ParseAnswer(const Step& s, std::string* error) {
    if (s.words.empty()) {
        *error = "answer needs an action (press ID, key esc|enter, close or none)";
        return false;
    }
    const std::string& a = s.words[0];
    if (a == "press" && s.words.size() == 2)
        return true;
    if (a == "key" && s.words.size() == 2 && (s.words[1] == "esc" || s.words[1] == "enter"))
        return true;
    if ((a == "close" || a == "none") && s.words.size() == 1)
        return true;
    *error = "unknown answer action in '" + Tail(s) + "'";
    return false;
}

enum class Answered { kAnswered, kUnanswered, kVanished };

// Answers one window by the first matching answer, or closes it.
Answered AnswerWindow(const State& st, HWND w) {
    for (size_t i = 0; i < st.answers.size(); ++i) {
        const Step& a = st.answers[i];
        if (!Matches(w, a))
            continue;
        LogLine(DescribeWindow(w, "answer " + std::to_string(i + 1)));
        const std::string& action = a.words[0];
        if (action == "press") {
            int id = static_cast<int>(std::strtol(a.words[1].c_str(), nullptr, 0));
            PostMessageA(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(w, id)));
        } else if (action == "key") {
            PostKey(w, a.words[1]);
        } else if (action == "close") {
            PostMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        LogLine("{\"event\":\"act\",\"step\":" + JsonString(Tail(a)) + ",\"ms\":" + MsJson() + "}");
        return Answered::kAnswered;
    }
    // A window that closed while it was being looked at (the progress box of
    // a run that has nothing to write is up for milliseconds) is no fault.
    if (!IsWindow(w) || !IsWindowVisible(w)) {
        LogLine(DescribeWindow(w, "vanished"));
        return Answered::kVanished;
    }
    LogLine(DescribeWindow(w, "unanswered"));
    PostMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    return Answered::kUnanswered;
}

bool Serve(State& st, const Step& s, std::string* error) {
    std::string until;
    if (!Option(s, "until", &until)) {
        *error = "serve needs until=NAME";
        return false;
    }
    const std::string done = g_log_dir + until + ".done";
    const DWORD ms = static_cast<DWORD>(NumberOption(s, "timeout", 60) * 1000);
    const DWORD start = GetTickCount();
    std::vector<Followed> followed;
    int unanswered = 0;
    DWORD last_scan = 0;
    bool first_scan = true;
    for (;;) {
        for (HWND w : TopLevelWindows()) {
            if (!IsWindowVisible(w) || Contains(st.handled, w) || Contains(st.baseline, w))
                continue;
            st.handled.push_back(w);
            if (AnswerWindow(st, w) == Answered::kUnanswered)
                ++unanswered;
        }
        // The process list costs more than the windows; every 10 ms is often
        // enough, since a process that ends is seen ended at the next look
        // whenever that is.
        const DWORD now = GetTickCount();
        if (first_scan || now - last_scan >= 10) {
            first_scan = false;
            last_scan = now;
            for (const ProcessInfo& p : Processes()) {
                bool known = p.pid == GetCurrentProcessId();
                for (DWORD b : st.baseline_processes)
                    known = known || b == p.pid;
                for (Followed& f : followed) {
                    // A new process is listed before Wine has given it its
                    // image name; it is logged once the name is there.
                    if (f.info.pid == p.pid && f.info.name.empty() && !p.name.empty()) {
                        f.info.name = p.name;
                        LogProcess(f);
                    }
                    known = known || f.info.pid == p.pid;
                }
                if (known)
                    continue;
                HANDLE h =
                    OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, p.pid);
                followed.push_back({p, h, false});
                if (!p.name.empty())
                    LogProcess(followed.back());
            }
            for (Followed& f : followed) {
                if (f.ended || (f.handle && WaitForSingleObject(f.handle, 0) == WAIT_TIMEOUT))
                    continue;
                f.ended = true;
                if (f.info.name.empty())
                    LogProcess(f);
                DWORD code = 0;
                std::string code_json = "null";
                if (f.handle && GetExitCodeProcess(f.handle, &code)) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(code));
                    code_json = buf;
                }
                LogLine("{\"event\":\"exit\",\"pid\":" + std::to_string(f.info.pid) +
                        ",\"name\":" + JsonString(f.info.name) + ",\"code\":" + code_json +
                        ",\"ms\":" + MsJson() + "}");
            }
        }
        // Wine's background processes are followed and logged but do not
        // hold the step open: one started on demand would outlive the run.
        bool running = false;
        for (const Followed& f : followed)
            running = running || (!f.ended && !IsWineBackgroundProcess(f.info.name));
        if (!running && GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        if (GetTickCount() - start >= ms) {
            std::string names;
            for (const Followed& f : followed) {
                if (!f.ended && !IsWineBackgroundProcess(f.info.name))
                    names +=
                        (names.empty() ? "" : ", ") +
                        (f.info.name.empty() ? "pid " + std::to_string(f.info.pid) : f.info.name);
            }
            *error = "still running after " + std::to_string(ms / 1000) + " s: " +
                     (names.empty() ? "nothing, but " + until + ".done never came" : names);
            break;
        }
        Sleep(1);
    }
    for (Followed& f : followed) {
        if (f.handle)
            CloseHandle(f.handle);
    }
    if (!error->empty())
        return false;
    if (unanswered) {
        *error = std::to_string(unanswered) + " window(s) no answer matched";
        return false;
    }
    return true;
}

bool RunStep(State& st, const Step& s, std::string* error) {
    if (s.verb == "window") {
        DWORD ms = static_cast<DWORD>(NumberOption(s, "timeout", 30) * 1000);
        DWORD start = GetTickCount();
        while (GetTickCount() - start < ms) {
            for (HWND w : TopLevelWindows()) {
                if (Contains(st.handled, w) || !Matches(w, s))
                    continue;
                st.current = w;
                st.handled.push_back(w);
                LogLine(DescribeWindow(w, Tail(s)));
                return true;
            }
            // Poll fast by default: the progress dialog may be up for only a
            // moment.
            Sleep(static_cast<DWORD>(NumberOption(s, "poll", 1)));
        }
        *error = "no window for '" + Tail(s) + "' within " + std::to_string(ms / 1000) + " s";
        return false;
    }
    if (s.verb == "shot") {
        if (s.words.empty()) {
            *error = "shot needs a name";
            return false;
        }
        Sleep(static_cast<DWORD>(NumberOption(s, "delay", 300)));
        std::string done = g_log_dir + s.words[0] + ".done";
        LogLine("{\"event\":\"shot\",\"name\":" + JsonString(s.words[0]) + "}");
        DWORD start = GetTickCount();
        while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (GetTickCount() - start > 20000) {
                *error = "the harness did not answer the screenshot request " + s.words[0];
                return false;
            }
            Sleep(20);
        }
        return true;
    }
    if (s.verb == "press" || s.verb == "command" || s.verb == "key" || s.verb == "close")
        return Act(st, s, error);
    if (s.verb == "expect-open") {
        if (!st.current) {
            *error = "no current window";
            return false;
        }
        Sleep(static_cast<DWORD>(NumberOption(s, "ms", 500)));
        if (!IsWindow(st.current) || !IsWindowVisible(st.current)) {
            *error = "the current window closed although it should have stayed open";
            return false;
        }
        return true;
    }
    if (s.verb == "expect-none") {
        DWORD ms = static_cast<DWORD>(NumberOption(s, "timeout", 3) * 1000);
        DWORD start = GetTickCount();
        while (GetTickCount() - start < ms) {
            for (HWND w : TopLevelWindows()) {
                if (!IsWindowVisible(w) || Contains(st.handled, w) || Contains(st.baseline, w))
                    continue;
                LogLine(DescribeWindow(w, "unexpected"));
                *error = "unexpected window " + JsonString(Text(w)) + " of class " + ClassOf(w);
                return false;
            }
            Sleep(20);
        }
        return true;
    }
    if (s.verb == "watch") {
        std::string cls;
        if (!Option(s, "class", &cls) && !HasWord(s, "all")) {
            *error = "watch needs class=NAME or all";
            return false;
        }
        Watch* watch = new Watch;
        watch->cls = cls;
        watch->thread = CreateThread(nullptr, 0, WatchThread, watch, 0, nullptr);
        g_watches.push_back(watch);
        return true;
    }
    if (s.verb == "memory") {
        if (!st.current || !IsWindow(st.current)) {
            *error = "memory needs a current window";
            return false;
        }
        DWORD pid = 0;
        GetWindowThreadProcessId(st.current, &pid);
        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
        PROCESS_MEMORY_COUNTERS pmc;
        std::memset(&pmc, 0, sizeof pmc);
        pmc.cb = sizeof pmc;
        bool ok = process && GetProcessMemoryInfo(process, &pmc, sizeof pmc);
        DWORD failure = ok ? 0 : GetLastError();
        if (process)
            CloseHandle(process);
        if (!ok) {
            *error = "no memory counters for process " + std::to_string(pid) + " (error " +
                     std::to_string(failure) + ")";
            return false;
        }
        LogLine("{\"event\":\"memory\",\"pid\":" + std::to_string(pid) + ",\"ms\":" + MsJson() +
                ",\"peak_working_set\":" + std::to_string(pmc.PeakWorkingSetSize) +
                ",\"working_set\":" + std::to_string(pmc.WorkingSetSize) +
                ",\"peak_pagefile\":" + std::to_string(pmc.PeakPagefileUsage) +
                ",\"pagefile\":" + std::to_string(pmc.PagefileUsage) + "}");
        return true;
    }
    if (s.verb == "answer") {
        if (!ParseAnswer(s, error))
            return false;
        st.answers.push_back(s);
        return true;
    }
    if (s.verb == "serve")
        return Serve(st, s, error);
    if (s.verb == "sleep") {
        Sleep(s.words.empty() ? 100
                              : static_cast<DWORD>(std::strtoul(s.words[0].c_str(), nullptr, 0)));
        return true;
    }
    *error = "unknown step '" + s.verb + "'";
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: robot.exe SCRIPT LOG\n");
        return 2;
    }
    InitializeCriticalSection(&g_log_lock);
    std::vector<Step> steps;
    if (!ReadScript(argv[1], &steps))
        return 2;
    g_log = std::fopen(argv[2], "w");
    if (!g_log) {
        std::fprintf(stderr, "robot: cannot create log %s\n", argv[2]);
        return 2;
    }
    g_log_dir = argv[2];
    size_t slash = g_log_dir.find_last_of("\\/");
    g_log_dir = slash == std::string::npos ? "" : g_log_dir.substr(0, slash + 1);

    State st;
    for (HWND w : TopLevelWindows()) {
        if (IsWindowVisible(w))
            st.baseline.push_back(w);
    }
    // What ran before the script is no part of it; the list lets a harness
    // that reuses one prefix see a process left over from an earlier run.
    std::string processes;
    for (const ProcessInfo& p : Processes()) {
        if (p.pid == GetCurrentProcessId())
            continue;
        st.baseline_processes.push_back(p.pid);
        processes += (processes.empty() ? "" : ",") + JsonString(p.name);
    }
    LogLine("{\"event\":\"start\",\"steps\":" + std::to_string(steps.size()) + ",\"baseline\":" +
            std::to_string(st.baseline.size()) + ",\"processes\":[" + processes + "]}");

    int rc = 0;
    for (const Step& s : steps) {
        std::string error;
        if (!RunStep(st, s, &error)) {
            LogError(s.line, error);
            rc = 1;
            break;
        }
    }
    ReportWatches();
    LogLine(std::string("{\"event\":\"end\",\"ok\":") + (rc == 0 ? "true" : "false") + "}");
    std::fclose(g_log);
    return rc;
}
