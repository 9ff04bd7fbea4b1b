#include "tools/glimpack/cli.h"

#include <cstdio>

#include "package/text.h"
#include "tools/glimpack/version.h"

namespace glimpack {
namespace {

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
    return Option{std::move(names), std::move(value), std::move(help),
                  [into](const std::string& v) { *into = v; }};
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
        std::fputs(HelpText(text, options).c_str(), stdout);
    else if (version)
        std::printf("%s\n", VersionLine().c_str());
    return !help && !version;
}

void ParseOptions(int argc, char** argv, const std::vector<Option>& options,
                  std::vector<std::string>* operands) {
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            operands->push_back(arg);
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
            throw UsageError("option '" + option + "': '" + value + "' is not a whole number");
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
    return ParseNumber(option, v, UINT64_MAX / unit) * unit;
}

// A message about a file may quote the file's name or a package's bytes:
// shown without raw control characters, so it stays one line and cannot
// drive the terminal.
void ReportError(const std::string& text) {
    std::fprintf(stderr, "%s\n", EscapeForDisplay(text, false).c_str());
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
    }
    if (summary && packages.size() > 1)
        std::fprintf(summary, "%zu packages: %zu OK, %zu with problems\n", packages.size(),
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
    int rc = RunBody(name, body, argc, argv);
    // What a command printed is its result: a write that failed (a full
    // disk, a closed pipe) makes the run a failure, said in one line.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::clearerr(stdout);
        std::fprintf(stderr, "glimpack: standard output: write error\n");
        rc = kExitBadInput;
    }
    if (std::fflush(stderr) != 0 || std::ferror(stderr)) {
        std::clearerr(stderr);
        rc = kExitBadInput;
    }
    return rc;
}

} // namespace glimpack
