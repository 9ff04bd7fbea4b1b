// glimpack test: checks a package's structure and decodes every record in
// memory, as an archiver's test command does, without writing anything.
#include <cstdio>
#include <string>
#include <vector>

#include "package/listing.h"
#include "package/read.h"
#include "package/text.h"
#include "package/verdict.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace glimpack {
namespace {

const char kHelp[] = "Usage: glimpack test [-q] [--max-size BYTES] PACKAGE\n"
                     "\n"
                     "Checks that every body lies inside the file, in order and clear of the\n"
                     "record table, that every destination is one the installer can write,\n"
                     "and decodes every compressed record in memory. Prints one line per\n"
                     "record with the CRC-32 of the file's contents and OK or the problem\n"
                     "found. Exit code 0 only when every record is OK.\n"
                     "\n"
                     "  -q               print only problems and the summary\n"
                     "  --max-size BYTES refuse records larger than this (default 1G)\n";

} // namespace

int CmdTest(int argc, char** argv) {
    bool quiet = false;
    bool help = false;
    Limits limits;
    std::vector<std::string> packages;
    ParseOptions(argc, argv,
                 {{{"-h", "--help"}, false, [&](const std::string&) { help = true; }},
                  {{"-q", "--quiet"}, false, [&](const std::string&) { quiet = true; }},
                  {{"--max-size"},
                   true,
                   [&](const std::string& v) { limits.max_size = ParseSize("--max-size", v); }}},
                 &packages);
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (packages.empty())
        throw UsageError("no package given");
    if (packages.size() > 1)
        throw UsageError("more than one package given");
    const std::string shown = EscapeForDisplay(packages[0], false);

    ScratchDirectory windows("glimpack-test");
    InspectedPackage pkg = InspectPackage(packages[0], windows.path(), limits);
    CheckAllContents(pkg);

    if (!quiet)
        std::printf("%s: \"%s\", %zu record%s\n", shown.c_str(),
                    TitleForDisplay(pkg.header).c_str(), pkg.records.size(),
                    pkg.records.size() == 1 ? "" : "s");
    for (const InspectedRecord& r : pkg.records) {
        const char* method = r.record.unpacked_size ? "compressed" : "stored";
        std::string name =
            r.destination.empty() ? "(no destination)" : EscapeForDisplay(r.destination, false);
        char crc[16];
        if (r.contents_checked)
            std::snprintf(crc, sizeof crc, "%08x", r.crc32);
        else
            std::snprintf(crc, sizeof crc, "--------");
        if (r.problems.empty()) {
            if (!quiet)
                std::printf("  %3u %-10s %s  %s  OK\n", r.index, method, crc, name.c_str());
            continue;
        }
        for (const std::string& p : r.problems)
            std::printf("  %3u %-10s %s  %s  %s\n", r.index, method, crc, name.c_str(), p.c_str());
    }
    for (const std::string& note : pkg.notes)
        std::printf("%s: note: %s\n", shown.c_str(), note.c_str());
    std::printf("%s: %s\n", shown.c_str(), VerdictLine(pkg).c_str());
    return pkg.Sound() ? kExitOk : kExitBadInput;
}

} // namespace glimpack
