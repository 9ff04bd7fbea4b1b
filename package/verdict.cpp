#include "package/verdict.h"

#include <algorithm>
#include <map>
#include <vector>

#include "base/text.h"
#include "base/windows_names.h"
#include "decoder/decoder.h"
#include "format/naming.h"
#include "hostos/os.h"
#include "package/text.h"

namespace glimpack {
namespace {

// A record's own bytes (its extension) are Windows-1252.
std::string Quoted(const std::string& text_1252) {
    return "\"" + EscapeForDisplay(Windows1252ToUtf8(text_1252), true) + "\"";
}

// A destination is made from the package's host name, so it is host text,
// shown as list, test and extract show it.
std::string QuotedDestination(const std::string& host_text) {
    return "\"" + EscapeForDisplay(host_text, true) + "\"";
}

// Whether `name` names a device, read either way it may be meant: as the
// installer's Windows-1252 bytes, or as UTF-8. A package's own name comes
// from the host, where it is UTF-8; copied to Windows, the installer reads
// the same file name in the ANSI code page, where COM followed by a
// superscript 1 is four characters and a device, not the five bytes UTF-8
// gives it here.
bool NamesADevice(const std::string& name) {
    if (IsWindowsDeviceName(name.c_str(), name.size()))
        return true;
    if (std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; }))
        return false; // ASCII reads the same both ways
    std::vector<unsigned int> units;
    for (size_t pos = 0; pos < name.size();) {
        uint32_t code_point = 0;
        size_t length = hostos::DecodeUtf8(name, pos, &code_point);
        if (length == 0)
            return false; // not UTF-8: the bytes are all there is to read
        units.push_back(code_point);
        pos += length;
    }
    return IsWindowsDeviceName(units.data(), units.size()) != 0;
}

// Why a name Windows would take for something else: the device it names, or
// the first character it refuses.
std::string WhyNotAName(const std::string& name) {
    if (NamesADevice(name))
        return "a device name on Windows";
    for (unsigned char c : name) {
        if (c < 0x20 || std::string("<>:\"|?*\\/").find(char(c)) != std::string::npos)
            return "holds a character Windows does not allow in names";
    }
    return "not a file name Windows accepts";
}

// The destination of record `r` relative to the Windows directory, as the
// installer builds it, or the problem that keeps it from having one.
void NameRecord(InspectedRecord& r, uint16_t first_file_number, const std::string& module_path) {
    char dest[GLIM_PATH_CAPACITY];
    if (!BuildRecordDestination(r.index, &r.record, first_file_number, kWindowsDirectory,
                                module_path.c_str(), dest, sizeof dest)) {
        char base[GLIM_PATH_CAPACITY];
        size_t ext_length = ExtensionLength(r.record.extension);
        if (r.index >= 2 && !IsSafeExtension(r.record.extension))
            r.problems.push_back("unsafe file-name extension " +
                                 Quoted(std::string(r.record.extension, ext_length)) +
                                 " in the record");
        else if (r.index >= 1 && !GetInstallerBaseName(module_path.c_str(), base, sizeof base))
            // "..EXE" leaves "." as the base name, which would name the
            // GLIMLOOM directory itself rather than a data directory in it.
            r.problems.push_back("the package's file name gives no data directory name");
        else
            r.problems.push_back("destination path longer than " +
                                 std::to_string(GLIM_PATH_CAPACITY - 1) +
                                 " characters, the installer's limit");
        return;
    }
    size_t prefix = std::string(kWindowsDirectory).size() + 1;
    std::string d = dest;
    r.destination = d.size() > prefix ? d.substr(prefix) : d;
    // Every name on the way must be one Windows takes as a plain name, or
    // the installer would write to a device ("CON.EXE" installs CON.SCR) or
    // to an alternate stream ("a:b.exe").
    size_t pos = 0, start = 0, count = 0;
    while (NextPathComponent(r.destination.data(), r.destination.size(), &pos, &start, &count)) {
        std::string name = r.destination.substr(start, count);
        name.resize(WithoutTrailingDotsAndBlanks(name.data(), name.size()));
        if (!IsPlainWindowsName(name.c_str(), name.size()) || NamesADevice(name)) {
            r.problems.push_back("destination " + QuotedDestination(r.destination) + ": " +
                                 QuotedDestination(name) + " is " + WhyNotAName(name));
            r.destination.clear();
            return;
        }
    }
}

} // namespace

void JudgeDestinations(InspectedPackage& pkg) {
    std::map<std::string, uint32_t> destinations; // upper-cased: Windows ignores case
    for (InspectedRecord& r : pkg.records) {
        NameRecord(r, pkg.header.first_file_number, pkg.module_path);
        if (r.destination.empty())
            continue;
        std::string key = r.destination;
        UpperCaseText(key.data());
        auto [it, fresh] = destinations.emplace(key, r.index);
        if (!fresh)
            r.problems.push_back("same destination as record " + std::to_string(it->second) + ": " +
                                 QuotedDestination(r.destination));
    }
}

void JudgeStructure(InspectedPackage& pkg, const Limits& limits) {
    for (InspectedRecord& r : pkg.records) {
        r.problems.clear();
        r.destination.clear();
        r.contents_checked = false;
        r.crc32 = 0;
    }
    pkg.notes.clear();
    JudgeDestinations(pkg);
    uint64_t expected = pkg.table_end;
    pkg.installed_bytes = 0;
    for (InspectedRecord& r : pkg.records) {
        const PayloadRecord& rec = r.record;
        uint64_t begin = rec.offset, end = begin + rec.stored_size;
        if (end > pkg.file_size)
            r.problems.push_back("body past the end of the file (ends at " + WithThousands(end) +
                                 ", the file has " + WithThousands(pkg.file_size) + " bytes)");
        else if (end > PACKAGE_MAX_SIZE)
            r.problems.push_back("body beyond 2 GiB, where the installer cannot read");
        if (begin < pkg.table_end)
            r.problems.push_back("body overlaps the record table");
        else if (begin < expected)
            r.problems.push_back("body overlaps the previous body");
        if (end > expected)
            expected = end;

        uint64_t size = InstalledSize(&rec);
        pkg.installed_bytes += size;
        if (size > limits.max_size)
            r.problems.push_back(std::string(rec.unpacked_size ? "unpacked" : "stored") + " size " +
                                 WithThousands(size) + " is over the limit of " +
                                 WithThousands(limits.max_size) + " bytes (see --max-size)");
        else if (rec.unpacked_size && rec.unpacked_size > MaxUnpackedSize(rec.stored_size))
            r.problems.push_back("claims " + WithThousands(rec.unpacked_size) +
                                 " bytes, more than a stream of " + WithThousands(rec.stored_size) +
                                 " bytes can decode to (" +
                                 WithThousands(MaxUnpackedSize(rec.stored_size)) + ")");
    }
    if (pkg.installed_bytes > 0xFFFFFFFFull)
        pkg.notes.push_back("the installed total of " + WithThousands(pkg.installed_bytes) +
                            " bytes wraps in the installer's 32-bit count, which shows " +
                            WithThousands(pkg.installed_total) + " bytes");
}

void JudgeContents(InspectedRecord& r, const StreamResult& s) {
    if (s.ran_out_of_input)
        r.problems.push_back("its stream runs out after " + WithThousands(s.bytes) + " of " +
                             WithThousands(r.record.unpacked_size) +
                             " bytes: its stored bytes cannot give the unpacked size");
    else if (s.stored_bytes_unused)
        r.problems.push_back(WithThousands(s.stored_bytes_unused) +
                             " stored bytes left unread after the unpacked size");
    else if (s.short_body)
        r.problems.push_back("body cut short by the end of the file");
    r.contents_checked = r.problems.empty();
    r.crc32 = r.contents_checked ? s.crc32 : 0;
}

std::string FirstProblem(const InspectedPackage& pkg) {
    size_t count = 0;
    std::string first;
    for (const InspectedRecord& r : pkg.records) {
        for (const std::string& p : r.problems) {
            if (count++ == 0)
                first = "record " + std::to_string(r.index) + ": " + p;
        }
    }
    if (count > 1)
        first +=
            " (and " + std::to_string(count - 1) + " more problem" + (count > 2 ? "s" : "") + ")";
    return first;
}

} // namespace glimpack
