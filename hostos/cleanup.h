// What an interrupted run must not leave behind. Scratch files and folders
// are registered while they exist; when the process is interrupted (SIGINT,
// SIGTERM or SIGHUP; Ctrl-C or a closed console on Windows) the handler
// removes every registered path, newest first, and ends the process the way
// the interruption would have. A finished result is published with
// interruptions held back, so that it is never cut in half.
#ifndef GLIM_HOSTOS_CLEANUP_H
#define GLIM_HOSTOS_CLEANUP_H

#include <string>

namespace hostos {

// Installs the interruption handlers (once; later calls do nothing).
void InstallInterruptCleanup();

// The line (with its newline) an interruption leaves on standard error, and
// on standard output too when that is a file of its own (a log of the run):
// a run cut off does not read as one that finished. Set once, before the
// interruptions it is for; at most 255 bytes are kept.
void SetInterruptNote(const std::string& line);

// Registers `path` for removal (a directory is removed only once empty:
// register what goes into it after it). Returns a handle for Forget.
int RegisterScratch(const std::string& path, bool directory);
// The path is gone or has been published: no longer the handler's business.
void ForgetScratch(int handle);

// The program is ending: from here on an interruption changes nothing (its
// handler waits, and the ending process takes it along). On Windows the
// handler runs on a thread of its own and ends the process itself; were it
// to start while the program's thread is already ending the process, the
// two endings would meet, and under some emulators that hangs or crashes.
// Call once, as the last thing before returning from main.
void HoldInterruptsToTheEnd();

// Holds interruptions back while it lives; one that came meanwhile is acted
// on when it ends. Also what makes creating a scratch file or folder and
// registering it one step: on Windows the handler runs beside the program,
// which could otherwise make one more thing it never hears of. Holds nest.
class HoldInterrupts {
  public:
    HoldInterrupts();
    ~HoldInterrupts();
    HoldInterrupts(const HoldInterrupts&) = delete;
    HoldInterrupts& operator=(const HoldInterrupts&) = delete;
};

} // namespace hostos

#endif
