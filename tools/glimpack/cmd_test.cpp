// glimpack test: checks a package's structure and decodes every record in
// memory, as an archiver's test command does, without writing anything.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "package/crc32.h"
#include "package/read.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace glimpack {
namespace {

const char kHelp[] = "Usage: glimpack test [-q] [--max-size BYTES] PACKAGE\n"
                     "\n"
                     "Checks that every body lies inside the file, in order and clear of the\n"
                     "record table, and decodes every compressed record in memory. Prints one\n"
                     "line per record with the CRC-32 of the file's contents and OK or the\n"
                     "problem found. Exit code 0 only when every record is OK.\n"
                     "\n"
                     "  -q               print only problems and the summary\n"
                     "  --max-size BYTES refuse records larger than this (default 1 GiB)\n";

} // namespace

int CmdTest(int argc, char** argv) {
    bool quiet = false;
    bool help = false;
    uint64_t max_size = kDefaultMaxSize;
    std::vector<std::string> packages;
    ParseOptions(argc, argv,
                 {{{"-h", "--help"}, false, [&](const std::string&) { help = true; }},
                  {{"-q", "--quiet"}, false, [&](const std::string&) { quiet = true; }},
                  {{"--max-size"},
                   true,
                   [&](const std::string& v) { max_size = ParseSize("--max-size", v); }}},
                 &packages);
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (packages.empty())
        throw UsageError("no package given");
    if (packages.size() > 1)
        throw UsageError("more than one package given");
    const std::string& package = packages[0];

    ScratchDirectory windows("glimpack-test");
    InspectedPackage pkg = InspectPackage(package, windows.path());

    size_t bad = 0;
    if (!quiet)
        std::printf("%s: \"%s\", %zu records\n", package.c_str(),
                    TitleForDisplay(pkg.header).c_str(), pkg.records.size());
    for (const InspectedRecord& r : pkg.records) {
        std::vector<std::string> problems = r.problems;
        if (!r.destination_problem.empty())
            problems.push_back(r.destination_problem);
        uint32_t crc = 0;
        if (r.record.unpacked_size > max_size) {
            problems.push_back("unpacked size " + std::to_string(r.record.unpacked_size) +
                               " is over the limit of " + std::to_string(max_size) +
                               " bytes (--max-size)");
        } else {
            StreamResult s =
                StreamRecord(pkg, r, [&](const uint8_t* d, size_t n) { crc = Crc32(crc, d, n); });
            std::string p = DescribeDecodeProblem(s.ran_out_of_input, s.stored_bytes_unused);
            if (r.record.unpacked_size && !p.empty())
                problems.push_back(p);
        }
        const char* method = r.record.unpacked_size ? "compressed" : "stored";
        std::string name = r.destination.empty() ? "(no destination)" : r.destination;
        if (problems.empty()) {
            if (!quiet)
                std::printf("  %3u %-10s %08x  %s  OK\n", r.index, method, crc, name.c_str());
            continue;
        }
        ++bad;
        for (const std::string& p : problems)
            std::printf("  %3u %-10s %08x  %s  %s\n", r.index, method, crc, name.c_str(),
                        p.c_str());
    }
    if (bad) {
        std::printf("%s: %zu of %zu records have problems\n", package.c_str(), bad,
                    pkg.records.size());
        return kExitBadInput;
    }
    std::printf("%s: all %zu records OK\n", package.c_str(), pkg.records.size());
    return kExitOk;
}

} // namespace glimpack
