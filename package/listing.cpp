#include "package/listing.h"

#include <cstdio>
#include <cstring>

#include "package/text.h"

namespace glimpack {
namespace {

std::string Padded(const std::string& text, size_t width, bool right) {
    if (text.size() >= width)
        return text;
    std::string pad(width - text.size(), ' ');
    return right ? pad + text : text + pad;
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// The package's name as given: "package" keeps its bytes (JsonName), and
// "package_hex" spells them out where the name is not Unicode text.
std::string PackageNameJson(const std::string& path) {
    std::string out = "  \"package\": " + JsonName(path) + ",\n";
    if (!IsUnicodeText(path))
        out += "  \"package_hex\": \"" + HexBytes(path) + "\",\n";
    return out;
}

// What the file's signature is and says: null for an unsigned file.
std::string SignatureJson(const glim::pe::SignatureReport& s) {
    if (s.outcome == glim::pe::SignatureOutcome::Unsigned)
        return "null";
    auto text = [](const std::string& t) {
        return t.empty() ? std::string("null") : JsonString(t);
    };
    return std::string("{\"outcome\": \"") + glim::pe::SignatureOutcomeName(s.outcome) +
           "\", \"algorithm\": " + text(s.algorithm) + ", \"subject\": " + text(s.subject) +
           ", \"issuer\": " + text(s.issuer) + ", \"signing_time\": " + text(s.signing_time) +
           ", \"certificate_table\": {\"offset\": " + std::to_string(s.table_offset) +
           ", \"size\": " + std::to_string(s.table_size) + "}, \"chain_checked\": false}";
}

std::string Title(const InspectedPackage& pkg) {
    return Windows1252ToUtf8(
        std::string(pkg.header.title, strnlen(pkg.header.title, PAYLOAD_TITLE_SIZE)));
}

} // namespace

std::string FormatUnreadableJson(const std::string& path, const std::vector<Problem>& problems) {
    return "{\n" + PackageNameJson(path) +
           "  \"ok\": false,\n  \"problems\": " + ProblemsJson(problems) + "\n}\n";
}

std::string DestinationForDisplay(const Destination& d) {
    if (d.empty())
        return "(not installed)";
    std::string shown = EscapeForDisplay(d.shown, false);
    if (!d.named.empty())
        shown += " (named " + QuotedName(d.named) + ")";
    return shown;
}

std::string VerdictLine(const InspectedPackage& pkg) {
    size_t bad = pkg.RecordsWithProblems(), all = pkg.records.size();
    const std::string records = std::to_string(all) + (all == 1 ? " record" : " records");
    if (pkg.Sound())
        return "OK (" + records + ")";
    if (bad == 0)
        return "the package as a whole has problems (its " + records + " are OK)";
    std::string line =
        std::to_string(bad) + " of " + records + (bad == 1 ? " has problems" : " have problems");
    return pkg.problems.empty() ? line : line + ", and so has the package as a whole";
}

std::string FormatListingText(const InspectedPackage& pkg, bool digests) {
    std::string out;
    out += "Package:           " + EscapeForDisplay(pkg.path, false) + "\n";
    out += "Title:             \"" + EscapeForDisplay(Title(pkg), true) + "\"\n";
    out += "First file number: " + std::to_string(pkg.header.first_file_number) + "\n";
    out += "Records:           " + std::to_string(pkg.records.size()) + "\n\n";
    out += "    #  Role       Method         Stored     Unpacked       Offset    CRC-32  "
           "Destination\n";
    for (const InspectedRecord& r : pkg.records) {
        const PayloadRecord& p = r.record;
        const bool compressed = IsCompressedRecord(&p);
        out += Padded(std::to_string(r.index), 5, true) + "  " + Padded(r.role, 9, false) + "  " +
               Padded(PayloadMethodName(PayloadMethodOf(&p)), 10, false) + "  " +
               Padded(WithThousands(p.stored_size), 11, true) + "  " +
               Padded(compressed ? WithThousands(p.unpacked_size) : "-", 11, true) + "  " +
               Padded(WithThousands(p.offset), 11, true) + "  " +
               (r.contents_checked ? Hex8(r.crc32) : std::string("--------")) + "  " +
               DestinationForDisplay(r.destination) + "\n";
        for (size_t d = 0; digests && d < r.digests.size(); d++) {
            if (!r.digests[d].empty())
                out += "       " +
                       std::string(hostos::DigestAlgorithmName(pkg.digest_algorithms[d])) + ": " +
                       r.digests[d] + "\n";
        }
        for (const Problem& problem : r.problems)
            out += "       problem: " + ProblemText(problem) + "\n";
    }
    out += "\nInstalled total:   " + WithThousands(pkg.installed_bytes) + " bytes\n";
    for (const Problem& problem : pkg.problems)
        out += "Problem:           " + ProblemText(problem) + "\n";
    for (const Problem& note : pkg.notes)
        out += "Note:              " + ProblemText(note) + "\n";
    out += "Verdict:           " + VerdictLine(pkg) + "\n";
    return out;
}

std::string FormatListingJson(const InspectedPackage& pkg) {
    std::string out = "{\n";
    out += PackageNameJson(pkg.path);
    out += "  \"ok\": " + std::string(pkg.Sound() ? "true" : "false") + ",\n";
    out += "  \"problems\": " + ProblemsJson(pkg.AllProblems()) + ",\n";
    out += "  \"title\": " + JsonString(Title(pkg)) + ",\n";
    out += "  \"first_file_number\": " + std::to_string(pkg.header.first_file_number) + ",\n";
    out += "  \"payload_offset\": " + std::to_string(pkg.location.payload_pos) + ",\n";
    out += "  \"records\": [";
    for (size_t i = 0; i < pkg.records.size(); i++) {
        const InspectedRecord& r = pkg.records[i];
        const PayloadRecord& p = r.record;
        out += i ? ",\n    {" : "\n    {";
        out += "\"index\": " + std::to_string(r.index);
        out += ", \"role\": " + JsonString(r.role);
        out += ", \"destination\": " +
               (r.destination.empty() ? std::string("null") : JsonString(r.destination.shown));
        out +=
            ", \"named_destination\": " +
            (r.destination.named.empty() ? std::string("null") : JsonString(r.destination.named));
        out += ", \"method\": \"" + std::string(PayloadMethodName(PayloadMethodOf(&p))) + "\"";
        out += ", \"stored_size\": " + std::to_string(p.stored_size);
        out += ", \"unpacked_size\": " + std::to_string(p.unpacked_size);
        out += ", \"offset\": " + std::to_string(p.offset);
        out +=
            ", \"extension\": " +
            JsonString(Windows1252ToUtf8(std::string(p.extension, ExtensionLength(p.extension))));
        out += ", \"crc32\": " +
               (r.contents_checked ? "\"" + Hex8(r.crc32) + "\"" : std::string("null"));
        for (size_t d = 0; d < pkg.digest_algorithms.size(); d++) {
            const bool known = d < r.digests.size() && !r.digests[d].empty();
            out += ", \"" + std::string(hostos::DigestAlgorithmName(pkg.digest_algorithms[d])) +
                   "\": " + (known ? "\"" + r.digests[d] + "\"" : std::string("null"));
        }
        out += ", \"problems\": " + ProblemsJson(r.problems) + "}";
    }
    out += pkg.records.empty() ? "],\n" : "\n  ],\n";
    out += "  \"installed_total\": " + std::to_string(pkg.installed_bytes) + ",\n";
    out += "  \"installer_total\": " + std::to_string(pkg.installed_total) + ",\n";
    out += "  \"notes\": " + ProblemsJson(pkg.notes) + ",\n";
    out += "  \"integrity\": \"" + std::string(pkg.Integrity()) + "\",\n";
    out += "  \"signature\": " + SignatureJson(pkg.signature) + ",\n";
    out += "  \"regions\": [";
    for (size_t i = 0; i < pkg.unread.size(); i++) {
        const Region& r = pkg.unread[i];
        out += std::string(i ? ", " : "") + "{\"offset\": " + std::to_string(r.offset) +
               ", \"size\": " + std::to_string(r.size) + ", \"kind\": \"" + RegionKindName(r.kind) +
               "\"}";
    }
    out += "]\n}\n";
    return out;
}

} // namespace glimpack
