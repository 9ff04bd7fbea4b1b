// How the package library reports a problem: one exception type whose text
// names the file and the problem ("STARS.EXE: record 3: ..."), and the usage
// mistakes of a caller. The command line turns them into exit codes 2 and 1,
// the page into one line of its answer; both sort what was thrown with
// CurrentFailure.
#ifndef GLIM_PACKAGE_ERRORS_H
#define GLIM_PACKAGE_ERRORS_H

#include <stdexcept>
#include <string>

namespace glimpack {

// Bad input or an I/O failure: the message names the file and the problem.
class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A usage error: a request that makes no sense whatever the input.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws ToolError("FILE: problem").
[[noreturn]] void Fail(const std::string& file, const std::string& problem);

// What was thrown, as the command line and the page tell it: the kind
// decides the exit code (or how the page words it), the text is the
// exception's own.
enum class FailureKind {
    Usage,       // a UsageError
    BadInput,    // a ToolError, whose text names the file and the problem
    OutOfMemory, // std::bad_alloc (no text: making one could fail again)
    Other,       // any other std::exception: a length or range error on a
                 // hostile size is still the input's or the system's fault
    Unknown,     // anything else (no text)
};
struct Failure {
    FailureKind kind;
    std::string text;
};
// The exception being handled; call it only inside a catch block.
Failure CurrentFailure();

} // namespace glimpack

#endif
