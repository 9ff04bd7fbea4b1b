#include "package/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/naming.h"
#include "hostos/crypto.h"
#include "package/crc32.h"
#include "package/problems.h"
#include "package/regions.h"
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
// Stored bodies are read in pieces of this size.
constexpr size_t kBodyBlock = 65536;

// The host back end's file handles are the host's own descriptors, so the
// installer's code can walk a file the session opened (platform/host/host_world.h).
HFILE AsInstallerHandle(int fd) {
    return static_cast<HFILE>(fd);
}

// The emulated system as the installer's code must see it while a package is
// opened: its own file under the name it runs as. The state is this thread's
// (sessions on other threads have their own); it is given up again as soon
// as the opening is done, so nothing read later depends on it.
class EmulatedSystem {
  public:
    EmulatedSystem(const std::string& host_file, const std::string& installer_name) {
        host::Reset();
        host::SetModuleFile(host_file, ModulePathFor(installer_name));
    }
    ~EmulatedSystem() { host::Reset(); }
    EmulatedSystem(const EmulatedSystem&) = delete;
    EmulatedSystem& operator=(const EmulatedSystem&) = delete;
};

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

[[noreturn]] void FailSystem(const std::string& path) {
    Refuse(path, ProblemCode::kCannotRead, {hostos::ErrorText(hostos::LastError())});
}

} // namespace

PackageSession::PackageSession(const std::string& path, const Options& options)
    : host_windows_dir_(options.host_windows_dir) {
    package_.path = path;
    package_.digest_algorithms = options.digests;
    OpenAndRead([&] { Open(path); },
                options.as_name.empty() ? hostos::FileNamePart(path) : options.as_name,
                options.limits);
}

PackageSession::PackageSession(int fd, const std::string& shown, const Options& options)
    : host_windows_dir_(options.host_windows_dir) {
    package_.path = shown;
    package_.digest_algorithms = options.digests;
    OpenAndRead([&] { TakeOver(fd); },
                options.as_name.empty() ? hostos::FileNamePart(shown) : options.as_name,
                options.limits);
}

PackageSession::~PackageSession() {
    Release();
}

void PackageSession::Release() {
    if (fd_ >= 0)
        hostos::Close(fd_);
    fd_ = -1;
}

void PackageSession::OpenAndRead(const std::function<void()>& open,
                                 const std::string& installer_name, const Limits& limits) {
    try {
        open();
        std::vector<uint8_t> head = ReadHead();
        package_.location = LocateLikeInstaller(installer_name);
        CheckResourceDirectory(head);
        ReadTitle();
        WalkRecords();
        MapUnreadBytes(head);
        Rejudge(limits);
    } catch (...) {
        Release(); // the destructor does not run for a session that never opened
        throw;
    }
}

// The file itself: a regular file, opened once.
void PackageSession::Open(const std::string& path) {
    // Looked at before it is opened: opening a FIFO would wait for a writer.
    hostos::Status named = hostos::GetStatus(path, true);
    if (named.kind == hostos::Kind::Missing || named.kind == hostos::Kind::Error)
        FailSystem(path);
    if (named.kind != hostos::Kind::Regular)
        Refuse(path, ProblemCode::kNotRegularFile);
    TakeOver(hostos::OpenRead(path));
}

void PackageSession::TakeOver(int fd) {
    fd_ = fd;
    if (fd_ < 0)
        FailSystem(package_.path);
    status_ = hostos::GetStatus(fd_);
    if (status_.kind != hostos::Kind::Regular)
        Refuse(package_.path, ProblemCode::kNotRegularFile);
    package_.file_size = status_.size;
}

// The file's first bytes, read once: the DOS header and the PE signature,
// which the installer takes on trust and the tool checks first so that an
// ordinary file is called what it is.
std::vector<uint8_t> PackageSession::ReadHead() {
    std::vector<uint8_t> bytes;
    ReadAt(0, size_t(std::min<uint64_t>(64, package_.file_size)), bytes);
    uint64_t head = HeadBytesNeeded(bytes, package_.file_size);
    if (head > bytes.size())
        ReadAt(bytes.size(), size_t(head - bytes.size()), bytes);
    CheckPeSignature(package_.path, bytes);
    return bytes;
}

// The installer's own walk of its headers, on this opening of the file,
// under the name the installer runs as.
PayloadLocation PackageSession::LocateLikeInstaller(const std::string& installer_name) {
    const std::string& path = package_.path;
    EmulatedSystem emulated(path, installer_name);
    char module_path[PAYLOAD_MODULE_NAME_CAPACITY];
    if (!FetchModulePath(nullptr, module_path, sizeof module_path))
        Refuse(path, ProblemCode::kModuleNameTooLong);
    package_.module_path = module_path;

    // The locator takes over the handle it is given (it closes one it finds
    // no payload in), so it is given one of its own on the same file; the
    // session's descriptor stays the session's alone.
    PayloadLocation loc{};
    const int lent = hostos::Duplicate(fd_);
    if (lent < 0)
        FailSystem(path);
    if (LocatePayload(AsInstallerHandle(lent), &loc) == HFILE_ERROR)
        Refuse(path,
               loc.short_read ? ProblemCode::kPeHeadersCutShort : ProblemCode::kNoResourceSection);
    // Where the walk left the file is where the installer's reads go on.
    after_walk_ = hostos::Seek(lent, 0, SEEK_CUR);
    hostos::Close(lent);
    if (loc.short_read)
        Refuse(path, ProblemCode::kResourceDirectoryCutShort);
    return loc;
}

// The checked reader over the same bytes must arrive where the walk did, at
// a payload header inside the file.
void PackageSession::CheckResourceDirectory(std::vector<uint8_t>& bytes) {
    const PayloadLocation& loc = package_.location;
    const uint64_t size = package_.file_size;
    uint64_t resources = ResourceBytesNeeded(loc, size);
    if (resources > bytes.size())
        ReadAt(bytes.size(), size_t(resources - bytes.size()), bytes);
    if (resources < bytes.size())
        bytes.resize(size_t(resources));
    CheckPayloadResource(package_.path, bytes, loc);
    if (uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE > size)
        Refuse(package_.path,
               loc.payload_pos < size ? ProblemCode::kPayloadHeaderCutShort
                                      : ProblemCode::kPayloadHeaderPastEnd,
               {Count(loc.payload_pos), Count(size)});
}

// The installer reads the title and walks the record table each from a fresh
// walk of the headers; here both start where the one walk ended.
void PackageSession::ReadTitle() {
    SeekTo(after_walk_);
    char title[PAYLOAD_TITLE_SIZE + 1] = {};
    ReadSaverTitleOn(AsInstallerHandle(fd_), title);
    std::memcpy(package_.header.title, title, PAYLOAD_TITLE_SIZE);
}

void PackageSession::WalkRecords() {
    InspectedPackage& pkg = package_;
    SeekTo(after_walk_);
    // The walk borrows the session's handle: it is never ended here, which
    // would close it.
    RecordWalk walk;
    BeginRecordWalkOn(&walk, AsInstallerHandle(fd_));
    pkg.header.first_file_number = walk.first_file_number;
    PayloadRecord rec;
    while (NextRecordCounted(&walk, &rec, &pkg.installed_total)) {
        InspectedRecord r;
        r.index = walk.index - 1;
        r.record = rec;
        r.role = RoleOf(r.index);
        pkg.records.push_back(r);
        if (pkg.records.size() > kMaxRecords)
            Refuse(pkg.path, ProblemCode::kTooManyRecords, {Count(kMaxRecords)});
    }
    if (!walk.reached_terminator)
        Refuse(pkg.path, ProblemCode::kRecordTableUnterminated);
    if (pkg.records.empty())
        Refuse(pkg.path, ProblemCode::kNoRecords);
    pkg.table_end = uint64_t(pkg.location.payload_pos) + PAYLOAD_HEADER_SIZE +
                    uint64_t(pkg.records.size() + 1) * PAYLOAD_RECORD_SIZE;
}

// What the file holds besides what the installer reads: the ranges it
// never reads, the certificate table the headers declare, and entries past
// the terminating one that look like records.
void PackageSession::MapUnreadBytes(const std::vector<uint8_t>& head) {
    InspectedPackage& pkg = package_;
    FileLayout layout;
    layout.section_end =
        uint64_t(pkg.location.rsrc_file_pos) + uint64_t(pkg.location.rsrc_raw_size);
    try {
        const glim::pe::PeHeaders headers = glim::pe::ParseHeaders(head);
        pkg.signature =
            glim::pe::CheckSignature(glim::pe::ReadAtDescriptor(fd_), pkg.file_size, headers);
        if (headers.directories.size() > glim::pe::kDirSecurity) {
            // The security directory's address is a file offset, not an RVA.
            const glim::pe::DataDirectory& d = headers.directories[glim::pe::kDirSecurity];
            if (d.size != 0 && uint64_t(d.rva) + d.size <= pkg.file_size)
                layout.certificate_table = std::make_pair(uint64_t(d.rva), uint64_t(d.size));
        }
    } catch (const glim::pe::PeError&) {
        // Headers the checked reader refuses declare nothing it can trust.
    }
    pkg.unread = MapUnread(
        pkg, layout, [this](uint64_t offset, uint64_t size) { return ZerosAt(offset, size); });

    // The installer stops at the terminating entry; a table that goes on
    // past it holds records nothing will install.
    constexpr uint32_t kMostLooked = 1000;
    pkg.entries_past_terminator = 0;
    std::vector<uint8_t> entry;
    for (uint32_t k = 0; k < kMostLooked; k++) {
        entry.clear();
        ReadAt(pkg.table_end + uint64_t(k) * PAYLOAD_RECORD_SIZE, PAYLOAD_RECORD_SIZE, entry);
        if (entry.size() < PAYLOAD_RECORD_SIZE)
            break;
        PayloadRecord record;
        DecodePayloadRecord(entry.data(), &record);
        if (!LooksLikeRecord(record, pkg.file_size, pkg.table_end))
            break;
        pkg.entries_past_terminator++;
    }
}

bool PackageSession::ZerosAt(uint64_t offset, uint64_t size) {
    // Past this, a range is data whatever it holds: no builder pads that much.
    constexpr uint64_t kMostPadding = uint64_t(16) << 20;
    if (size > kMostPadding)
        return false;
    std::vector<uint8_t> bytes;
    ReadAt(offset, size_t(size), bytes);
    return bytes.size() == size &&
           std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// Appends to `into` the `size` bytes at `offset`, or as many as the file has.
void PackageSession::ReadAt(uint64_t offset, size_t size, std::vector<uint8_t>& into) {
    size_t have = into.size();
    into.resize(have + size);
    bool failed = false;
    size_t got = 0;
    if (hostos::Seek(fd_, int64_t(offset), SEEK_SET) < 0)
        failed = true;
    else
        got = hostos::ReadFull(fd_, into.data() + have, size, &failed);
    if (failed)
        FailSystem(package_.path);
    into.resize(have + got);
}

void PackageSession::SeekTo(int64_t position) {
    if (position < 0 || hostos::Seek(fd_, position, SEEK_SET) < 0)
        FailSystem(package_.path);
}

void PackageSession::Rejudge(const Limits& limits) {
    JudgeStructure(package_, limits);
    host_paths_.clear();
}

StreamResult PackageSession::StreamRecord(const InspectedRecord& record, const ByteSink& sink) {
    StreamResult result;
    const PayloadRecord& rec = record.record;
    const uint64_t in_file = rec.offset < package_.file_size ? package_.file_size - rec.offset : 0;
    BodySource src{fd_, std::min<uint64_t>(in_file, rec.stored_size), false};
    result.short_body = src.left < rec.stored_size;
    auto unreadable = [&] {
        Refuse(package_.path, Problem{ProblemCode::kRecordUnreadable,
                                      record.index,
                                      {hostos::ErrorText(hostos::LastError())}});
    };
    if (src.left && hostos::Seek(fd_, rec.offset, SEEK_SET) < 0)
        unreadable();

    // The contents' digests beside their CRC-32 (see digest_algorithms).
    std::vector<std::unique_ptr<hostos::Digest>> digests;
    for (hostos::DigestAlgorithm algorithm : package_.digest_algorithms)
        digests.push_back(std::make_unique<hostos::Digest>(algorithm));
    const ByteSink hashed = [&](const uint8_t* data, size_t size) {
        for (const auto& digest : digests)
            digest->Update(data, size);
        if (sink)
            sink(data, size);
    };
    if (PayloadMethodOf(&rec) == PAYLOAD_STORED) {
        std::vector<uint8_t> buffer(kBodyBlock);
        size_t n;
        while ((n = ReadBody(&src, buffer.data(), buffer.size())) > 0) {
            result.crc32 = Crc32(result.crc32, buffer.data(), n);
            hashed(buffer.data(), n);
            result.bytes += n;
        }
    } else {
        DecodeReport report =
            DecodeToSink(ReadBody, &src, rec.stored_size, rec.unpacked_size, hashed, &result.crc32);
        result.bytes = report.produced;
        result.ran_out_of_input = report.ran_out_of_input != 0;
        result.stored_bytes_unused = report.stored_bytes_unused;
    }
    if (src.failed)
        unreadable();
    for (const auto& digest : digests) {
        const std::vector<uint8_t> value = digest->ok() ? digest->Finish() : std::vector<uint8_t>();
        result.digests.push_back(HexBytes(std::string(value.begin(), value.end())));
    }
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
        if (!r.destination.empty() && !host_windows_dir_.empty())
            *host_path = host::ResolveBelow(host_windows_dir_, r.destination.components);
    }
    return *host_path;
}

PayloadLocation LocateLikeTheInstaller(const std::string& path, bool* found) {
    PayloadLocation location{};
    *found = false;
    int fd = hostos::OpenRead(path);
    if (fd < 0)
        return location;
    // The locator closes the file itself when it finds no ".rsrc".
    if (LocatePayload(AsInstallerHandle(fd), &location) != HFILE_ERROR) {
        *found = true;
        hostos::Close(fd);
    }
    return location;
}

} // namespace glimpack
