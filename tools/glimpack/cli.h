// The command line of glimpack: one option parser for every command, the
// parsing of option values, and the bridge from whatever a command throws to
// the documented exit codes (0 success, 1 usage error, 2 bad input or I/O).
#ifndef GLIM_TOOLS_GLIMPACK_CLI_H
#define GLIM_TOOLS_GLIMPACK_CLI_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/errors.h"

namespace glimpack {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBadInput = 2;

// One option of a command: its spellings ("-o", "--output"), whether it takes
// a value, and what to do with each occurrence.
struct Option {
    std::vector<std::string> names;
    bool takes_value = false;
    std::function<void(const std::string& value)> apply;
};

// Walks the arguments after the command's name. An option's value is the
// next argument or follows "=" ("--size=64K") or, for a one-letter option,
// follows directly ("-dOUT"); "--" ends the options; "-" alone and anything
// not starting with "-" are operands, kept in order. Every mistake is a
// UsageError with the same wording whatever the command: "unknown option
// '--x'", "option '--size' needs a value", "option '--json' takes no value".
void ParseOptions(int argc, char** argv, const std::vector<Option>& options,
                  std::vector<std::string>* operands);

// A byte count given to `option`: "1048576", "64K", "512M", "1G".
uint64_t ParseSize(const std::string& option, const std::string& value);
// A whole number given to `option`, at most `max`.
uint64_t ParseNumber(const std::string& option, const std::string& value, uint64_t max);

// Runs a command body, turning whatever it throws into one line on standard
// error and the matching exit code.
int RunCommand(const char* name, int (*body)(int, char**), int argc, char** argv);

} // namespace glimpack

#endif
