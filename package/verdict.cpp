#include "package/verdict.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include "base/text.h"
#include "base/windows_names.h"
#include "decoder/decoder.h"
#include "format/naming.h"
#include "package/text.h"

namespace glimpack {
namespace {

// A record's own bytes (its extension) are Windows-1252.
std::string Quoted1252(const std::string& text_1252) {
    return QuotedName(Windows1252ToUtf8(text_1252));
}

void Add(InspectedRecord& r, ProblemCode code, std::vector<std::string> details = {}) {
    r.problems.push_back(Problem{code, r.index, std::move(details)});
}

// Whether `name` names a device read as UTF-8 text. A package's own name
// comes from the host, where it is UTF-8; copied to Windows, the installer
// reads the same file name in the ANSI code page, where COM followed by a
// superscript 1 is four characters and a device, not the five bytes UTF-8
// gives it here. (Read as bytes, WindowsNameFaultOf has already asked.)
bool NamesADeviceAsUtf8(const std::string& name) {
    if (std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; }))
        return false; // ASCII reads the same both ways
    std::vector<unsigned int> units;
    for (size_t pos = 0; pos < name.size();) {
        uint32_t code_point = 0;
        size_t length = DecodeUnicode(name, pos, &code_point);
        if (length == 0)
            return false; // not UTF-8: the bytes are all there is to read
        units.push_back(code_point);
        pos += length;
    }
    return IsWindowsDeviceName(units.data(), units.size()) != 0;
}

// Why one component of a destination cannot be a file or folder of its own
// on Windows; WINDOWS_NAME_PLAIN when it can. `name` is as Windows stores it.
WindowsNameFault JudgeName(const std::string& name, size_t* at) {
    WindowsNameFault fault = WindowsNameFaultOf(name.data(), name.size(), at);
    if (fault == WINDOWS_NAME_PLAIN && NamesADeviceAsUtf8(name))
        return WINDOWS_NAME_DEVICE;
    return fault;
}

// Why the installer's naming gave record `r` no path at all.
void NoPath(InspectedRecord& r, const std::string& module_path) {
    char base[GLIM_PATH_CAPACITY];
    if (r.index >= 2 && !IsSafeExtension(r.record.extension))
        Add(r, ProblemCode::kUnsafeExtension,
            {Quoted1252(std::string(r.record.extension, ExtensionLength(r.record.extension)))});
    else if (r.index >= 1 && !GetInstallerBaseName(module_path.c_str(), base, sizeof base))
        // "..EXE" leaves "." as the base name, which would name the
        // GLIMLOOM directory itself rather than a data directory in it.
        Add(r, ProblemCode::kNoDataDirectoryName);
    else
        Add(r, ProblemCode::kDestinationTooLong, {std::to_string(GLIM_PATH_CAPACITY - 1)});
}

// The destination of record `r`, resolved once: the installer's path for it
// below the Windows directory, taken apart into the components Windows will
// store, each judged once; or the problem that keeps it from having one.
void NameRecord(InspectedRecord& r, uint16_t first_file_number, const std::string& module_path) {
    char path[GLIM_PATH_CAPACITY];
    if (!BuildRecordPath(r.index, &r.record, first_file_number, module_path.c_str(), path,
                         sizeof path)) {
        NoPath(r, module_path);
        return;
    }
    // The installer holds the Windows directory and "\" in front of it in
    // the same buffer.
    const size_t length = std::strlen(path);
    if (std::strlen(EMULATED_WINDOWS_DIRECTORY) + 1 + length >= GLIM_PATH_CAPACITY) {
        Add(r, ProblemCode::kDestinationTooLong, {std::to_string(GLIM_PATH_CAPACITY - 1)});
        return;
    }
    const std::string named(path, length);
    Destination d;
    size_t pos = 0, start = 0, count = 0;
    while (NextPathComponent(path, length, &pos, &start, &count)) {
        // Every name on the way must be one Windows takes as a plain name,
        // or the installer would write to a device ("CON.EXE" installs
        // CON.SCR) or to an alternate stream ("a:b.exe").
        std::string name(path + start, WithoutTrailingDotsAndBlanks(path + start, count));
        size_t at = 0;
        switch (JudgeName(name, &at)) {
        case WINDOWS_NAME_PLAIN:
            d.components.push_back(name);
            continue;
        case WINDOWS_NAME_EMPTY:
            Add(r, ProblemCode::kDestinationNoName,
                {QuotedName(named), QuotedName(std::string(path + start, count))});
            return;
        case WINDOWS_NAME_FORBIDDEN_CHARACTER:
            Add(r, ProblemCode::kDestinationForbiddenCharacter,
                {QuotedName(named), QuotedName(name), QuotedName(name.substr(at, 1))});
            return;
        case WINDOWS_NAME_DEVICE:
            Add(r, ProblemCode::kDestinationDevice, {QuotedName(named), QuotedName(name)});
            return;
        }
    }
    for (const std::string& name : d.components)
        d.shown += (d.shown.empty() ? "" : "\\") + name;
    if (d.shown != named)
        d.named = named;
    r.destination = std::move(d);
}

// Where each body lies, against the record table and the bodies before it
// in the table: the installer seeks to each body on its own, but a body on
// top of another, or of the table, means one of them is not what it claims.
class BodyPlacement {
  public:
    explicit BodyPlacement(uint64_t table_end) : table_end_(table_end) {}

    // `r` whose body lies inside the file (one that does not is a problem of
    // its own, and says nothing of the order of the others).
    void Judge(InspectedRecord& r) {
        const uint64_t begin = r.record.offset, end = begin + r.record.stored_size;
        if (begin < table_end_) {
            Add(r, ProblemCode::kBodyOverlapsTable);
        } else if (const uint32_t* other = Overlapping(begin, end)) {
            Add(r, ProblemCode::kBodyOverlapsBody, {std::to_string(*other)});
        } else if (begin < furthest_end_) {
            Add(r, ProblemCode::kBodyOutOfOrder, {std::to_string(furthest_record_)});
        }
        if (end > furthest_end_) {
            furthest_end_ = end;
            furthest_record_ = r.index;
        }
        if (end > begin && begin >= table_end_)
            placed_.emplace(begin, Placed{end, r.index});
    }

  private:
    struct Placed {
        uint64_t end;
        uint32_t index;
    };
    // A body placed so far that shares a byte with [begin, end), if any.
    const uint32_t* Overlapping(uint64_t begin, uint64_t end) const {
        auto next = placed_.lower_bound(begin);
        if (next != placed_.end() && next->first < end)
            return &next->second.index;
        if (next != placed_.begin()) {
            auto before = std::prev(next);
            if (before->second.end > begin)
                return &before->second.index;
        }
        return nullptr;
    }

    uint64_t table_end_;
    uint64_t furthest_end_ = 0;
    uint32_t furthest_record_ = 0;
    // Bodies placed so far by where they begin; those that overlap one
    // already placed are not placed, so the map's bodies never overlap.
    std::multimap<uint64_t, Placed> placed_;
};

void JudgeSizes(InspectedRecord& r, const InspectedPackage& pkg, const Limits& limits) {
    const PayloadRecord& rec = r.record;
    const uint64_t end = uint64_t(rec.offset) + rec.stored_size;
    if (end > pkg.file_size)
        Add(r, ProblemCode::kBodyPastEnd, {Count(end), Count(pkg.file_size)});
    else if (end > PACKAGE_MAX_SIZE)
        Add(r, ProblemCode::kBodyBeyond2GiB);
    const uint64_t size = InstalledSize(&rec);
    if (size > limits.max_size)
        Add(r, ProblemCode::kOverSizeLimit,
            {IsCompressedRecord(&rec) ? "unpacked" : "stored", Count(size),
             Count(limits.max_size)});
    else if (IsCompressedRecord(&rec) && rec.unpacked_size > MaxUnpackedSize(rec.stored_size))
        Add(r, ProblemCode::kClaimsTooMuch,
            {Count(rec.unpacked_size), Count(rec.stored_size),
             Count(MaxUnpackedSize(rec.stored_size))});
}

void NoteTotals(InspectedPackage& pkg) {
    if (pkg.installed_bytes > 0xFFFFFFFFull)
        pkg.notes.push_back(Problem{ProblemCode::kNoteInstalledTotalWraps,
                                    std::nullopt,
                                    {Count(pkg.installed_bytes), Count(pkg.installed_total)}});
    // The confirmation shows the installer's 32-bit total as a signed number.
    if (pkg.installed_total > 0x7FFFFFFFu)
        pkg.notes.push_back(Problem{ProblemCode::kNoteConfirmationShowsNegative,
                                    std::nullopt,
                                    {"-" + Count(0x100000000ull - pkg.installed_total)}});
}

// What else the file holds, range by range, and a record table that seems
// to go on: notes, since the installer reads none of it.
void NoteUnread(InspectedPackage& pkg) {
    for (const Region& region : pkg.unread) {
        const std::string size = Count(region.size), at = Count(region.offset);
        switch (region.kind) {
        case RegionKind::kGap:
            pkg.notes.push_back(Problem{ProblemCode::kNoteUnreadGap,
                                        std::nullopt,
                                        {size, at, region.before, region.after}});
            break;
        case RegionKind::kTrailingData:
            pkg.notes.push_back(
                Problem{ProblemCode::kNoteTrailingData, std::nullopt, {size, at, region.before}});
            break;
        case RegionKind::kCertificateTable:
            pkg.notes.push_back(
                Problem{ProblemCode::kNoteCertificateTable, std::nullopt, {size, at}});
            break;
        case RegionKind::kSignaturePadding:
            pkg.notes.push_back(
                Problem{ProblemCode::kNoteSignaturePadding, std::nullopt, {size, at}});
            break;
        case RegionKind::kSectionPadding:
            break; // what every builder leaves: accounted for, not worth a note
        }
    }
    if (const uint32_t n = pkg.entries_past_terminator)
        pkg.notes.push_back(Problem{ProblemCode::kNoteTableContinues,
                                    std::nullopt,
                                    {n == 1 ? "1 more entry there looks like a record"
                                            : Count(n) + " more entries there look like records"}});
}

// The signature, as it holds or does not: a broken one is a problem of the
// package as a whole (what was signed is not what is here); a sound one, or
// one that cannot be checked here, a note.
void JudgeSignature(InspectedPackage& pkg) {
    using glim::pe::SignatureOutcome;
    const glim::pe::SignatureReport& s = pkg.signature;
    std::string fault = glim::pe::SignatureFaultName(s.fault);
    std::replace(fault.begin(), fault.end(), '-', ' ');
    auto problem = [&](ProblemCode code, std::vector<std::string> details) {
        pkg.problems.push_back(Problem{code, std::nullopt, std::move(details)});
    };
    auto note = [&](ProblemCode code, std::vector<std::string> details) {
        pkg.notes.push_back(Problem{code, std::nullopt, std::move(details)});
    };
    switch (s.outcome) {
    case SignatureOutcome::Unsigned:
        return;
    case SignatureOutcome::Intact:
        note(ProblemCode::kNoteSigned, {s.algorithm, QuotedName(s.subject), QuotedName(s.issuer),
                                        s.signing_time.empty() ? "" : ", at " + s.signing_time});
        break;
    case SignatureOutcome::CannotCheck:
        note(ProblemCode::kNoteSignatureNotChecked, {});
        return;
    case SignatureOutcome::ChangedAfterSigning:
        problem(ProblemCode::kChangedAfterSigning, {s.algorithm});
        break;
    case SignatureOutcome::SignatureInvalid:
        problem(ProblemCode::kSignatureInvalid, {fault});
        break;
    case SignatureOutcome::Malformed:
        problem(ProblemCode::kSignatureMalformed, {fault});
        break;
    case SignatureOutcome::NotAtEnd:
        problem(ProblemCode::kSignatureDoesNotCover, {Count(s.table_offset)});
        break;
    }
    const size_t more = s.nested_signature_count + s.countersignature_count +
                        (s.entry_count > 1 ? s.entry_count - 1 : 0);
    if (more)
        note(ProblemCode::kNoteMoreSignatures,
             {more == 1 ? "1 signature" : std::to_string(more) + " signatures"});
}

} // namespace

void JudgeDestinations(InspectedPackage& pkg) {
    std::map<std::string, uint32_t> destinations; // upper-cased: Windows ignores case
    for (InspectedRecord& r : pkg.records) {
        NameRecord(r, pkg.header.first_file_number, pkg.module_path);
        if (r.destination.empty())
            continue;
        std::string key = r.destination.shown;
        UpperCaseText(key.data());
        auto [it, fresh] = destinations.emplace(key, r.index);
        if (!fresh)
            Add(r, ProblemCode::kSameDestination,
                {std::to_string(it->second), QuotedName(r.destination.shown)});
    }
}

void JudgeStructure(InspectedPackage& pkg, const Limits& limits) {
    for (InspectedRecord& r : pkg.records) {
        r.problems.clear();
        r.destination = Destination();
        r.contents_checked = false;
        r.crc32 = 0;
        r.digests.clear();
    }
    pkg.notes.clear();
    pkg.problems.clear();
    JudgeSignature(pkg);
    JudgeDestinations(pkg);
    BodyPlacement placement(pkg.table_end);
    pkg.installed_bytes = 0;
    for (InspectedRecord& r : pkg.records) {
        JudgeSizes(r, pkg, limits);
        if (uint64_t(r.record.offset) + r.record.stored_size <= pkg.file_size)
            placement.Judge(r);
        pkg.installed_bytes += InstalledSize(&r.record);
    }
    NoteTotals(pkg);
    NoteUnread(pkg);
}

void JudgeContents(InspectedRecord& r, const StreamResult& s) {
    if (s.ran_out_of_input && s.bytes < r.record.unpacked_size)
        Add(r, ProblemCode::kStreamRunsOut, {Count(s.bytes), Count(r.record.unpacked_size)});
    else if (s.ran_out_of_input)
        Add(r, ProblemCode::kStreamReadsPastEnd,
            {Count(r.record.stored_size), Count(r.record.unpacked_size)});
    else if (s.stored_bytes_unused)
        Add(r, ProblemCode::kStoredBytesUnused, {Count(s.stored_bytes_unused)});
    else if (s.short_body)
        Add(r, ProblemCode::kBodyCutShort);
    r.contents_checked = r.problems.empty();
    r.crc32 = r.contents_checked ? s.crc32 : 0;
    r.digests = r.contents_checked ? s.digests : std::vector<std::string>();
}

} // namespace glimpack
