// Interruption clean-up on POSIX systems. The handler runs on the program's
// own thread only (hostos::Thread blocks the signals in the threads it
// makes), and may run at any of its instructions. It calls only
// async-signal-safe functions (unlink, rmdir, sigaction, raise, kill) and
// lock-free atomics.
//
// Other threads register and forget scratch paths and hold interruptions
// back too. The list is changed under a spin lock that every changer takes
// with the signals blocked on its own thread; the handler takes it as well,
// so it never reads a list being changed or freed. That cannot deadlock: the
// handler's thread never holds the lock when the handler starts (its signals
// are blocked while it does), and any other holder goes on running.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "hostos/cleanup.h"

namespace hostos {
namespace {

struct Node {
    char* path;
    bool directory;
    int handle;
    std::atomic<bool> active;
    Node* next; // older
};

std::atomic<Node*> g_head{nullptr};
int g_next_handle = 1;
int g_inactive = 0;
int g_active = 0;
bool g_installed = false;
std::atomic_flag g_lock = ATOMIC_FLAG_INIT; // the list and the counts above
// HoldInterrupts alive, in all threads, and on this one.
std::atomic<int> g_holds{0};
thread_local int t_holds = 0;
// An interruption that came while held: its signal number, or 0.
std::atomic<int> g_pending{0};

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

char g_note[256];
size_t g_note_size = 0;
bool g_note_to_output = false; // standard output is a file of its own

void WriteNote() {
    if (g_note_size == 0)
        return;
    // The handler's only output, written as it is: nothing to do if it fails.
    if (write(STDERR_FILENO, g_note, g_note_size) < 0)
        return;
    if (g_note_to_output && write(STDOUT_FILENO, g_note, g_note_size) < 0)
        return;
}

void RemoveAll() {
    for (Node* n = g_head.load(); n != nullptr; n = n->next) {
        if (!n->active.load())
            continue;
        if (n->directory)
            rmdir(n->path);
        else
            unlink(n->path);
    }
}

void TakeLock() {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
}

void GiveLock() {
    g_lock.clear(std::memory_order_release);
}

void OnInterrupt(int sig) {
    if (g_holds.load() > 0) {
        // Another thread is publishing a result: the last hold to end acts
        // on it. Looked at again after saying so, in case that hold ended
        // in between (then whoever takes the signal back acts on it).
        g_pending.store(sig);
        if (g_holds.load() > 0 || g_pending.exchange(0) == 0)
            return;
    }
    TakeLock(); // never given back: nothing is registered any more
    RemoveAll();
    WriteNote();
    // End as the signal would have: its default action, so that the parent
    // sees the process killed by it.
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

void FreeList(Node* n) {
    while (n) {
        Node* next = n->next;
        delete[] n->path;
        delete n;
        n = next;
    }
}

// Drops the forgotten nodes once they outnumber the live ones: a new list of
// copies is published first, so the handler always sees a whole list.
void Compact() {
    Node* fresh = nullptr;
    Node** tail = &fresh;
    for (Node* n = g_head.load(); n != nullptr; n = n->next) {
        if (!n->active.load())
            continue;
        Node* copy = new Node{nullptr, n->directory, n->handle, {true}, nullptr};
        size_t size = std::strlen(n->path) + 1;
        copy->path = new char[size];
        std::memcpy(copy->path, n->path, size);
        *tail = copy;
        tail = &copy->next;
    }
    Node* old = g_head.exchange(fresh);
    FreeList(old);
    g_inactive = 0;
}

sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals)
        sigaddset(&set, sig);
    return set;
}

} // namespace

void InstallInterruptCleanup() {
    if (g_installed)
        return;
    g_installed = true;
    for (int sig : kSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue; // started with it ignored (nohup): leave it so
        struct sigaction act;
        std::memset(&act, 0, sizeof act);
        act.sa_handler = OnInterrupt;
        act.sa_mask = Signals();
        sigaction(sig, &act, nullptr);
    }
}

void SetInterruptNote(const std::string& line) {
    sigset_t set = Signals(), old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    g_note_size = line.size() < sizeof g_note ? line.size() : sizeof g_note - 1;
    std::memcpy(g_note, line.data(), g_note_size);
    struct stat out, err;
    g_note_to_output =
        fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) &&
        !(fstat(STDERR_FILENO, &err) == 0 && err.st_dev == out.st_dev && err.st_ino == out.st_ino);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

int RegisterScratch(const std::string& path, bool directory) {
    sigset_t set = Signals(), old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    TakeLock();
    if (g_inactive > 16 && g_inactive > 2 * g_active)
        Compact();
    Node* n = new Node{nullptr, directory, g_next_handle++, {true}, g_head.load()};
    n->path = new char[path.size() + 1];
    std::memcpy(n->path, path.c_str(), path.size() + 1);
    g_head.store(n);
    ++g_active;
    int handle = n->handle;
    GiveLock();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return handle;
}

void ForgetScratch(int handle) {
    sigset_t set = Signals(), old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    TakeLock();
    for (Node* n = g_head.load(); n != nullptr; n = n->next) {
        if (n->handle == handle && n->active.load()) {
            n->active.store(false);
            --g_active;
            ++g_inactive;
            break;
        }
    }
    GiveLock();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The handler runs on the program's own thread and the program's ending
// cannot run beside it: nothing to hold.
void HoldInterruptsToTheEnd() {}

// Holds nest (a scratch file made while a result is published): only a
// thread's outermost one lets its signals through again, and only the last
// one of all acts on an interruption that came meanwhile to another thread.
HoldInterrupts::HoldInterrupts() {
    if (t_holds++ == 0) {
        sigset_t set = Signals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    ++g_holds;
}

HoldInterrupts::~HoldInterrupts() {
    if (--g_holds == 0) {
        int sig = g_pending.exchange(0);
        if (sig != 0)
            kill(getpid(), sig); // reaches the program's own thread
    }
    if (--t_holds > 0)
        return;
    sigset_t set = Signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

} // namespace hostos
