// glimpack: builds, lists, tests and unpacks self-installing screen-saver packages.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/dropped.h"

namespace {

struct Command {
    const char* name;
    int (*body)(int, char**);
    const char* summary;
};

const Command kCommands[] = {
    {"pack", glimpack::CmdPack,
     "build a package from a stub, a saver, its data file and more data"},
    {"list", glimpack::CmdList, "show packages' titles, records and verdicts"},
    {"test", glimpack::CmdTest, "check packages' structure and decode every record"},
    {"scan", glimpack::CmdScan, "find and check every package in files, folders and archives"},
    {"extract", glimpack::CmdExtract, "write packages' files where the installer would"},
    {"compress", glimpack::CmdCompress, "compress a file into a raw stream"},
    {"decompress", glimpack::CmdDecompress, "decode a raw stream to a given size"},
    {"fix-stub", glimpack::CmdFixStub, "lay out a linked installer's resources for packing"},
};

void PrintUsage() {
    std::printf("Usage: glimpack COMMAND [OPTIONS] ...\n\nCommands:\n");
    for (const Command& c : kCommands)
        std::printf("  %-11s %s\n", c.name, c.summary);
    std::printf("\n'glimpack help COMMAND' (or 'glimpack COMMAND --help') describes each command;\n"
                "'glimpack --version' gives the version.\n"
                "Exit codes: 0 success, 1 usage error, 2 bad input or I/O error.\n");
}

const Command* Find(const char* name) {
    for (const Command& c : kCommands) {
        if (!std::strcmp(name, c.name))
            return &c;
    }
    return nullptr;
}

int Unknown(const char* name) {
    glimpack::ReportError(std::string("glimpack: unknown command '") + name +
                          "' (see 'glimpack --help')");
    return glimpack::kExitUsage;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        glimpack::ReportError("glimpack: no command given (see 'glimpack --help')");
        return glimpack::kExitUsage;
    }
    const char* first = argv[1];
    if (!std::strcmp(first, "--help") || !std::strcmp(first, "-h") ||
        (!std::strcmp(first, "help") && argc == 2)) {
        PrintUsage();
        return glimpack::kExitOk;
    }
    if (!std::strcmp(first, "--version")) {
        std::printf("%s\n", glimpack::VersionLine().c_str());
        return glimpack::kExitOk;
    }
    if (!std::strcmp(first, "help")) {
        // help COMMAND: the command's own --help.
        const Command* c = Find(argv[2]);
        if (!c)
            return Unknown(argv[2]);
        char help[] = "--help";
        char* args[] = {help, nullptr};
        return glimpack::RunCommand(c->name, c->body, 1, args);
    }
    const Command* c = Find(first);
#ifdef _WIN32
    if (!c && argc == 2 && glimpack::IsDroppedFile(first))
        return glimpack::ExtractDropped(first);
#endif
    if (!c)
        return Unknown(first);
    return glimpack::RunCommand(c->name, c->body, argc - 2, argv + 2);
}

} // namespace

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
    int rc = Run(int(args.size()), argv.data());
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
    int rc = Run(argc, argv);
    hostos::HoldInterruptsToTheEnd();
    return rc;
}
#endif
