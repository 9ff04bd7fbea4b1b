// glimpack list: a package's title and records, as the installer sees them.
#include <cstdio>
#include <string>
#include <vector>

#include "hostos/os.h"
#include "package/listing.h"
#include "package/read.h"
#include "tools/glimpack/commands.h"

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
    bool help = false;
    std::vector<std::string> packages;
    ParseOptions(argc, argv,
                 {{{"-h", "--help"}, false, [&](const std::string&) { help = true; }},
                  {{"--json"}, false, [&](const std::string&) { json = true; }}},
                 &packages);
    if (help) {
        std::fputs(kListHelp, stdout);
        return kExitOk;
    }
    if (packages.empty())
        throw UsageError("missing PACKAGE");
    if (packages.size() > 1)
        throw UsageError("give one package");
    // Nothing is written; the Windows directory only has to exist for the
    // host back end to mount it.
    InspectedPackage listing = InspectPackage(packages[0], hostos::TempDirectory());
    std::string text = json ? FormatListingJson(listing) : FormatListingText(listing);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return kExitOk;
}

} // namespace glimpack
