// glimpack test: checks a package's structure and decodes every record in
// memory, as an archiver's test command does, without writing anything.
#include <cstdio>
#include <string>
#include <vector>

#include "package/listing.h"
#include "package/problems.h"
#include "package/read.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"

namespace glimpack {
namespace {

const CommandText kText = {
    "test", "PACKAGE...",
    "Checks that every body lies inside the file, in order and clear of the\n"
    "record table, that every destination is one the installer can write, and\n"
    "reads or decodes every record in memory. Prints one line per record with\n"
    "the CRC-32 of the file's contents and OK or the problem found, and a\n"
    "verdict line per package. With several packages (glimpack test *.EXE),\n"
    "each is checked on its own and a summary line ends the run. The exit code\n"
    "is 0 only when every record of every package is OK.\n"
    "\n"
    "OK means the installer will read and write every file as listed, and\n"
    "nothing more: the format has no checksum, so only a signature can show that\n"
    "no byte was changed since the package was made."};

// With `quiet` (only for a package with problems), the problems and the
// verdict line alone.
void PrintRecords(const InspectedPackage& pkg, bool quiet) {
    const std::string shown = EscapeForDisplay(pkg.path, false);
    if (!quiet)
        Print(stdout, "%s: \"%s\", %zu record%s\n", shown.c_str(),
              TitleForDisplay(pkg.header).c_str(), pkg.records.size(),
              pkg.records.size() == 1 ? "" : "s");
    for (const InspectedRecord& r : pkg.records) {
        const char* method = PayloadMethodName(PayloadMethodOf(&r.record));
        std::string name =
            r.destination.empty() ? "(no destination)" : DestinationForDisplay(r.destination);
        char crc[16];
        if (r.contents_checked)
            std::snprintf(crc, sizeof crc, "%08x", r.crc32);
        else
            std::snprintf(crc, sizeof crc, "--------");
        if (r.problems.empty()) {
            if (!quiet)
                Print(stdout, "  %3u %-10s %s  %s  OK\n", r.index, method, crc, name.c_str());
            continue;
        }
        for (const Problem& p : r.problems)
            Print(stdout, "  %3u %-10s %s  %s  %s\n", r.index, method, crc, name.c_str(),
                  ProblemText(p).c_str());
    }
    for (const Problem& problem : pkg.problems)
        std::printf("%s: %s\n", shown.c_str(), ProblemText(problem).c_str());
    for (const Problem& note : pkg.notes)
        Print(stdout, "%s: note: %s\n", shown.c_str(), ProblemText(note).c_str());
    Print(stdout, "%s: %s\n", shown.c_str(), VerdictLine(pkg).c_str());
}

} // namespace

int CmdTest(int argc, char** argv) {
    bool quiet = false, json = false;
    Limits limits;
    std::vector<hostos::DigestAlgorithm> digests{hostos::DigestAlgorithm::Sha256};
    std::vector<std::string> packages;
    if (!ParseCommandLine(
            kText, argc, argv,
            {Flag({"-q", "--quiet"},
                  "print only the problems, and the verdict lines of\n"
                  "the packages that have them",
                  &quiet),
             Flag({"--json"}, "the verdict as JSON: the object list --json gives", &json),
             MaxSizeOption("refuse records larger than this (default 1G)", &limits),
             HashOption("the digests each file gets in JSON: md5, sha1, sha256,\n"
                        "sha384, sha512 or none (default sha256)",
                        &digests, nullptr)},
            &packages))
        return kExitOk;
    RequirePackages(packages);

    JsonList list(json && packages.size() > 1);
    int rc =
        ForEachPackage(packages, json || quiet ? nullptr : stdout, [&](const std::string& package) {
            const InspectedPackage pkg =
                ReadAndJudge(package, limits, digests, quiet, json ? &list : nullptr);
            if (quiet && pkg.Sound())
                return kExitOk;
            if (json)
                list.Add(FormatListingJson(pkg));
            else
                PrintRecords(pkg, quiet);
            return pkg.Sound() ? kExitOk : kExitBadInput;
        });
    list.Finish();
    return rc;
}

} // namespace glimpack
