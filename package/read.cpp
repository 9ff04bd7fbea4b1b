#include "package/read.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "decoder/decoder.h"
#include "format/naming.h"
#include "hostos/os.h"
#include "package/errors.h"
#include "package/text.h"
#include "package/verdict.h"
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

// The resource section as the installer found it, read with the checked
// reader: its first type must be the named type "LASTRES", leading to the
// data entry the installer's walk reached. An ordinary program, whose first
// type is numbered, is refused here instead of having its resources walked
// as a record table.
void CheckPayloadResource(const std::string& path, const InspectedPackage& pkg) {
    const PayloadLocation& loc = pkg.location;
    // The directory tables come before every resource's data; the stub's
    // section is a few kilobytes, so a bound keeps a hostile size from
    // being read into memory.
    constexpr uint64_t kMaxSectionRead = uint64_t(16) << 20;
    uint64_t want = std::min<uint64_t>(pkg.file_size,
                                       uint64_t(loc.rsrc_file_pos) +
                                           std::min<uint64_t>(loc.rsrc_raw_size, kMaxSectionRead));
    std::vector<uint8_t> bytes(static_cast<size_t>(want));
    std::FILE* f = hostos::OpenStream(path, "rb");
    if (!f)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);

    glim::pe::PeHeaders h;
    glim::pe::SectionHeader rsrc;
    rsrc.name = RESOURCE_SECTION_NAME;
    rsrc.virtual_address = loc.rsrc_rva;
    rsrc.virtual_size = loc.rsrc_virtual_size;
    rsrc.raw_pointer = loc.rsrc_file_pos;
    rsrc.raw_size = loc.rsrc_raw_size;
    h.sections.push_back(rsrc);
    h.directories.resize(glim::pe::kDirResource + 1);
    h.directories[glim::pe::kDirResource] = {loc.rsrc_rva, loc.rsrc_virtual_size};
    try {
        glim::pe::ResourceDirectory tree = glim::pe::ParseResourceTree(bytes, h);
        const glim::pe::ResourceEntry* type = nullptr;
        const glim::pe::ResourceData& leaf = glim::pe::FirstEntryLeaf(tree, &type);
        if (!glim::pe::IsPayloadType(*type))
            Fail(path, "not a package: its first resource type is " +
                           (type->named ? std::string("a named one") : std::to_string(type->id)) +
                           ", not \"LASTRES\" (an ordinary program?)");
        if (leaf.rva != loc.data_rva)
            Fail(path, "not a package: its resource directory does not lead where the installer "
                       "reads it");
    } catch (const glim::pe::PeError& e) {
        Fail(path, std::string("not a package: ") + e.what());
    }
}

} // namespace

bool InspectedPackage::Sound() const {
    return RecordsWithProblems() == 0;
}

size_t InspectedPackage::RecordsWithProblems() const {
    size_t bad = 0;
    for (const InspectedRecord& r : records)
        bad += r.problems.empty() ? 0 : 1;
    return bad;
}

std::string ModulePathFor(const std::string& file_name) {
    return "C:\\PACKAGES\\" + file_name;
}

InspectedPackage InspectPackage(const std::string& path, const std::string& host_windows_dir,
                                const Limits& limits, const std::string& as_name) {
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
    host::SetModuleFile(path,
                        ModulePathFor(as_name.empty() ? hostos::FileNamePart(path) : as_name));
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
    CheckPayloadResource(path, pkg);
    if (uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE > pkg.file_size)
        Fail(path, "not a package: its payload header at " + WithThousands(loc.payload_pos) +
                       (loc.payload_pos < pkg.file_size ? " is cut short by" : " lies past") +
                       " the end of the file (" + WithThousands(pkg.file_size) + " bytes)");

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
            Fail(path, "record table has more than " + WithThousands(kMaxRecords) +
                           " records and no terminator");
        }
    }
    bool terminated = walk.reached_terminator != 0;
    EndRecordWalk(&walk);
    if (!terminated)
        Fail(path, "record table runs past the end of the file (no terminating record)");
    if (pkg.records.empty())
        Fail(path, "not a package: its record table is empty (no saver)");
    // The installer's own sum, as its disk-space check makes it.
    AddInstalledTotal(&pkg.installed_total);
    pkg.table_end = uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE +
                    uint64_t(pkg.records.size() + 1) * PAYLOAD_RECORD_SIZE;
    JudgeStructure(pkg, limits);
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
    if (src.left && !hostos::SeekStream(f, rec.offset))
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

std::string TitleForDisplay(const PayloadHeader& header) {
    std::string raw(header.title, strnlen(header.title, PAYLOAD_TITLE_SIZE));
    return EscapeForDisplay(Windows1252ToUtf8(raw), false);
}

} // namespace glimpack
