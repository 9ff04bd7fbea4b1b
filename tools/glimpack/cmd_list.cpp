// glimpack list: a package's title and records, as the installer sees them,
// with the verdict on each.
#include <cstdio>
#include <string>
#include <vector>

#include "hostos/os.h"
#include "package/listing.h"
#include "package/read.h"
#include "package/verdict.h"
#include "tools/glimpack/commands.h"

namespace glimpack {

namespace {

const char kListHelp[] =
    "Usage: glimpack list [--json] [--max-size BYTES] PACKAGE\n"
    "\n"
    "Shows the package's title, the number of its first further data file, one\n"
    "line per record (index, role, method, stored and unpacked size, offset,\n"
    "CRC-32 of the contents, and the destination below the Windows directory,\n"
    "named as the installer will name it from the package's file name) with the\n"
    "problems found in it, the installed total and the verdict. Every record is\n"
    "read and decoded in memory, as `test` does; the exit code is 2 when the\n"
    "package has any problem, and what can be read is shown all the same.\n"
    "\n"
    "  --json             the same as one JSON object\n"
    "  --max-size BYTES   records installing more are a problem (default 1G)\n";

} // namespace

int CmdList(int argc, char** argv) {
    bool json = false;
    bool help = false;
    Limits limits;
    std::vector<std::string> packages;
    ParseOptions(argc, argv,
                 {{{"-h", "--help"}, false, [&](const std::string&) { help = true; }},
                  {{"--json"}, false, [&](const std::string&) { json = true; }},
                  {{"--max-size"},
                   true,
                   [&](const std::string& v) { limits.max_size = ParseSize("--max-size", v); }}},
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
    InspectedPackage pkg = InspectPackage(packages[0], hostos::TempDirectory(), limits);
    CheckAllContents(pkg);
    std::string text = json ? FormatListingJson(pkg) : FormatListingText(pkg);
    std::fputs(text.c_str(), stdout);
    return pkg.Sound() ? kExitOk : kExitBadInput;
}

} // namespace glimpack
