// Everything the package library can find in a package or in what is about
// to become one, as one closed list. The reader, the verdict, the package
// session and the build policy each report a finding as a Problem: a code
// from this list, the record it belongs to (if any) and the details its
// text needs. One table (problems.cpp) gives every code its stable name,
// the name scripts match in `--json`, and its text; nothing else words a
// finding. A new finding is a new code and a new row, nothing more.
#ifndef GLIM_PACKAGE_PROBLEMS_H
#define GLIM_PACKAGE_PROBLEMS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/errors.h"

namespace glimpack {

enum class ProblemCode {
    // The file cannot be read as a package at all (nothing else is judged).
    kCannotRead,
    kNotRegularFile,
    kNotPeFile,
    kPeHeadersCutShort,
    kNoResourceSection,
    kResourceDirectoryCutShort,
    kResourceDirectoryInvalid,
    kFirstResourceNotPayload,
    kResourceWalkElsewhere,
    kPayloadHeaderCutShort,
    kPayloadHeaderPastEnd,
    kModuleNameTooLong,
    kTooManyRecords,
    kRecordTableUnterminated,
    kNoRecords,
    // A record's place in the file and its sizes.
    kBodyPastEnd,
    kBodyBeyond2GiB,
    kBodyOverlapsTable,
    kBodyOverlapsBody,
    kBodyOutOfOrder,
    kOverSizeLimit,
    kClaimsTooMuch,
    // Where a record would be written.
    kUnsafeExtension,
    kNoDataDirectoryName,
    kDestinationTooLong,
    kDestinationNoName,
    kDestinationForbiddenCharacter,
    kDestinationDevice,
    kSameDestination,
    // A record's contents, read in full.
    kStreamRunsOut,
    kStreamReadsPastEnd,
    kStoredBytesUnused,
    kBodyCutShort,
    kRecordUnreadable,
    // Worth knowing, not wrong.
    kNoteInstalledTotalWraps,
    kNoteConfirmationShowsNegative,
    kNoteUnreadGap,
    kNoteTrailingData,
    kNoteCertificateTable,
    kNoteSignaturePadding,
    kNoteTableContinues,
    kNoteSigned,
    kNoteSignatureNotChecked,
    kNoteMoreSignatures,
    // A signature that no longer holds.
    kChangedAfterSigning,
    kSignatureInvalid,
    kSignatureMalformed,
    kSignatureDoesNotCover,
    // What pack and the page refuse to build.
    kPackageNameNotWindows,
    kExtensionCharacter,
    kExtensionEmpty,
    kExtensionTooLong,
    kInputEmpty,
    kInputTooLarge,
    kInputOverLimit,
    kInputGrewOverLimit,
    kPackageTooLarge,
    kTitleNotWindows1252,
    kTitleTooLong,
    kBuiltPackageFails,
    // A stub a package cannot be built on.
    kStubNotPeFile,
    kStubNotPe32,
    kStubSigned,
    kStubNoResourceSection,
    kStubResourceSectionNotLast,
    kStubResourceSectionNotAtEnd,
    kStubFirstResourceNotPayload,
    kStubPayloadResourceSize,
    kStubPayloadResourceNotLast,
    kStubPayloadResourceOutside,
    kStubWalkElsewhere,
    kStubResourceDirectoryInvalid,
};

// Whether a finding keeps the package from being used, or only says
// something worth knowing about it.
enum class Severity { kProblem, kNote };

struct Problem {
    ProblemCode code;
    // The record it is about; none for the package as a whole.
    std::optional<uint32_t> record;
    // The details the code's text takes ({0}, {1} ...), already worded: a
    // number with its thousands, a quoted name.
    std::vector<std::string> details;
};

// The stable name of a code ("body-past-end"), what `--json` and the page's
// answers give as "code".
const char* ProblemCodeName(ProblemCode code);
Severity SeverityOf(ProblemCode code);
// The finding in words, without the record ("body past the end of the file
// (ends at 9,000, the file has 8,000 bytes)").
std::string ProblemText(const Problem& problem);
// With "record N: " in front when it belongs to a record.
std::string ProblemLine(const Problem& problem);

// Every code with its name and the text template its details fill in, in the
// table's order: for the documentation and for checking the texts.
struct ProblemRow {
    ProblemCode code;
    const char* name;
    Severity severity;
    const char* text; // "{0}" ... stand for the details
};
const std::vector<ProblemRow>& ProblemTable();

// One problem as a JSON object: {"code": ..., "text": ..., "record": N};
// "record" only where it belongs to one.
std::string ProblemJson(const Problem& problem);
std::string ProblemsJson(const std::vector<Problem>& problems);

// Several problems in one line, "record 3: PROBLEM; record 4: ...", for a
// refusal: the first few named, then how many more and `how_to_see_all` (a
// hint such as "glimpack list shows them all"; may be "").
std::string ProblemsInOneLine(const std::vector<Problem>& problems,
                              const std::string& how_to_see_all = "");

// A package, or what was about to become one, refused for `problems` (at
// least one): a ToolError whose text is "FILE: record N: text; ...",
// carrying the findings so that callers can tell them by their codes.
class PackageError : public ToolError {
  public:
    PackageError(std::string file, std::vector<Problem> problems,
                 const std::string& how_to_see_all = "");
    const std::string& file() const { return file_; }
    const Problem& problem() const { return problems_.front(); }
    const std::vector<Problem>& problems() const { return problems_; }

  private:
    std::string file_;
    std::vector<Problem> problems_;
};

// Throw PackageError.
[[noreturn]] void Refuse(const std::string& file, Problem problem);
[[noreturn]] void Refuse(const std::string& file, ProblemCode code,
                         std::vector<std::string> details = {});
[[noreturn]] void Refuse(const std::string& file, std::vector<Problem> problems,
                         const std::string& how_to_see_all);

// Details as the texts word them: "1,234", "\"NAME\"" (escaped for one line).
std::string Count(uint64_t value);
std::string QuotedName(const std::string& utf8);

} // namespace glimpack

#endif
