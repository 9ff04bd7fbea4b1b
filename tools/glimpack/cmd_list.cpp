// glimpack list: a package's title and records, as the installer sees them.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"
#include "tools/glimpack/package.h"

namespace glimpack {

namespace {

const char kListHelp[] =
    "Usage: glimpack list [--json] PACKAGE\n"
    "\n"
    "Shows the package's title, the number of its first further data file, one\n"
    "line per record (index, role, method, stored and unpacked size, offset and\n"
    "the destination below the Windows directory, named as the installer will\n"
    "name it from the package's file name) and the installed total.\n"
    "\n"
    "  --json   the same as one JSON object\n";

} // namespace

int CmdList(int argc, char** argv) {
    bool json = false;
    std::string package;
    for (int i = 0; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kListHelp, stdout);
            return kExitOk;
        } else if (arg == "--json") {
            json = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option '" + arg + "'");
        } else if (!package.empty()) {
            throw UsageError("give one package");
        } else {
            package = arg;
        }
    }
    if (package.empty())
        throw UsageError("missing PACKAGE");
    // Nothing is written; the Windows directory only has to exist for the
    // host back end to mount it.
    InspectedPackage listing =
        InspectPackage(package, std::filesystem::temp_directory_path().string());
    std::string text = json ? FormatListingJson(listing) : FormatListingText(listing);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return kExitOk;
}

} // namespace glimpack
