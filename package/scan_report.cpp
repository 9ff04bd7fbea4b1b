#include "package/scan_report.h"

#include "package/listing.h"
#include "package/text.h"

namespace glimpack {
namespace {

// A JSON object of FormatListingJson on one line, with the location first
// (and no line end).
// The text has line breaks and indentation between its tokens only (a JSON
// string holds no raw line break), so dropping them keeps it the same JSON.
std::string OneLineJson(const std::string& object, const std::string& location) {
    std::string out;
    out.reserve(object.size());
    for (size_t i = 0; i < object.size(); ++i) {
        if (object[i] != '\n') {
            out += object[i];
            continue;
        }
        while (i + 1 < object.size() && object[i + 1] == ' ')
            ++i;
        if (!out.empty() && out.back() == ',')
            out += ' ';
    }
    return "{\"location\": " + JsonString(location) + ", " + out.substr(1);
}

// The bytes that follow the package in what holds it, when that is known.
bool BytesAfter(const FoundPackage& found, const ScanHolder& holder, uint64_t* after) {
    uint64_t end = found.offset + found.size;
    if (!holder.size_known || holder.size < end)
        return false;
    *after = holder.size - end;
    return true;
}

} // namespace

std::string ScanLocation(const std::string& holder_location, uint64_t offset) {
    return offset == 0 ? holder_location : holder_location + "@" + std::to_string(offset);
}

std::string ScanPackageLine(const InspectedPackage& pkg, const FoundPackage& found,
                            const ScanHolder& holder) {
    std::string line = EscapeForDisplay(pkg.path, false) + ": \"" + TitleForDisplay(pkg.header) +
                       "\", " + WithThousands(pkg.records.size()) +
                       (pkg.records.size() == 1 ? " record" : " records") + ", " + VerdictLine(pkg);
    if (!pkg.Sound()) {
        // The first problem, by its code and in words.
        const Problem first = pkg.AllProblems().front();
        line += ": " + std::string(ProblemCodeName(first.code)) + ": " + ProblemLine(first);
    }
    line += "; " + WithThousands(found.size) + " bytes";
    uint64_t after = 0;
    if (found.size < found.claimed)
        line += ", cut short by the end of " + std::string(holder.file ? "the file" : "the member");
    else if (BytesAfter(found, holder, &after) && after > 0)
        line += ", followed by " + WithThousands(after) + " more";
    return line;
}

std::string ScanPackageJson(const InspectedPackage& pkg, const FoundPackage& found,
                            const ScanHolder& holder, const std::string& more) {
    std::string line = OneLineJson(FormatListingJson(pkg), pkg.path);
    // Where it lies in what holds it, and what follows it there.
    line.pop_back();
    uint64_t after = 0;
    bool after_known = BytesAfter(found, holder, &after);
    line += ", \"offset\": " + std::to_string(found.offset) +
            ", \"size\": " + std::to_string(found.size) +
            ", \"bytes_after\": " + (after_known ? std::to_string(after) : std::string("null"));
    return line + more + "}";
}

Problem ScanCannotRead(const std::string& location, std::string text) {
    if (text.compare(0, location.size() + 2, location + ": ") == 0)
        text.erase(0, location.size() + 2);
    return Problem{ProblemCode::kCannotRead, std::nullopt, {text}};
}

std::string ScanUnreadableLine(const std::string& location, const std::vector<Problem>& problems) {
    return EscapeForDisplay(location + ": " + ProblemsInOneLine(problems), false);
}

std::string ScanUnreadableJson(const std::string& location, const std::vector<Problem>& problems) {
    return OneLineJson(FormatUnreadableJson(location, problems), location);
}

std::string ScanSummaryLine(const ScanCounts& counts) {
    return WithThousands(counts.files) + " files, " + WithThousands(counts.bytes) + " bytes, " +
           WithThousands(counts.archives) + " archives opened: " + WithThousands(counts.packages) +
           " packages found, " + WithThousands(counts.ok) + " OK, " +
           WithThousands(counts.problems) + " with problems; " + WithThousands(counts.unreadable) +
           " inputs could not be read";
}

std::string ScanArchivesNotOpened(const std::string& who, const std::string& opened) {
    std::string line = who;
    if (opened.empty())
        line += " does not look inside archives or disc images";
    else
        line += " looks inside " + opened + " only, not other archives or disc images";
    return line + "; their bytes are searched as they are";
}

std::string ScanArchiveDamaged(const std::string& format, const std::string& reason,
                               bool searched_after) {
    return "cannot be read as " + format + ": " + reason +
           (searched_after ? "; its bytes are searched as they are" : "");
}

} // namespace glimpack
