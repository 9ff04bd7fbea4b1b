// glimpack list: a package's title and records, as the installer sees them,
// with the verdict on each.
#include <cstdio>
#include <string>
#include <vector>

#include "package/listing.h"
#include "package/problems.h"
#include "package/session.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/progress.h"

namespace glimpack {

namespace {

const CommandText kText = {
    "list", "PACKAGE...",
    "Shows each package's title, the number of its first further data file, one\n"
    "line per record (index, role, method, stored and unpacked size, offset,\n"
    "CRC-32 of the contents, and the destination below the Windows directory,\n"
    "named as the installer will name it from the package's file name) with the\n"
    "problems found in it, the installed total and the verdict. Every record is\n"
    "read and decoded in memory, as `test` does: a package `test` refuses is\n"
    "shown all the same, and makes the exit code 2. With several packages, each\n"
    "is shown in turn and a summary line ends the list (with --json, one array\n"
    "of the packages' objects)."};

} // namespace

// What list and test share: reading a package with its verdict, progress
// shown while its contents are checked.
InspectedPackage ReadAndJudge(const std::string& package, const Limits& limits,
                              const std::vector<hostos::DigestAlgorithm>& digests, bool quiet,
                              JsonList* json) {
    PackageSession::Options options;
    options.limits = limits;
    options.digests = digests;
    try {
        PackageSession session(package, options);
        Progress progress(session.package().installed_bytes, quiet);
        session.CheckAllContents([&](uint64_t bytes) { progress.Add(bytes, package); });
        return session.package();
    } catch (const PackageError& e) {
        // One object per argument, whatever became of it.
        if (json)
            json->Add(FormatUnreadableJson(package, e.problems()));
        throw;
    }
}

int CmdList(int argc, char** argv) {
    bool json = false, quiet = false, hash_given = false;
    Limits limits;
    std::vector<hostos::DigestAlgorithm> digests{hostos::DigestAlgorithm::Sha256};
    std::vector<std::string> packages;
    if (!ParseCommandLine(
            kText, argc, argv,
            {Flag({"--json"}, "the same as one JSON object per package", &json),
             MaxSizeOption("records installing more are a problem (default 1G;\n"
                           "suffix K, M or G for binary multiples)",
                           &limits),
             Flag({"-q", "--quiet"}, "show only the packages that have problems", &quiet),
             HashOption("the digests of each file's contents: md5, sha1, sha256,\n"
                        "sha384, sha512 or none (default sha256 in JSON; given,\n"
                        "also a line under each record)",
                        &digests, &hash_given)},
            &packages))
        return kExitOk;
    RequirePackages(packages);

    bool first = true;
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
                PrintText(stdout, (first ? "" : "\n") + FormatListingText(pkg, hash_given));
            first = false;
            return pkg.Sound() ? kExitOk : kExitBadInput;
        });
    list.Finish();
    return rc;
}

} // namespace glimpack
