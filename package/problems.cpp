#include "package/problems.h"

#include <stdexcept>
#include <utility>

#include "package/text.h"

namespace glimpack {
namespace {

using C = ProblemCode;
constexpr Severity P = Severity::kProblem;
constexpr Severity N = Severity::kNote;

// The one table: every code, its stable name and its text. Names are
// kebab-case and never change once released (scripts match them); texts may
// be reworded. "{k}" is the k-th detail.
const std::vector<ProblemRow> kTable = {
    {C::kCannotRead, "cannot-read", P, "{0}"},
    {C::kNotRegularFile, "not-a-regular-file", P, "not a regular file"},
    {C::kNotPeFile, "not-a-pe-file", P, "not a PE file (no MZ header or PE signature)"},
    {C::kPeHeadersCutShort, "pe-headers-cut-short", P, "file ends inside its PE headers"},
    {C::kNoResourceSection, "no-resource-section", P,
     "no resource section (.rsrc) in the section table"},
    {C::kResourceDirectoryCutShort, "resource-directory-cut-short", P,
     "file ends inside its resource directory"},
    {C::kResourceDirectoryInvalid, "resource-directory-invalid", P, "not a package: {0}"},
    {C::kFirstResourceNotPayload, "first-resource-not-payload", P,
     "not a package: its first resource type is {0}, not \"LASTRES\" (an ordinary program?)"},
    {C::kResourceWalkElsewhere, "resource-walk-elsewhere", P,
     "not a package: its resource directory does not lead where the installer reads it"},
    {C::kPayloadHeaderCutShort, "payload-header-cut-short", P,
     "not a package: its payload header at {0} is cut short by the end of the file ({1} bytes)"},
    {C::kPayloadHeaderPastEnd, "payload-header-past-end", P,
     "not a package: its payload header at {0} lies past the end of the file ({1} bytes)"},
    {C::kModuleNameTooLong, "file-name-too-long", P,
     "file name too long for the installer's 256-character path buffer"},
    {C::kTooManyRecords, "too-many-records", P,
     "record table has more than {0} records and no terminator"},
    {C::kRecordTableUnterminated, "record-table-unterminated", P,
     "record table runs past the end of the file (no terminating record)"},
    {C::kNoRecords, "no-records", P, "not a package: its record table is empty (no saver)"},

    {C::kBodyPastEnd, "body-past-end", P,
     "body past the end of the file (ends at {0}, the file has {1} bytes)"},
    {C::kBodyBeyond2GiB, "body-beyond-2gib", P,
     "body beyond 2 GiB, where the installer cannot read"},
    {C::kBodyOverlapsTable, "body-overlaps-table", P, "body overlaps the record table"},
    {C::kBodyOverlapsBody, "body-overlaps-body", P, "body overlaps the body of record {0}"},
    {C::kBodyOutOfOrder, "body-out-of-order", P,
     "body lies before the body of record {0} (bodies out of record order)"},
    {C::kOverSizeLimit, "over-size-limit", P,
     "{0} size {1} is over the limit of {2} bytes (see --max-size)"},
    {C::kClaimsTooMuch, "claims-too-much", P,
     "claims {0} bytes, more than a stream of {1} bytes can decode to ({2})"},

    {C::kUnsafeExtension, "unsafe-extension", P, "unsafe file-name extension {0} in the record"},
    {C::kNoDataDirectoryName, "no-data-directory-name", P,
     "the package's file name gives no data directory name"},
    {C::kDestinationTooLong, "destination-too-long", P,
     "destination path longer than {0} characters, the installer's limit"},
    {C::kDestinationNoName, "destination-no-name", P,
     "destination {0}: {1} names no file once Windows drops its trailing dots and blanks"},
    {C::kDestinationForbiddenCharacter, "destination-forbidden-character", P,
     "destination {0}: {1} holds a character Windows does not allow in names ({2})"},
    {C::kDestinationDevice, "destination-device-name", P,
     "destination {0}: {1} is a device name on Windows"},
    {C::kSameDestination, "same-destination", P, "same destination as record {0}: {1}"},

    {C::kStreamRunsOut, "stream-runs-out", P,
     "its stream runs out after {0} of {1} bytes: its stored bytes cannot give the unpacked size"},
    {C::kStreamReadsPastEnd, "stream-reads-past-end", P,
     "its stream reads past the end of its {0} stored bytes to give its {1} unpacked bytes"},
    {C::kStoredBytesUnused, "stored-bytes-unused", P,
     "{0} stored bytes left unread after the unpacked size"},
    {C::kBodyCutShort, "body-cut-short", P, "body cut short by the end of the file"},
    {C::kRecordUnreadable, "record-unreadable", P, "{0}"},

    {C::kNoteInstalledTotalWraps, "installed-total-wraps", N,
     "the installed total of {0} bytes wraps in the installer's 32-bit count, which shows {1} "
     "bytes"},
    {C::kNoteConfirmationShowsNegative, "confirmation-shows-negative", N,
     "the installer's confirmation would say the installation will take {0} bytes: it shows "
     "its 32-bit total as a signed number"},
    {C::kNoteUnreadGap, "unread-gap", N,
     "{0} bytes at offset {1}, between {2} and {3}, that the installer never reads"},
    {C::kNoteTrailingData, "trailing-data", N,
     "{0} bytes at offset {1}, after {2}, that the installer never reads"},
    {C::kNoteCertificateTable, "certificate-table", N,
     "a certificate table of {0} bytes at offset {1} (a signature), which the installer never "
     "reads"},
    {C::kNoteSignaturePadding, "signature-padding", N,
     "{0} zero bytes at offset {1} align the certificate table"},
    {C::kNoteTableContinues, "table-continues", N,
     "the record table seems to go on past its terminating entry: {0}, which the installer "
     "never reads"},
    {C::kNoteSigned, "signed", N,
     "signed with {0}: the file is as it was signed, by {1}, issued by {2}{3}; whether that "
     "certificate chains to a trusted root is not checked"},
    {C::kNoteSignatureNotChecked, "signature-not-checked", N,
     "the file carries a signature, which cannot be checked here"},
    {C::kNoteMoreSignatures, "more-signatures", N,
     "the signature carries {0} of its own, which this check does not cover"},
    {C::kChangedAfterSigning, "changed-after-signing", P,
     "changed after signing: its {0} digest is not the one its signature holds"},
    {C::kSignatureInvalid, "signature-invalid", P, "its signature does not hold ({0})"},
    {C::kSignatureMalformed, "signature-malformed", P,
     "its certificate table cannot be read as a signature ({0})"},
    {C::kSignatureDoesNotCover, "signature-does-not-cover", P,
     "the signature no longer covers this file: its certificate table, at offset {0}, does not "
     "end the file"},

    {C::kPackageNameNotWindows, "package-name-not-windows", P,
     "not a name a package can have on Windows: {0}"},
    {C::kExtensionCharacter, "extension-character", P,
     "extension {0} cannot be used in a file name (use letters, digits or {1})"},
    {C::kExtensionEmpty, "extension-empty", P,
     "extension \".\" cannot be used in a file name (nothing follows the dot)"},
    {C::kExtensionTooLong, "extension-too-long", P,
     "extension {0} has {1} characters after the dot; at most 3 fit"},
    {C::kInputEmpty, "input-empty", P,
     "empty file (a stored size of 0 would end the record table)"},
    {C::kInputTooLarge, "input-too-large", P, "too large for a package"},
    {C::kInputOverLimit, "input-over-limit", P,
     "{0} bytes, over the limit of {1} bytes (see --max-size)"},
    {C::kInputGrewOverLimit, "input-grew-over-limit", P, "more than {0} bytes, over the limit{1}"},
    {C::kPackageTooLarge, "package-too-large", P,
     "the package would need {0} bytes or more; the installer reads packages of at most {1} "
     "bytes"},
    {C::kTitleNotWindows1252, "title-not-windows-1252", P, "the title {0}"},
    {C::kTitleTooLong, "title-too-long", P,
     "the title is {0} bytes in Windows-1252; at most 32 fit"},
    {C::kBuiltPackageFails, "built-package-fails", P,
     "the package built would not pass its own test"},

    {C::kStubNotPeFile, "stub-not-pe-file", P, "not a PE file ({0})"},
    {C::kStubNotPe32, "stub-not-pe32", P,
     "not a 32-bit PE file with the standard 224-byte optional header"},
    {C::kStubSigned, "stub-signed", P, "not a usable stub: {0}"},
    {C::kStubNoResourceSection, "stub-no-resource-section", P,
     "not a usable stub: no \".rsrc\" section"},
    {C::kStubResourceSectionNotLast, "stub-resource-section-not-last", P,
     "not a usable stub: \".rsrc\" is not the last section in the file"},
    {C::kStubResourceSectionNotAtEnd, "stub-resource-section-not-at-end", P,
     "not a usable stub: the raw data of \".rsrc\" ends at {0}, not at the end of the file ({1})"},
    {C::kStubFirstResourceNotPayload, "stub-first-resource-not-payload", P,
     "not a usable stub: the first resource type is not \"LASTRES\""},
    {C::kStubPayloadResourceSize, "stub-payload-resource-size", P,
     "not a usable stub: the \"LASTRES\" data entry declares {0} bytes, not 4"},
    {C::kStubPayloadResourceNotLast, "stub-payload-resource-not-last", P,
     "not a usable stub: the \"LASTRES\" data does not end the resource section's virtual size"},
    {C::kStubPayloadResourceOutside, "stub-payload-resource-outside", P,
     "not a usable stub: the \"LASTRES\" data lies outside the raw data of \".rsrc\""},
    {C::kStubWalkElsewhere, "stub-walk-elsewhere", P,
     "not a usable stub: the installer's own walk of its headers would find the payload at {0}, "
     "not at the \"LASTRES\" data ({1})"},
    {C::kStubResourceDirectoryInvalid, "stub-resource-directory-invalid", P,
     "not a usable stub: {0}"},
};

const ProblemRow& Row(ProblemCode code) {
    // The table is in the enumeration's order; the unit tests hold it to that.
    const size_t index = static_cast<size_t>(code);
    if (index >= kTable.size() || kTable[index].code != code)
        throw std::logic_error("problem table out of order");
    return kTable[index];
}

} // namespace

const std::vector<ProblemRow>& ProblemTable() {
    return kTable;
}

const char* ProblemCodeName(ProblemCode code) {
    return Row(code).name;
}

Severity SeverityOf(ProblemCode code) {
    return Row(code).severity;
}

std::string ProblemText(const Problem& problem) {
    const char* text = Row(problem.code).text;
    std::string out;
    for (const char* p = text; *p; p++) {
        if (*p == '{' && p[1] >= '0' && p[1] <= '9' && p[2] == '}') {
            size_t k = size_t(p[1] - '0');
            if (k < problem.details.size())
                out += problem.details[k];
            p += 2;
            continue;
        }
        out += *p;
    }
    return out;
}

std::string ProblemLine(const Problem& problem) {
    std::string text = ProblemText(problem);
    return problem.record ? "record " + std::to_string(*problem.record) + ": " + text : text;
}

std::string ProblemJson(const Problem& problem) {
    std::string out = "{\"code\": \"" + std::string(ProblemCodeName(problem.code)) +
                      "\", \"text\": " + JsonString(ProblemText(problem));
    if (problem.record)
        out += ", \"record\": " + std::to_string(*problem.record);
    return out + "}";
}

std::string ProblemsJson(const std::vector<Problem>& problems) {
    std::string out = "[";
    for (size_t k = 0; k < problems.size(); k++)
        out += (k ? ", " : "") + ProblemJson(problems[k]);
    return out + "]";
}

std::string ProblemsInOneLine(const std::vector<Problem>& problems,
                              const std::string& how_to_see_all) {
    constexpr size_t kNamed = 5;
    std::string line;
    for (size_t k = 0; k < problems.size() && k < kNamed; k++)
        line += (k ? "; " : "") + ProblemLine(problems[k]);
    if (problems.size() > kNamed)
        line += "; and " + std::to_string(problems.size() - kNamed) + " more" +
                (how_to_see_all.empty() ? "" : " (" + how_to_see_all + ")");
    return line;
}

PackageError::PackageError(std::string file, std::vector<Problem> problems,
                           const std::string& how_to_see_all)
    : ToolError(file + ": " + ProblemsInOneLine(problems, how_to_see_all)), file_(std::move(file)),
      problems_(std::move(problems)) {
    if (problems_.empty())
        throw std::logic_error("a refusal without a problem");
}

void Refuse(const std::string& file, Problem problem) {
    throw PackageError(file, {std::move(problem)});
}

void Refuse(const std::string& file, ProblemCode code, std::vector<std::string> details) {
    Refuse(file, Problem{code, std::nullopt, std::move(details)});
}

void Refuse(const std::string& file, std::vector<Problem> problems,
            const std::string& how_to_see_all) {
    throw PackageError(file, std::move(problems), how_to_see_all);
}

std::string Count(uint64_t value) {
    return WithThousands(value);
}

std::string QuotedName(const std::string& utf8) {
    return "\"" + EscapeForDisplay(utf8, true) + "\"";
}

} // namespace glimpack
