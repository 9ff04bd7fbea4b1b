// What a scan says about what it found, in one place for every scanner:
// `glimpack scan` and the browser page both find packages with the package
// finder and check each over its own bytes, and both show the findings in
// these words, so that the page's lines are the tool's.
//
// Lines are for one-line display (control characters escaped) and end
// without a line break; JSON objects are one line each.
#ifndef GLIM_PACKAGE_SCAN_REPORT_H
#define GLIM_PACKAGE_SCAN_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "package/finder.h"
#include "package/problems.h"
#include "package/read.h"

namespace glimpack {

// What holds the bytes a package was found in.
struct ScanHolder {
    bool file = false;       // a plain file (read from its start), not a member of an archive
    bool size_known = false; // whether `size` is its size
    uint64_t size = 0;
};

// The location of a package found at `offset` in what `holder_location`
// (PATH[!MEMBER...]) names: @OFFSET follows unless it begins there.
std::string ScanLocation(const std::string& holder_location, uint64_t offset);

// One package's line: LOCATION: "title", N records, verdict[: code: text];
// N bytes[, followed by N more | , cut short by the end of the file].
// `pkg.path` is its location.
std::string ScanPackageLine(const InspectedPackage& pkg, const FoundPackage& found,
                            const ScanHolder& holder);

// One package's JSON object: that of `list --json` with "location" first
// and "offset", "size" and "bytes_after" last, then `more` (further
// members, each ", \"name\": value"), on one line.
std::string ScanPackageJson(const InspectedPackage& pkg, const FoundPackage& found,
                            const ScanHolder& holder, const std::string& more = "");

// A read that failed, as a finding about `location`: its text without the
// location in front, which the line puts there itself.
Problem ScanCannotRead(const std::string& location, std::string text);

// An input, or a found package, that could not be read: "LOCATION:
// problems" (a program puts its own name in front) and its JSON object.
std::string ScanUnreadableLine(const std::string& location, const std::vector<Problem>& problems);
std::string ScanUnreadableJson(const std::string& location, const std::vector<Problem>& problems);

struct ScanCounts {
    uint64_t files = 0, bytes = 0, archives = 0, packages = 0, ok = 0, problems = 0, unreadable = 0;
};

// "N files, N bytes, N archives opened: N packages found, N OK, N with
// problems; N inputs could not be read".
std::string ScanSummaryLine(const ScanCounts& counts);

// Said once by a scanner that opens no archives, or only those `opened`
// names ("zip files"): what becomes of the others. `who` is the scanner
// ("this build", "this page").
std::string ScanArchivesNotOpened(const std::string& who, const std::string& opened = "");

// An archive that cannot be read on: "cannot be read as FORMAT: REASON",
// and whether its raw bytes are searched instead (those of a file that can
// be read again from its start).
std::string ScanArchiveDamaged(const std::string& format, const std::string& reason,
                               bool searched_after);

} // namespace glimpack

#endif
