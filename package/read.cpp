#include "package/read.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "decoder/decoder.h"
#include "format/naming.h"
#include "hostos/os.h"
#include "package/errors.h"
#include "package/text.h"
#include "payload/self.h"
#include "pe/pe_image.h"
#include "platform/host/host_world.h"

namespace glimpack {
namespace {

// A table longer than this is not something any builder makes; walking it
// would only exhaust memory on a hostile file.
constexpr uint32_t kMaxRecords = 100000;

// The installer trusts its own headers; the tool first makes sure it is
// looking at a PE file at all, so that the message says so.
void CheckPeSignature(const std::string& path, uint64_t file_size) {
    std::FILE* f = hostos::OpenStream(path, "rb");
    if (!f)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    std::vector<uint8_t> head(64);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    uint32_t pe_offset = 0;
    glim::pe::LooksLikePe(head.data(), head.size(), &pe_offset);
    // The signature may lie anywhere the pointer says; read up to it.
    if (head.size() == 64 && uint64_t(pe_offset) + PE_SIGNATURE_SIZE <= file_size &&
        pe_offset + PE_SIGNATURE_SIZE > head.size()) {
        size_t have = head.size();
        head.resize(size_t(pe_offset) + PE_SIGNATURE_SIZE);
        head.resize(have + std::fread(head.data() + have, 1, head.size() - have, f));
    }
    std::fclose(f);
    if (!glim::pe::LooksLikePe(head.data(), head.size()))
        Fail(path, "not a PE file (no MZ header or PE signature)");
}

const char* RoleOf(uint32_t index) {
    return index == 0 ? "saver" : index == 1 ? "data" : "data file";
}

// Destination relative to the Windows directory, as the installer builds it.
void NameRecord(InspectedRecord& r, uint16_t first_file_number, const char* module_path) {
    char dest[GLIM_PATH_CAPACITY];
    if (!BuildRecordDestination(r.index, &r.record, first_file_number, kWindowsDirectory,
                                module_path, dest, sizeof dest)) {
        char base[GLIM_PATH_CAPACITY];
        if (r.index >= 2 && !IsSafeExtension(r.record.extension))
            r.destination_problem = "unsafe file-name extension in the record";
        else if (r.index >= 1 && !GetInstallerBaseName(module_path, base, sizeof base))
            // "..EXE" leaves "." as the base name, which would name the
            // GLIMLOOM directory itself rather than a data directory in it.
            r.destination_problem = "the package's file name gives no data directory name";
        else
            r.destination_problem = "destination path longer than 259 characters";
        return;
    }
    size_t prefix = std::strlen(kWindowsDirectory) + 1;
    std::string d = dest;
    r.destination = d.size() > prefix ? d.substr(prefix) : d;
}

} // namespace

InspectedPackage InspectPackage(const std::string& path, const std::string& host_windows_dir) {
    InspectedPackage pkg;
    pkg.path = path;
    hostos::Status status = hostos::GetStatus(path, true);
    if (status.kind == hostos::Kind::Missing || status.kind == hostos::Kind::Error)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    if (status.kind != hostos::Kind::Regular)
        Fail(path, "not a regular file");
    pkg.file_size = status.size;
    CheckPeSignature(path, pkg.file_size);

    host::Reset();
    host::SetModuleFile(path);
    host::SetWindowsDirectory(host_windows_dir, kWindowsDirectory);

    char module_path[PAYLOAD_MODULE_NAME_CAPACITY];
    if (!FetchModulePath(nullptr, module_path, sizeof module_path))
        Fail(path, "file name too long for the installer's 256-character path buffer");
    pkg.module_path = module_path;

    HFILE f = OpenPayloadWithLocation(&pkg.location);
    if (f == HFILE_ERROR) {
        if (pkg.location.short_read)
            Fail(path, "file ends inside its PE headers");
        Fail(path, "no resource section (.rsrc) in the section table");
    }
    _lclose(f);
    const PayloadLocation& loc = pkg.location;
    if (loc.short_read)
        Fail(path, "file ends inside its resource directory");
    if (uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE > pkg.file_size)
        Fail(path, "payload position " + std::to_string(loc.payload_pos) +
                       " lies outside the file (" + std::to_string(pkg.file_size) + " bytes)");

    char title[PAYLOAD_TITLE_SIZE + 1] = {};
    ReadSaverTitle(nullptr, title);
    std::memcpy(pkg.header.title, title, PAYLOAD_TITLE_SIZE);

    RecordWalk walk;
    if (!BeginRecordWalk(&walk))
        Fail(path, "cannot reopen the payload");
    pkg.header.first_file_number = walk.first_file_number;
    PayloadRecord rec;
    while (NextRecord(&walk, &rec)) {
        InspectedRecord r;
        r.index = walk.index - 1;
        r.record = rec;
        r.role = RoleOf(r.index);
        pkg.records.push_back(r);
        if (pkg.records.size() > kMaxRecords) {
            EndRecordWalk(&walk);
            Fail(path, "record table has more than " + std::to_string(kMaxRecords) +
                           " records and no terminator");
        }
    }
    pkg.terminated = walk.reached_terminator != 0;
    EndRecordWalk(&walk);
    if (!pkg.terminated)
        Fail(path, "record table runs past the end of the file (no terminating record)");
    // The installer's own sum, as its disk-space check makes it.
    AddInstalledTotal(&pkg.installed_total);
    pkg.table_end = uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE +
                    uint64_t(pkg.records.size() + 1) * PAYLOAD_RECORD_SIZE;

    uint64_t expected = pkg.table_end;
    for (InspectedRecord& r : pkg.records) {
        NameRecord(r, pkg.header.first_file_number, module_path);
        uint64_t begin = r.record.offset, end = begin + r.record.stored_size;
        if (end > pkg.file_size)
            r.problems.push_back("body past the end of the file (ends at " + std::to_string(end) +
                                 ", file has " + std::to_string(pkg.file_size) + " bytes)");
        if (begin < pkg.table_end)
            r.problems.push_back("body overlaps the record table");
        else if (begin < expected)
            r.problems.push_back("body overlaps the previous body");
        if (end > expected)
            expected = end;
    }
    return pkg;
}

namespace {

struct BodySource {
    std::FILE* file;
    uint64_t left; // bytes of the body still in the file
};

size_t ReadBody(void* context, uint8_t* buffer, size_t capacity) {
    auto* src = static_cast<BodySource*>(context);
    size_t want = size_t(std::min<uint64_t>(capacity, src->left));
    size_t got = want ? std::fread(buffer, 1, want, src->file) : 0;
    src->left -= got;
    return got;
}

} // namespace

StreamResult StreamRecord(const InspectedPackage& pkg, const InspectedRecord& record,
                          const ByteSink& sink) {
    StreamResult result;
    const PayloadRecord& rec = record.record;
    std::FILE* f = hostos::OpenStream(pkg.path, "rb");
    if (!f)
        Fail(pkg.path, hostos::ErrorText(hostos::LastError()));
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    uint64_t in_file = rec.offset < pkg.file_size ? pkg.file_size - rec.offset : 0;
    BodySource src{f, std::min<uint64_t>(in_file, rec.stored_size)};
    result.short_body = src.left < rec.stored_size;
    if (src.left && std::fseek(f, long(rec.offset), SEEK_SET) != 0)
        Fail(pkg.path, "cannot seek to the body of record " + std::to_string(record.index));

    if (rec.unpacked_size == 0) {
        std::vector<uint8_t> buf(65536);
        size_t n;
        while ((n = ReadBody(&src, buf.data(), buf.size())) > 0) {
            sink(buf.data(), n);
            result.bytes += n;
        }
        return result;
    }
    DecodeReport report = DecodeToSink(ReadBody, &src, rec.stored_size, rec.unpacked_size, sink);
    result.bytes = report.produced;
    result.ran_out_of_input = report.ran_out_of_input != 0;
    result.stored_bytes_unused = report.stored_bytes_unused;
    return result;
}

uint64_t InstalledBytes(const InspectedPackage& pkg) {
    uint64_t total = 0;
    for (const InspectedRecord& r : pkg.records)
        total += InstalledSize(&r.record);
    return total;
}

std::string TitleForDisplay(const PayloadHeader& header) {
    std::string raw(header.title, strnlen(header.title, PAYLOAD_TITLE_SIZE));
    return EscapeForDisplay(Windows1252ToUtf8(raw), false);
}

std::string DescribeDecodeProblem(bool ran_out_of_input, uint32_t stored_bytes_unused) {
    if (ran_out_of_input)
        return "stream used up its stored bytes before reaching its unpacked size";
    if (stored_bytes_unused)
        return std::to_string(stored_bytes_unused) + " stored bytes left unread";
    return "";
}

} // namespace glimpack
