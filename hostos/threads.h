// Threads for the host side, behind the one interface every system has: the
// POSIX build uses the C++ library's threads; the Windows cross build has no
// std::thread in its thread model, so windows.cpp uses the system's own.
// Only what running independent jobs side by side needs: a thread that runs
// one function and is joined, a lock, and a condition to wait on.
#ifndef GLIM_HOSTOS_THREADS_H
#define GLIM_HOSTOS_THREADS_H

#include <functional>

namespace hostos {

// The processors this process may run on; at least 1.
unsigned ProcessorCount();

class Mutex {
  public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void Lock();
    void Unlock();

  private:
    friend class Condition;
    void* impl_;
};

class MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~MutexLock() { mutex_.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

class Condition {
  public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // Gives `mutex` (held by the caller) up while it waits; may wake without
    // a WakeAll, so callers wait in a loop on what they wait for.
    void Wait(Mutex& mutex);
    void WakeAll();

  private:
    void* impl_;
};

// Runs `body` on a thread of its own from construction; the destructor waits
// for it to end. `body` must not throw. The interruption signals of
// hostos/cleanup.h never reach such a thread: its handler runs on the
// program's own thread, which the registry relies on.
class Thread {
  public:
    explicit Thread(std::function<void()> body);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

  private:
    void* impl_;
};

} // namespace hostos

#endif
