#include "tools/glimpack/cli.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "package/text.h"
#include "tools/glimpack/version.h"

namespace glimpack {
namespace {

bool g_expand_patterns = false;

// Standard output could not take what was written (the system's error code):
// thrown past every package of a command, which all write to the same place,
// and caught by RunCommand alone.
struct OutputFailed {
    int error;
};

[[noreturn]] void OutputFailedNow() {
    throw OutputFailed{hostos::StreamError()};
}

// Whether standard output's failure has been dealt with (said, or left
// unsaid because the reader went away): it is never said twice.
bool g_output_failure_told = false;

void TellOutputFailure(int error) {
    if (g_output_failure_told)
        return;
    g_output_failure_told = true;
    if (hostos::IsBrokenPipe(error))
        return;
    std::fprintf(stderr, "glimpack: standard output: write error: %s\n",
                 EscapeForDisplay(hostos::ErrorText(error), false).c_str());
}

// The operand as the files it names: itself, or on glimpack.exe the files a
// pattern with * or ? matches.
void AddOperand(const std::string& operand, std::vector<std::string>* operands) {
    std::vector<std::string> matches;
    if (!g_expand_patterns || operand.find_first_of("*?") == std::string::npos ||
        !hostos::ExpandPattern(operand, &matches)) {
        operands->push_back(operand);
        return;
    }
    if (matches.empty())
        Fail(operand, "no file matches this pattern");
    operands->insert(operands->end(), matches.begin(), matches.end());
}

const Option* FindOption(const std::vector<Option>& options, const std::string& name) {
    for (const Option& o : options) {
        for (const std::string& n : o.names) {
            if (n == name)
                return &o;
        }
    }
    return nullptr;
}

} // namespace

Option Flag(std::vector<std::string> names, std::string help, bool* set) {
    return Option{std::move(names), "", std::move(help),
                  [set](const std::string&) { *set = true; }};
}

Option Value(std::vector<std::string> names, std::string value, std::string help,
             std::string* into) {
    std::string name = names.back();
    return Option{std::move(names), std::move(value), std::move(help),
                  [into, name](const std::string& v) {
                      if (v.empty())
                          throw UsageError("option '" + name + "' needs a value, not an empty one");
                      *into = v;
                  }};
}

Option MaxSizeOption(std::string help, Limits* limits) {
    return Option{{"--max-size"}, "BYTES", std::move(help), [limits](const std::string& v) {
                      limits->max_size = ParseSize("--max-size", v);
                  }};
}

Option HashOption(std::string help, std::vector<hostos::DigestAlgorithm>* digests, bool* given) {
    return Option{
        {"--hash"}, "ALG[,ALG...]", std::move(help), [digests, given](const std::string& v) {
            if (given)
                *given = true;
            if (v.empty())
                throw UsageError("option '--hash' needs a value, not an empty one");
            digests->clear();
            if (v == "none")
                return;
            size_t start = 0;
            for (;;) {
                const size_t comma = v.find(',', start);
                const std::string name = v.substr(start, comma - start);
                hostos::DigestAlgorithm algorithm{};
                if (!hostos::DigestAlgorithmFromName(name, &algorithm))
                    throw UsageError("option '--hash' takes \"md5\", \"sha1\", \"sha256\", "
                                     "\"sha384\", \"sha512\" or \"none\", not '" +
                                     name + "'");
                if (std::find(digests->begin(), digests->end(), algorithm) == digests->end())
                    digests->push_back(algorithm);
                if (comma == std::string::npos)
                    return;
                start = comma + 1;
            }
        }};
}

std::string HelpText(const CommandText& text, const std::vector<Option>& options) {
    std::string out = std::string("Usage: glimpack ") + text.name + " [OPTIONS] " + text.operands +
                      "\n\n" + text.description + "\n\nOptions:\n";
    for (const Option& o : options) {
        std::string spelling;
        for (const std::string& n : o.names)
            spelling += (spelling.empty() ? "" : ", ") + n;
        if (!o.value.empty())
            spelling += " " + o.value;
        std::string line = "  " + spelling;
        // The help text in a column of its own, continued lines indented.
        std::string help = o.help;
        size_t start = 0;
        bool first = true;
        while (start <= help.size()) {
            size_t end = help.find('\n', start);
            std::string piece = help.substr(start, end == std::string::npos ? end : end - start);
            if (first && line.size() < 25)
                out += line + std::string(26 - line.size(), ' ') + piece + "\n";
            else if (first)
                out += line + "\n" + std::string(26, ' ') + piece + "\n";
            else
                out += std::string(26, ' ') + piece + "\n";
            first = false;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    return out;
}

std::string VersionLine() {
    return std::string("glimpack ") + GLIMPACK_VERSION;
}

bool ParseCommandLine(const CommandText& text, int argc, char** argv, std::vector<Option> options,
                      std::vector<std::string>* operands) {
    bool help = false, version = false;
    options.push_back(Flag({"-h", "--help"}, "show this help and exit", &help));
    options.push_back(Flag({"--version"}, "show the version and exit", &version));
    ParseOptions(argc, argv, options, operands);
    if (help)
        PrintText(stdout, HelpText(text, options));
    else if (version)
        Print(stdout, "%s\n", VersionLine().c_str());
    return !help && !version;
}

void ExpandOperandPatterns(bool on) {
    g_expand_patterns = on;
}

void ParseOptions(int argc, char** argv, const std::vector<Option>& options,
                  std::vector<std::string>* operands) {
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            AddOperand(arg, operands);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        if (arg.compare(0, 2, "--") == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                has_value = true;
            }
        } else if (arg.size() > 2) {
            // "-dOUT": a one-letter option with its value attached.
            name = arg.substr(0, 2);
            value = arg.substr(2);
            has_value = true;
        }
        const Option* option = FindOption(options, name);
        if (!option)
            throw UsageError("unknown option '" + (has_value && name.size() == 2 ? arg : name) +
                             "'");
        if (option->value.empty() && has_value)
            throw UsageError("option '" + name + "' takes no value");
        if (!option->value.empty() && !has_value) {
            if (i + 1 >= argc)
                throw UsageError("option '" + name + "' needs a value");
            value = argv[++i];
        }
        option->apply(value);
    }
}

uint64_t ParseNumber(const std::string& option, const std::string& value, uint64_t max) {
    if (value.empty())
        throw UsageError("option '" + option + "' needs a value");
    uint64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            throw UsageError("option '" + option + "': '" + EscapeForDisplay(value, true) +
                             "' is not a whole number");
        if (n > (max - uint64_t(c - '0')) / 10)
            throw UsageError("option '" + option + "': " + value + " is over the limit of " +
                             std::to_string(max));
        n = n * 10 + uint64_t(c - '0');
    }
    return n;
}

uint64_t ParseSize(const std::string& option, const std::string& value) {
    if (value.empty())
        throw UsageError("option '" + option + "' needs a value");
    std::string v = value;
    uint64_t unit = 1;
    switch (v.back()) {
    case 'k':
    case 'K':
        unit = uint64_t(1) << 10;
        break;
    case 'm':
    case 'M':
        unit = uint64_t(1) << 20;
        break;
    case 'g':
    case 'G':
        unit = uint64_t(1) << 30;
        break;
    default:
        break;
    }
    if (unit != 1)
        v.pop_back();
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError("option '" + option + "': '" + EscapeForDisplay(value, true) +
                         "' is not a byte count (a whole number, with K, M or G after it for "
                         "binary multiples)");
    return ParseNumber(option, v, UINT64_MAX / unit) * unit;
}

JsonList::JsonList(bool many) : many_(many) {
    if (many_)
        PrintText(stdout, "[\n");
}

void JsonList::Add(const std::string& object) {
    if (!many_) {
        PrintText(stdout, object);
        return;
    }
    // Inside the array each object loses its own closing newline to the comma.
    std::string text = object;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    PrintText(stdout, (first_ ? "" : ",\n") + text);
    first_ = false;
}

void JsonList::Finish() {
    if (many_)
        PrintText(stdout, "\n]\n");
}

void Print(std::FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(stream, format, args);
    va_end(args);
    // MinGW's printf reports a failed write in the stream's error flag alone.
    if ((n < 0 || std::ferror(stream)) && stream == stdout)
        OutputFailedNow();
}

void PrintText(std::FILE* stream, const std::string& text) {
    if ((std::fwrite(text.data(), 1, text.size(), stream) != text.size() || std::ferror(stream)) &&
        stream == stdout)
        OutputFailedNow();
}

void WriteOutput(const void* data, size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, stdout) != size)
        OutputFailedNow();
}

void RefuseTerminalOutput(const std::string& what) {
    if (hostos::IsTerminal(1))
        throw UsageError(what + " not written to a terminal; redirect standard output to a "
                                "file or a pipe, or name a file");
}

void FlushOutput() {
    if (std::fflush(stdout) != 0)
        OutputFailedNow();
}

// A message about a file may quote the file's name or a package's bytes:
// shown without raw control characters, so it stays one line and cannot
// drive the terminal.
namespace {
thread_local std::string* t_collected_errors = nullptr;
} // namespace

void ReportError(const std::string& text) {
    if (t_collected_errors) {
        *t_collected_errors += EscapeForDisplay(text, false) + "\n";
        return;
    }
    std::fprintf(stderr, "%s\n", EscapeForDisplay(text, false).c_str());
}

CollectErrors::CollectErrors() : outer_(t_collected_errors) {
    t_collected_errors = &text_;
}

CollectErrors::~CollectErrors() {
    t_collected_errors = outer_;
}

void RequirePackages(const std::vector<std::string>& packages) {
    if (packages.empty())
        throw UsageError("no package given");
    for (const std::string& package : packages) {
        if (package == "-")
            throw UsageError("a package is not read from standard input ('-'): its file name "
                             "decides what it installs, and standard input has none; save it "
                             "to a file and name that (a file named - is ./-)");
    }
}

int ForEachPackage(const std::vector<std::string>& packages, std::FILE* summary,
                   const std::function<int(const std::string& package)>& each) {
    int worst = kExitOk;
    size_t failed = 0;
    for (const std::string& package : packages) {
        int rc;
        try {
            rc = each(package);
        } catch (const ToolError& e) {
            ReportError(std::string("glimpack: ") + e.what());
            rc = kExitBadInput;
        }
        if (rc != kExitOk)
            ++failed;
        if (rc > worst)
            worst = rc;
        FlushOutput();
    }
    if (summary && packages.size() > 1)
        Print(summary, "%zu packages: %zu OK, %zu with problems\n", packages.size(),
              packages.size() - failed, failed);
    return worst;
}

namespace {

void Report(const std::string& text) {
    ReportError(text);
}

int RunBody(const char* name, int (*body)(int, char**), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const OutputFailed& failed) {
        TellOutputFailure(failed.error);
        return kExitBadInput;
    } catch (...) {
        Failure failure = CurrentFailure();
        switch (failure.kind) {
        case FailureKind::Usage:
            Report(std::string("glimpack ") + name + ": " + failure.text + " (see 'glimpack help " +
                   name + "')");
            return kExitUsage;
        case FailureKind::BadInput:
            Report("glimpack: " + failure.text);
            return kExitBadInput;
        case FailureKind::OutOfMemory:
            std::fprintf(stderr, "glimpack: out of memory\n");
            return kExitBadInput;
        case FailureKind::Other:
            // Not a reason to abort with a core dump either.
            Report(std::string("glimpack ") + name + ": " + failure.text);
            return kExitBadInput;
        case FailureKind::Unknown:
            break;
        }
        std::fprintf(stderr, "glimpack %s: unexpected error\n", name);
        return kExitBadInput;
    }
}

} // namespace

int RunCommand(const char* name, int (*body)(int, char**), int argc, char** argv) {
    // Every command, interrupted, says so in a line of its own: a log of a
    // run that was cut off does not end as if it had finished.
    hostos::SetInterruptNote(std::string("glimpack ") + name +
                             ": interrupted before it finished; nothing half made is left\n");
    hostos::InstallInterruptCleanup();
    return RunBody(name, body, argc, argv);
}

int FinishRun(int rc) {
    // What the run printed is its result: a write that failed (a full disk,
    // a closed pipe) makes it a failure, said in one line.
    // A failure told when it happened is not told again.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        TellOutputFailure(hostos::StreamError());
        rc = kExitBadInput;
    }
    if (std::fflush(stderr) != 0 || std::ferror(stderr))
        rc = kExitBadInput;
    return rc;
}

} // namespace glimpack
