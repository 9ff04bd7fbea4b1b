// glimpack: builds, lists, tests and unpacks self-installing screen-saver packages.
#include <cstdio>
#include <string>
#include <vector>

#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/dropped.h"

namespace glimpack {
namespace {

struct Command {
    const char* name;
    int (*body)(int, char**);
    const char* summary;
};

const Command kCommands[] = {
#define GLIMPACK_COMMAND(name, body, summary) {name, body, summary},
#include "tools/glimpack/commands.def"
#undef GLIMPACK_COMMAND
};

const CommandText kHelpText = {
    "help", "[COMMAND]",
    "Describes COMMAND, as 'glimpack COMMAND --help' does; without one, lists\n"
    "the commands."};

void PrintUsage() {
    Print(stdout, "Usage: glimpack COMMAND [OPTIONS] ...\n\nCommands:\n");
    for (const Command& c : kCommands)
        Print(stdout, "  %-11s %s\n", c.name, c.summary);
    Print(stdout,
          "\n'glimpack help COMMAND' (or 'glimpack COMMAND --help') describes each command;\n"
          "'glimpack --version' gives the version.\n"
          "Exit codes: 0 all good, 1 a mistake on the command line, 2 a problem with a\n"
          "package, a file or the system.\n");
}

const Command* Find(const std::string& name) {
    for (const Command& c : kCommands) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

int Unknown(const std::string& name) {
    ReportError("glimpack: unknown command '" + name + "' (see 'glimpack --help')");
    return kExitUsage;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        ReportError("glimpack: no command given (see 'glimpack --help')");
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h")
        return RunCommand("help", CmdHelp, 0, argv + 2);
    if (first == "--version") {
        // Printed as a command prints it, so that it fails as one does.
        char version[] = "--version";
        char* args[] = {version, nullptr};
        return RunCommand("help", CmdHelp, 1, args);
    }
    const Command* c = Find(first);
#ifdef _WIN32
    if (!c && argc == 2 && IsDroppedFile(first))
        return ExtractDropped(first);
#endif
    if (!c)
        return Unknown(first);
    return RunCommand(c->name, c->body, argc - 2, argv + 2);
}

} // namespace

int CmdHelp(int argc, char** argv) {
    std::vector<std::string> operands;
    if (!ParseCommandLine(kHelpText, argc, argv, {}, &operands))
        return kExitOk;
    if (operands.empty()) {
        PrintUsage();
        return kExitOk;
    }
    if (operands.size() > 1)
        throw UsageError("describes one command at a time");
    const Command* c = Find(operands[0]);
    if (!c)
        throw UsageError("unknown command '" + operands[0] + "'");
    // The command's own --help, which its option table makes.
    char help[] = "--help";
    char* args[] = {help, nullptr};
    return c->body(1, args);
}

} // namespace glimpack

#ifdef _WIN32
// Windows hands a console program its arguments in UTF-16 (wmain); inside,
// everything is UTF-8.
int wmain(int argc, wchar_t** wide_argv) {
    hostos::PrepareStandardStreams();
    // Asked before anything else: a process that attaches to our console
    // later is counted as well.
    bool own_window = hostos::ConsoleIsOwnWindow();
    std::vector<std::string> args = hostos::ArgumentsFromWide(argc, wide_argv);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // cmd.exe and PowerShell hand "*.EXE" over as it was typed.
    glimpack::ExpandOperandPatterns(true);
    int rc = glimpack::FinishRun(glimpack::Run(int(args.size()), argv.data()));
    // Started from the desktop (a package dropped onto the program), the
    // window would close before anyone could read what happened.
    if (own_window) {
        std::fflush(stdout);
        hostos::WaitForKeyPress("\nPress any key to close this window.\n");
    }
    hostos::HoldInterruptsToTheEnd();
    return rc;
}
#else
int main(int argc, char** argv) {
    hostos::PrepareStandardStreams();
    int rc = glimpack::FinishRun(glimpack::Run(argc, argv));
    hostos::HoldInterruptsToTheEnd();
    return rc;
}
#endif
