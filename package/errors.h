// How the package library reports a problem: one exception type whose text
// names the file and the problem ("STARS.EXE: record 3: ..."), and the usage
// mistakes of a caller. The command line turns them into exit codes 2 and 1.
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

} // namespace glimpack

#endif
