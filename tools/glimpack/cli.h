// The command line of glimpack: one option parser for every command, the
// parsing of option values, and the bridge from whatever a command throws to
// the documented exit codes (0 success, 1 usage error, 2 bad input or I/O).
#ifndef GLIM_TOOLS_GLIMPACK_CLI_H
#define GLIM_TOOLS_GLIMPACK_CLI_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "package/errors.h"

namespace glimpack {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBadInput = 2;

// One option of a command: its spellings ("-o", "--output"), the name of its
// value ("FILE"; empty for an option that takes none), its help text, and what
// to do with each occurrence. A command's options are one table, from which
// both the parser and the command's --help are made, so that --help shows
// exactly what the command accepts.
struct Option {
    std::vector<std::string> names;
    std::string value;
    std::string help;
    std::function<void(const std::string& value)> apply;
};

// The options a flag or a value sets.
Option Flag(std::vector<std::string> names, std::string help, bool* set);
Option Value(std::vector<std::string> names, std::string value, std::string help,
             std::string* into);

// What a command's --help shows besides its options.
struct CommandText {
    const char* name;
    const char* operands;    // "PACKAGE..."
    const char* description; // paragraphs, lines of at most 76 characters
};

// The whole --help of a command: usage, description and every option.
std::string HelpText(const CommandText& text, const std::vector<Option>& options);

// Walks the arguments after the command's name. An option's value is the
// next argument or follows "=" ("--size=64K") or, for a one-letter option,
// follows directly ("-dOUT"); "--" ends the options; "-" alone and anything
// not starting with "-" are operands, kept in order. Every mistake is a
// UsageError with the same wording whatever the command: "unknown option
// '--x'", "option '--size' needs a value", "option '--json' takes no value".
void ParseOptions(int argc, char** argv, const std::vector<Option>& options,
                  std::vector<std::string>* operands);

// ParseOptions with the options every command has: -h/--help prints the
// command's help and --version the tool's version. Returns false when one of
// them was given (the command has nothing more to do).
bool ParseCommandLine(const CommandText& text, int argc, char** argv, std::vector<Option> options,
                      std::vector<std::string>* operands);

// "glimpack 0.2.0", as --version prints it.
std::string VersionLine();

// A byte count given to `option`: "1048576", "64K", "512M", "1G".
uint64_t ParseSize(const std::string& option, const std::string& value);
// A whole number given to `option`, at most `max`.
uint64_t ParseNumber(const std::string& option, const std::string& value, uint64_t max);

// Runs `each` on every package in turn, each on its own: a package that
// cannot be read (a ToolError, reported in one line) or has problems (`each`
// returns 2) does not stop the others. With more than one package, ends with
// a summary line on `summary` (when not null). Returns the worst exit code.
int ForEachPackage(const std::vector<std::string>& packages, std::FILE* summary,
                   const std::function<int(const std::string& package)>& each);

// One line on standard error, control characters escaped.
void ReportError(const std::string& text);

// Runs a command body, turning whatever it throws into one line on standard
// error and the matching exit code.
int RunCommand(const char* name, int (*body)(int, char**), int argc, char** argv);

} // namespace glimpack

#endif
