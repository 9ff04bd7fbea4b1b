// glimpack: builds, lists, tests and unpacks self-installing screen-saver packages.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
    {"list", glimpack::CmdList, "show a package's title and records"},
    {"extract", glimpack::CmdExtract, "write a package's files where the installer would"},
    {"test", glimpack::CmdTest, "check a package's structure and decode every record"},
    {"compress", glimpack::CmdCompress, "compress a file into a raw stream"},
    {"decompress", glimpack::CmdDecompress, "decode a raw stream to a given size"},
    {"fix-stub", glimpack::CmdFixStub, "lay out a linked installer's resources for packing"},
};

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "Usage: glimpack COMMAND [OPTIONS] ...\n\nCommands:\n");
    for (const Command& c : kCommands)
        std::fprintf(out, "  %-11s %s\n", c.name, c.summary);
    std::fprintf(out, "\n'glimpack COMMAND --help' describes each command.\n"
                      "Exit codes: 0 success, 1 usage error, 2 bad input or I/O error.\n");
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return glimpack::kExitUsage;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
        !std::strcmp(argv[1], "help")) {
        PrintUsage(stdout);
        return glimpack::kExitOk;
    }
    for (const Command& c : kCommands) {
        if (!std::strcmp(argv[1], c.name))
            return glimpack::RunCommand(c.name, c.body, argc - 2, argv + 2);
    }
#ifdef _WIN32
    if (argc == 2 && glimpack::IsDroppedFile(argv[1]))
        return glimpack::ExtractDropped(argv[1]);
#endif
    std::fprintf(stderr, "glimpack: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return glimpack::kExitUsage;
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
    return rc;
}
#else
int main(int argc, char** argv) {
    return Run(argc, argv);
}
#endif
