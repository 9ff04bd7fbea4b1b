#include "package/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "package/crc32.h"
#include "package/errors.h"
#include "package/text.h"
#include "package/verdict.h"
#include "payload/self.h"
#include "platform/host/host_world.h"

namespace glimpack {
namespace {

// A table longer than this is not something any builder makes; walking it
// would only exhaust memory on a hostile file.
constexpr uint32_t kMaxRecords = 100000;
// Stored bodies are read in pieces of this size.
constexpr size_t kBodyBlock = 65536;

// The session whose package the emulated system now shows the installer's
// code; the state is process-wide, so the last to need it sets it up.
const PackageSession* g_emulator_owner = nullptr;

// The host back end's file handles are the host's own descriptors, so the
// installer's code can walk a file the session opened (platform/host/host_world.h).
HFILE AsInstallerHandle(int fd) {
    return static_cast<HFILE>(fd);
}

// Reads from `fd` at `offset` until `size` bytes are there or the file ends.
// Returns the bytes read, or -1 (see hostos::LastError).
int64_t ReadFully(int fd, uint64_t offset, uint8_t* buffer, size_t size) {
    if (hostos::Seek(fd, int64_t(offset), SEEK_SET) < 0)
        return -1;
    size_t got = 0;
    while (got < size) {
        long n = hostos::Read(fd, buffer + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += size_t(n);
    }
    return int64_t(got);
}

// One record's body as the decoder and the stored copy read it: straight
// from the session's descriptor, never past the body's end.
struct BodySource {
    int fd;
    uint64_t left; // bytes of the body still in the file
    bool failed;
};

size_t ReadBody(void* context, uint8_t* buffer, size_t capacity) {
    auto* src = static_cast<BodySource*>(context);
    size_t want = size_t(std::min<uint64_t>(capacity, src->left));
    long got = want ? hostos::Read(src->fd, buffer, want) : 0;
    if (got < 0) {
        src->failed = true;
        return 0;
    }
    src->left -= uint64_t(got);
    return size_t(got);
}

} // namespace

PackageSession::PackageSession(const std::string& path, const Options& options)
    : host_windows_dir_(options.host_windows_dir), as_name_(options.as_name) {
    package_.path = path;
    try {
        Read(options);
    } catch (...) {
        Release(); // the destructor does not run for a session that never opened
        throw;
    }
}

PackageSession::~PackageSession() {
    Release();
}

void PackageSession::Release() {
    if (fd_ >= 0)
        hostos::Close(fd_);
    fd_ = -1;
    if (g_emulator_owner == this) {
        host::Reset();
        g_emulator_owner = nullptr;
    }
}

void PackageSession::SetUpEmulator() const {
    if (g_emulator_owner == this)
        return;
    const std::string& path = package_.path;
    host::Reset();
    host::SetModuleFile(path,
                        ModulePathFor(as_name_.empty() ? hostos::FileNamePart(path) : as_name_));
    if (!host_windows_dir_.empty())
        host::SetWindowsDirectory(host_windows_dir_, kWindowsDirectory);
    g_emulator_owner = this;
}

// Appends to `into` the `size` bytes at `offset`, or as many as the file has.
void PackageSession::ReadAt(uint64_t offset, size_t size, std::vector<uint8_t>& into) {
    size_t have = into.size();
    into.resize(have + size);
    int64_t got = ReadFully(fd_, offset, into.data() + have, size);
    if (got < 0)
        Fail(package_.path, hostos::ErrorText(hostos::LastError()));
    into.resize(have + size_t(got));
}

void PackageSession::Read(const Options& options) {
    InspectedPackage& pkg = package_;
    const std::string& path = pkg.path;
    // Looked at before it is opened: opening a FIFO would wait for a writer.
    hostos::Status named = hostos::GetStatus(path, true);
    if (named.kind == hostos::Kind::Missing || named.kind == hostos::Kind::Error)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    if (named.kind != hostos::Kind::Regular)
        Fail(path, "not a regular file");
    fd_ = hostos::OpenRead(path);
    if (fd_ < 0)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    status_ = hostos::GetStatus(fd_);
    if (status_.kind != hostos::Kind::Regular)
        Fail(path, "not a regular file");
    pkg.file_size = status_.size;

    // The file's first bytes, read once: the DOS header and the PE signature
    // now, up to the end of the resource section once the installer's walk
    // has said where that is.
    std::vector<uint8_t> bytes;
    ReadAt(0, size_t(std::min<uint64_t>(64, pkg.file_size)), bytes);
    uint64_t head = HeadBytesNeeded(bytes, pkg.file_size);
    if (head > bytes.size())
        ReadAt(bytes.size(), size_t(head - bytes.size()), bytes);
    CheckPeSignature(path, bytes);

    SetUpEmulator();
    char module_path[PAYLOAD_MODULE_NAME_CAPACITY];
    if (!FetchModulePath(nullptr, module_path, sizeof module_path))
        Fail(path, "file name too long for the installer's 256-character path buffer");
    pkg.module_path = module_path;

    // The installer's own walk of its headers, on this opening of the file.
    const PayloadLocation& loc = pkg.location;
    HFILE payload = LocatePayload(AsInstallerHandle(fd_), &pkg.location);
    if (payload == HFILE_ERROR) {
        fd_ = -1; // the locator closes what it finds no payload in
        if (loc.short_read)
            Fail(path, "file ends inside its PE headers");
        Fail(path, "no resource section (.rsrc) in the section table");
    }
    // Where the walk left the file is where the installer's reads go on.
    const int64_t after_walk = hostos::Seek(fd_, 0, SEEK_CUR);
    if (loc.short_read)
        Fail(path, "file ends inside its resource directory");

    // The checked reader over the same bytes must arrive where the walk did.
    uint64_t resources = ResourceBytesNeeded(loc, pkg.file_size);
    if (resources > bytes.size())
        ReadAt(bytes.size(), size_t(resources - bytes.size()), bytes);
    if (resources < bytes.size())
        bytes.resize(size_t(resources));
    CheckPayloadResource(path, bytes, loc);
    if (uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE > pkg.file_size)
        Fail(path, "not a package: its payload header at " + WithThousands(loc.payload_pos) +
                       (loc.payload_pos < pkg.file_size ? " is cut short by" : " lies past") +
                       " the end of the file (" + WithThousands(pkg.file_size) + " bytes)");

    // The installer reads the title and walks the record table each from a
    // fresh walk of the headers; here both start where the one walk ended.
    if (after_walk < 0 || hostos::Seek(fd_, after_walk, SEEK_SET) < 0)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    char title[PAYLOAD_TITLE_SIZE + 1] = {};
    ReadSaverTitleOn(payload, title);
    std::memcpy(pkg.header.title, title, PAYLOAD_TITLE_SIZE);
    if (hostos::Seek(fd_, after_walk, SEEK_SET) < 0)
        Fail(path, hostos::ErrorText(hostos::LastError()));

    // The walk borrows the session's handle: it is never ended here, which
    // would close it.
    RecordWalk walk;
    BeginRecordWalkOn(&walk, payload);
    pkg.header.first_file_number = walk.first_file_number;
    PayloadRecord rec;
    while (NextRecordCounted(&walk, &rec, &pkg.installed_total)) {
        InspectedRecord r;
        r.index = walk.index - 1;
        r.record = rec;
        r.role = RoleOf(r.index);
        pkg.records.push_back(r);
        if (pkg.records.size() > kMaxRecords)
            Fail(path, "record table has more than " + WithThousands(kMaxRecords) +
                           " records and no terminator");
    }
    if (!walk.reached_terminator)
        Fail(path, "record table runs past the end of the file (no terminating record)");
    if (pkg.records.empty())
        Fail(path, "not a package: its record table is empty (no saver)");
    pkg.table_end = uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE +
                    uint64_t(pkg.records.size() + 1) * PAYLOAD_RECORD_SIZE;
    Rejudge(options.limits);
}

void PackageSession::Rejudge(const Limits& limits) {
    JudgeStructure(package_, limits);
}

StreamResult PackageSession::StreamRecord(const InspectedRecord& record, const ByteSink& sink) {
    StreamResult result;
    const PayloadRecord& rec = record.record;
    const uint64_t in_file = rec.offset < package_.file_size ? package_.file_size - rec.offset : 0;
    BodySource src{fd_, std::min<uint64_t>(in_file, rec.stored_size), false};
    result.short_body = src.left < rec.stored_size;
    if (src.left && hostos::Seek(fd_, rec.offset, SEEK_SET) < 0)
        Fail(package_.path, "cannot seek to the body of record " + std::to_string(record.index));

    if (rec.unpacked_size == 0) {
        std::vector<uint8_t> buffer(kBodyBlock);
        size_t n;
        while ((n = ReadBody(&src, buffer.data(), buffer.size())) > 0) {
            result.crc32 = Crc32(result.crc32, buffer.data(), n);
            if (sink)
                sink(buffer.data(), n);
            result.bytes += n;
        }
    } else {
        DecodeReport report =
            DecodeToSink(ReadBody, &src, rec.stored_size, rec.unpacked_size, sink, &result.crc32);
        result.bytes = report.produced;
        result.ran_out_of_input = report.ran_out_of_input != 0;
        result.stored_bytes_unused = report.stored_bytes_unused;
    }
    if (src.failed)
        Fail(package_.path, "record " + std::to_string(record.index) + ": " +
                                hostos::ErrorText(hostos::LastError()));
    return result;
}

uint64_t PackageSession::CheckContents(size_t index, const ByteSink& sink) {
    InspectedRecord& r = package_.records.at(index);
    if (!r.problems.empty())
        return 0;
    StreamResult read = StreamRecord(r, sink);
    JudgeContents(r, read);
    return read.bytes;
}

void PackageSession::CheckAllContents(const std::function<void(uint64_t)>& progress) {
    ByteSink sink;
    if (progress)
        sink = [&progress](const uint8_t*, size_t size) { progress(size); };
    for (size_t i = 0; i < package_.records.size(); i++)
        CheckContents(i, sink);
}

const std::string& PackageSession::HostPath(size_t index) {
    const InspectedRecord& r = package_.records.at(index);
    host_paths_.resize(package_.records.size());
    std::optional<std::string>& host_path = host_paths_[index];
    if (!host_path) {
        host_path.emplace();
        if (!r.destination.empty() && !host_windows_dir_.empty()) {
            SetUpEmulator();
            *host_path = host::ToHostPath(std::string(kWindowsDirectory) + "\\" + r.destination);
        }
    }
    return *host_path;
}

PayloadLocation LocateLikeTheInstaller(const std::string& path, bool* found) {
    PayloadLocation location{};
    *found = false;
    int fd = hostos::OpenRead(path);
    if (fd < 0)
        return location;
    HFILE file = LocatePayload(AsInstallerHandle(fd), &location);
    // The locator has closed the file when it found no ".rsrc".
    if (file != HFILE_ERROR) {
        *found = true;
        hostos::Close(fd);
    }
    return location;
}

} // namespace glimpack
