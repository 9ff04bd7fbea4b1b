// The command line of glimpack: one option parser for every command, the
// parsing of option values, standard output, and the bridge from whatever a
// command throws to the exit codes. The rule for those, for every command:
// 0 all good; 1 the command line (an unknown option, a missing or bad option
// value, a wrong number of operands); 2 a package, a file or the system
// (including standard output that cannot be written).
#ifndef GLIM_TOOLS_GLIMPACK_CLI_H
#define GLIM_TOOLS_GLIMPACK_CLI_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "hostos/crypto.h"
#include "package/errors.h"
#include "package/read.h"

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

// The options a flag or a value sets. A Value refuses an empty value: no
// option of glimpack means anything by one.
Option Flag(std::vector<std::string> names, std::string help, bool* set);
Option Value(std::vector<std::string> names, std::string value, std::string help,
             std::string* into);
// --max-size BYTES, parsed as it is met into `limits` (shared by every
// command that reads packages or builds one).
Option MaxSizeOption(std::string help, Limits* limits);
// --hash ALG[,ALG...]: the digests each file's contents get beside their
// CRC-32 ("md5", "sha1", "sha256", "sha384", "sha512"; "none" for none);
// *given says the option was used.
Option HashOption(std::string help, std::vector<hostos::DigestAlgorithm>* digests, bool* given);

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

// Whether operands with * or ? are file patterns the program expands itself
// (glimpack.exe: Windows' command interpreters leave that to the program).
// A pattern that matches nothing is an error naming it.
void ExpandOperandPatterns(bool on);

// A byte count given to `option`: "1048576", "64K", "512M", "1G".
uint64_t ParseSize(const std::string& option, const std::string& value);
// A whole number given to `option`, at most `max`.
uint64_t ParseNumber(const std::string& option, const std::string& value, uint64_t max);
// Whatever the parser of an option's value refuses is a mistake on the command
// line (exit 1), also where the parser lives below the command line and
// throws a ToolError: runs `parse` and turns that into a UsageError.
template <typename Parse> auto ParseOptionValue(Parse parse) -> decltype(parse()) {
    try {
        return parse();
    } catch (const ToolError& e) {
        throw UsageError(e.what());
    }
}

// The PACKAGE operands of list, test and extract: at least one, and each a
// file. A package's file name decides what it installs (STARS.EXE installs
// STARS.SCR) and standard input has none, so "-" (which compress takes) is
// refused in a sentence that says why and what to do instead.
void RequirePackages(const std::vector<std::string>& packages);

// Runs `each` on every package in turn, each on its own: a package that
// cannot be read (a ToolError, reported in one line) or has problems (`each`
// returns 2) does not stop the others. With more than one package, ends with
// a summary line on `summary` (when not null). Returns the worst exit code.
int ForEachPackage(const std::vector<std::string>& packages, std::FILE* summary,
                   const std::function<int(const std::string& package)>& each);

// The JSON of several packages, one array of their objects; of one package,
// its object alone. Each object (as FormatListingJson gives it, with its
// closing newline) is printed as it comes.
class JsonList {
  public:
    explicit JsonList(bool many);
    void Add(const std::string& object);
    // Closes the array; call once all are added.
    void Finish();

  private:
    bool many_;
    bool first_ = true;
};

// --- Standard output ------------------------------------------------------------
// Print's format is checked as the C library that runs it reads formats: GCC
// names that one gnu_printf (on MinGW, its own printf rather than the
// system's, which knows no %zu); clang knows it as printf.
#if defined(__clang__)
#define GLIMPACK_PRINTF_FORMAT(string_index, first_to_check)                                       \
    [[gnu::format(printf, string_index, first_to_check)]]
#else
#define GLIMPACK_PRINTF_FORMAT(string_index, first_to_check)                                       \
    [[gnu::format(gnu_printf, string_index, first_to_check)]]
#endif

// Everything glimpack prints goes through these. Standard error failing is
// not reported (there is nowhere to); it only makes the exit code 2. Standard
// output failing ends the command at once, reported in one line and exit 2,
// whatever the command was doing, and never reported twice; when the reader
// went away (a closed pipe, as `| head` does) it ends with exit 2 and no
// message at all.
GLIMPACK_PRINTF_FORMAT(2, 3) void Print(std::FILE* stream, const char* format, ...);
void PrintText(std::FILE* stream, const std::string& text);
// Bytes of a file's contents to standard output.
void WriteOutput(const void* data, size_t size);
// Refuses (a UsageError saying `what`, "a compressed stream is") to write a file's bytes to
// standard output when that is a terminal, which they would garble: checked before anything is
// read, by every command that can write them there.
void RefuseTerminalOutput(const std::string& what);
// Pushes what is buffered out to the file or pipe, so that the lines of a
// finished package are there even if the run is interrupted later.
void FlushOutput();

// One line on standard error, control characters escaped.
void ReportError(const std::string& text);

// While it lives, what ReportError would write on this thread is kept
// instead: a job on a worker thread has its lines printed in their turn by
// the program's own thread.
class CollectErrors {
  public:
    CollectErrors();
    ~CollectErrors();
    CollectErrors(const CollectErrors&) = delete;
    CollectErrors& operator=(const CollectErrors&) = delete;
    const std::string& text() const { return text_; }

  private:
    std::string text_;
    std::string* outer_;
};

// Runs a command body, turning whatever it throws into one line on standard
// error and the matching exit code.
int RunCommand(const char* name, int (*body)(int, char**), int argc, char** argv);

// The exit code of the whole run, once everything is printed: `rc`, or 2 when
// standard output or error could not take what was written (standard output's
// failure said once, unless said already or the reader went away).
int FinishRun(int rc);

} // namespace glimpack

#endif
