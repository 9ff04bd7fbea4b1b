// glimpack scan: finds every package in files, folders, archives and disc
// images by its content, whatever its name or place, and checks each over
// exactly its own bytes, as `test` checks one in a file of its own.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "base/windows_names.h"
#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "hostos/threads.h"
#include "package/finder.h"
#include "package/listing.h"
#include "package/problems.h"
#include "package/scan_report.h"
#include "package/session.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"
#include "tools/glimpack/ordered_work.h"
#include "tools/glimpack/progress.h"
#include "tools/glimpack/scan.h"

namespace glimpack {
namespace {

const CommandText kText = {
    "scan", "PATH...",
    "Finds packages by their content, not their name: every place in a file\n"
    "where a package begins, also inside a larger file (a disk image, a\n"
    "concatenation) and inside archives and disc images (ISO 9660, zip, cab,\n"
    "lha, 7z, tar, and these compressed), to --depth levels. Folders are walked\n"
    "(links in them are not followed). Each package is checked over exactly\n"
    "its own bytes, as `test` checks one, and shown on one line: its location\n"
    "PATH[!MEMBER...][@OFFSET], title, records and verdict. A summary line ends\n"
    "the run. The exit code is 2 when a package has problems or an input could\n"
    "not be read, else 0 (also when nothing was found). Packages are checked\n"
    "(and extracted) -j at a time, and shown in the order -j 1 shows them."};

constexpr unsigned kDefaultDepth = 4;
constexpr size_t kReadBlock = size_t(1) << 20;
// Reads of what is searched: small enough that the bytes are still in the
// processor's cache when the search looks at them.
constexpr size_t kSearchRead = size_t(128) << 10;

// A read of the bytes being searched failed; said once, for the input or
// the archive it belongs to.
struct ReadFailed {
    std::string text;
};

// The summary's counts, and what only the tool counts.
struct Counts : ScanCounts {
    uint64_t extracted = 0, not_extracted = 0;
    uint64_t read = 0; // bytes read from files so far, some twice where an archive goes back
};

// The last component of a member's path in an archive, "/" separated.
std::string MemberFileName(const std::string& name) {
    size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

class FileSource : public glim::archive::Source {
  public:
    FileSource(int fd, Counts* counts, const std::function<void()>& tick)
        : fd_(fd), counts_(counts), tick_(tick) {}
    long Read(uint8_t* buffer, size_t size) override {
        long n = hostos::Read(fd_, buffer, size);
        if (n < 0) {
            error_ = hostos::ErrorText(hostos::LastError());
            return -1;
        }
        counts_->read += uint64_t(n);
        if (tick_)
            tick_();
        return n;
    }
    bool Seekable() const override { return true; }
    int64_t Seek(int64_t offset, int whence) override {
        int64_t at = hostos::Seek(fd_, offset, whence);
        if (at < 0)
            error_ = hostos::ErrorText(hostos::LastError());
        return at;
    }
    std::string ErrorText() const override { return error_; }

  private:
    int fd_;
    Counts* counts_;
    const std::function<void()>& tick_;
    std::string error_;
};

// A member being read, as the source of whatever is inside it. libarchive
// calls Read from its own C code, through which nothing may be thrown.
class MemberSource : public glim::archive::Source {
  public:
    explicit MemberSource(glim::archive::Reader& reader) : reader_(reader) {}
    long Read(uint8_t* buffer, size_t size) override {
        try {
            return long(reader_.Read(buffer, size));
        } catch (const glim::archive::Error& e) {
            error_ = e.what();
            archive_failed_ = true;
        } catch (const std::exception& e) {
            error_ = e.what();
        }
        return -1;
    }
    std::string ErrorText() const override { return error_; }
    // The failure was the whole archive's, not this member's alone.
    bool archive_failed() const { return archive_failed_; }

  private:
    glim::archive::Reader& reader_;
    std::string error_;
    bool archive_failed_ = false;
};

// A scratch file holding a whole member, for formats that cannot be read
// from a stream.
class ScratchSource : public glim::archive::Source {
  public:
    explicit ScratchSource(int fd) : fd_(fd) {}
    ~ScratchSource() override { hostos::Close(fd_); }
    long Read(uint8_t* buffer, size_t size) override {
        long n = hostos::Read(fd_, buffer, size);
        if (n < 0)
            error_ = hostos::ErrorText(hostos::LastError());
        return n;
    }
    bool Seekable() const override { return true; }
    int64_t Seek(int64_t offset, int whence) override { return hostos::Seek(fd_, offset, whence); }
    std::string ErrorText() const override { return error_; }

  private:
    int fd_;
    std::string error_;
};

// Reads from `source` until `size` bytes are in or it ends. -1 on failure.
long ReadUpTo(glim::archive::Source& source, uint8_t* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        long n = source.Read(buffer + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += size_t(n);
    }
    return long(got);
}

// Where the bytes being read are: the location shown for what is found in
// them, the name a package there is judged under, and the file that is
// exactly them, when there is one.
struct Place {
    std::string location; // PATH[!MEMBER...]
    std::string name;     // the file or member name holding them
    std::string file;     // a plain file on disk, read from its start; "" for a member
    bool size_known = false;
    uint64_t size = 0;
};

class Scanner {
  public:
    // `jobs` packages are checked at once: with 1, each on this thread as it
    // is found; with more, on as many workers, while this thread reads on.
    // At most twice `jobs` packages are in hand at once, each a scratch copy
    // on disk of its own bytes (none for a package that is its whole file).
    Scanner(bool json, bool quiet, unsigned depth, const Limits& limits,
            std::vector<hostos::DigestAlgorithm> digests, std::string extract_dir, bool salvage,
            unsigned jobs)
        : json_(json), quiet_(quiet), depth_(depth), limits_(limits), digests_(std::move(digests)),
          extract_dir_(std::move(extract_dir)), salvage_(salvage), progress_(quiet || json),
          parallel_(jobs > 1), work_(jobs > 1 ? jobs : 0, size_t(2) * jobs) {
        tick_ = [this] { ShowProgress(); };
    }

    void Path(const std::string& path, bool operand) {
        hostos::Status st = hostos::GetStatus(path, operand);
        switch (st.kind) {
        case hostos::Kind::Directory:
            Directory(path);
            return;
        case hostos::Kind::Regular:
            File(path);
            return;
        case hostos::Kind::Link:
            return; // inside a folder: not followed out of the tree
        case hostos::Kind::Other:
            // A device or FIFO named as an input is said to be unread; one
            // met in a folder is not read (a FIFO would wait for a writer).
            if (operand)
                Unreadable(path, "not a regular file or a folder");
            return;
        case hostos::Kind::Missing:
        case hostos::Kind::Error:
            Unreadable(path, hostos::ErrorText(hostos::LastError()));
            return;
        }
    }

    int Finish() {
        work_.Drain();
        progress_.Clear();
        std::FILE* out = json_ ? stderr : stdout;
        std::string extracted;
        if (!extract_dir_.empty())
            extracted = "; " + WithThousands(counts_.extracted) + " extracted, " +
                        WithThousands(counts_.not_extracted) + " not";
        if (!quiet_)
            Print(out, "%s%s\n", ScanSummaryLine(counts_).c_str(), extracted.c_str());
        return counts_.problems || counts_.unreadable || counts_.not_extracted ? kExitBadInput
                                                                               : kExitOk;
    }

  private:
    void Directory(const std::string& path) {
        std::vector<std::string> names;
        if (!hostos::ListDirectory(path, &names)) {
            Unreadable(path, hostos::ErrorText(hostos::LastError()));
            return;
        }
        std::sort(names.begin(), names.end());
        // Names are joined as the path given joins its own (C:\COL gives
        // C:\COL\README.TXT); "/" otherwise, which every system takes.
        std::string prefix = path;
        if (prefix.empty() || (prefix.back() != '/' && prefix.back() != '\\'))
            prefix += path.find('/') == std::string::npos && path.find('\\') != std::string::npos
                          ? '\\'
                          : '/';
        for (const std::string& name : names)
            Path(prefix + name, false);
    }

    void File(const std::string& path) {
        int fd = hostos::OpenRead(path);
        if (fd < 0) {
            Unreadable(path, hostos::ErrorText(hostos::LastError()));
            return;
        }
        hostos::Status st = hostos::GetStatus(fd);
        if (st.kind != hostos::Kind::Regular) {
            hostos::Close(fd);
            Unreadable(path, "not a regular file");
            return;
        }
        ++counts_.files;
        counts_.bytes += st.size;
        FileSource source(fd, &counts_, tick_);
        Place place{path, hostos::FileNamePart(path), path, true, st.size};
        try {
            Stream(source, place, 0);
        } catch (const ReadFailed& f) {
            Unreadable(path, f.text);
        } catch (const ToolError& e) {
            Unreadable(path, e.what());
        }
        hostos::Close(fd);
        // Results are printed here and as packages are found, never from
        // inside a read: libarchive's C code may be below it, and printing
        // can throw.
        work_.DeliverReady();
    }

    // Everything in `source`: the members of the archive it is, or else
    // every package in its bytes. `level` archives lie around it.
    void Stream(glim::archive::Source& source, const Place& place, unsigned level) {
        // Not zeroed first: in a folder of small files that would cost more
        // than the search.
        std::unique_ptr<uint8_t[]> first(new uint8_t[glim::archive::kSniffBytes]);
        long got = ReadUpTo(source, first.get(), glim::archive::kSniffBytes);
        if (got < 0)
            throw ReadFailed{source.ErrorText()};
        std::vector<uint8_t> prefix(first.get(), first.get() + got);
        first.reset();
        if (level < depth_) {
            glim::archive::Sniffed what = glim::archive::Sniff(prefix.data(), prefix.size());
            if (what.kind != glim::archive::Sniffed::kNone) {
                if (level > 0 || !source.Seekable()) {
                    Archive(source, place, level, what, std::move(prefix));
                    return;
                }
                // A file on disk can be read again: its raw bytes are
                // searched for what its directory does not explain (space
                // between the members of a disc image, or the whole of an
                // archive too damaged to read on).
                in_archive_ = ExplainedPackages();
                collecting_ = true;
                bool read_through = false;
                try {
                    read_through = Archive(source, place, level, what, std::move(prefix), true);
                } catch (...) {
                    // Said for the file by the caller; the next file's
                    // packages are not this archive's.
                    collecting_ = false;
                    throw;
                }
                collecting_ = false;
                if (!read_through || what.stores_members_whole) {
                    if (source.Seek(0, SEEK_SET) != 0)
                        throw ReadFailed{source.ErrorText()};
                    ExplainedPackages explained;
                    std::swap(explained, in_archive_);
                    Search(source, place, {}, &explained);
                }
                in_archive_ = ExplainedPackages();
                return;
            }
        }
        Search(source, place, prefix);
    }

    // Whether the archive was read through to its end.
    // `searched_after`: its raw bytes are searched if it cannot be read through.
    bool Archive(glim::archive::Source& source, const Place& place, unsigned level,
                 const glim::archive::Sniffed& what, std::vector<uint8_t> prefix,
                 bool searched_after = false) {
        std::unique_ptr<ScratchSource> spooled;
        glim::archive::Source* from = &source;
        if (what.needs_seeking && !source.Seekable()) {
            // The format keeps its directory at the end: the member is read
            // into a scratch file first.
            int fd = hostos::MakeScratchFile(hostos::TempDirectory());
            if (fd < 0) {
                Unreadable(place.location,
                           "cannot make a scratch file: " + hostos::ErrorText(hostos::LastError()));
                return false;
            }
            spooled = std::make_unique<ScratchSource>(fd);
            if (!Spool(source, fd, prefix, place))
                return false;
            prefix.clear();
            from = spooled.get();
        }
        ++counts_.archives;
        try {
            glim::archive::Reader reader(*from, what, std::move(prefix));
            glim::archive::Member member;
            while (reader.Next(&member)) {
                Place inner;
                inner.name = MemberFileName(member.name);
                if (what.kind == glim::archive::Sniffed::kCompressed) {
                    // A single compressed file: named as its own name
                    // without the compression's extension.
                    size_t dot = place.name.find_last_of('.');
                    inner.name = dot == std::string::npos || dot == 0 ? place.name
                                                                      : place.name.substr(0, dot);
                    member.name = inner.name;
                }
                inner.location = place.location + "!" + member.name;
                inner.size_known = member.size_known;
                inner.size = member.size;
                MemberSource source_of_member(reader);
                try {
                    Stream(source_of_member, inner, level + 1);
                } catch (const ReadFailed& f) {
                    if (source_of_member.archive_failed())
                        throw glim::archive::Error(f.text);
                    Unreadable(inner.location, f.text);
                }
            }
        } catch (const glim::archive::Error& e) {
            Unreadable(place.location, ScanArchiveDamaged(what.format, e.what(), searched_after));
            return false;
        } catch (const glim::archive::MemberError& e) {
            Unreadable(place.location, e.what());
            return false;
        }
        return true;
    }

    bool Spool(glim::archive::Source& source, int fd, const std::vector<uint8_t>& prefix,
               const Place& place) {
        std::vector<uint8_t> block(kReadBlock);
        uint64_t copied = 0;
        // A member that decompresses without end must not fill the disk.
        auto within_limit = [&](size_t more) {
            copied += more;
            if (copied <= limits_.max_size)
                return true;
            Unreadable(place.location, "larger than --max-size (" +
                                           WithThousands(limits_.max_size) +
                                           " bytes): not copied to be read");
            return false;
        };
        if (!within_limit(prefix.size()))
            return false;
        bool ok = hostos::Write(fd, prefix.data(), prefix.size());
        for (long n = 0; ok && (n = source.Read(block.data(), block.size())) != 0;) {
            if (n < 0)
                throw ReadFailed{source.ErrorText()};
            if (!within_limit(size_t(n)))
                return false;
            ok = hostos::Write(fd, block.data(), size_t(n));
        }
        if (!ok) {
            Unreadable(place.location, "scratch file: " + hostos::ErrorText(hostos::LastError()));
            return false;
        }
        return true;
    }

    // Every package in the bytes of `source`, `prefix` being the first. A
    // package `explained` holds was reported already, from a member of the
    // archive these bytes are: each explains one package found here
    // (ExplainedPackages).
    void Search(glim::archive::Source& source, const Place& place,
                const std::vector<uint8_t>& prefix, ExplainedPackages* explained = nullptr) {
        FinderOptions options;
        // A package that is its whole file is read where it is.
        options.copy = [&place](uint64_t offset, uint64_t claimed) {
            return place.file.empty() || offset != 0 || claimed < place.size;
        };
        options.found = [&](FoundPackage& found) {
            if (explained && found.fd >= 0 && explained->Explains(found)) {
                hostos::Close(found.fd);
                found.fd = -1;
                return;
            }
            Check(found, place);
        };
        PackageFinder finder(options);
        finder.Feed(prefix.data(), prefix.size());
        for (;;) {
            size_t room = 0;
            uint8_t* into = finder.Space(kSearchRead, &room);
            long n = source.Read(into, std::min(room, kSearchRead));
            if (n < 0)
                throw ReadFailed{source.ErrorText()};
            if (n == 0)
                break;
            finder.Commit(size_t(n));
        }
        finder.Finish();
    }

    // What checking one package (or failing to read an input) leaves to be
    // printed and counted, in its turn.
    struct Outcome {
        std::string errors; // lines for standard error
        std::string output; // for standard output
        uint64_t ok = 0, problems = 0, unreadable = 0, extracted = 0, not_extracted = 0;
        std::string folder; // the --extract folder it had in hand, "" for none
    };

    // One package found, as a worker checks it; it owns the scratch copy.
    struct PackageJob {
        std::string location;
        Place place;
        FoundPackage found;
        PackageSession::Options options;
        std::unique_ptr<ScratchDirectory> target;
        std::string final_dir;
        std::string not_extracted; // why no folder could be made for it
        PackageJob() = default;
        PackageJob(const PackageJob&) = delete;
        PackageJob& operator=(const PackageJob&) = delete;
        ~PackageJob() {
            if (found.fd >= 0)
                hostos::Close(found.fd);
        }
    };

    // On this thread, in the order found: what touches the --extract folder
    // and the counts. The rest is the job's.
    void Check(FoundPackage& found, const Place& place) {
        if (collecting_ && found.fd >= 0)
            in_archive_.Add(found);
        ++counts_.packages;
        auto job = std::make_shared<PackageJob>();
        job->location = ScanLocation(place.location, found.offset);
        job->place = place;
        job->found = found;
        found.fd = -1; // the job's from here on
        job->options.limits = limits_;
        job->options.digests = digests_;
        job->options.as_name = place.name;
        // With --extract, the session sees a new private folder as the
        // Windows directory: the package's files are written there and the
        // folder is renamed into place when all of them are.
        if (!extract_dir_.empty()) {
            try {
                job->target =
                    PrepareTarget(job->location, &job->final_dir, &job->options.host_windows_dir);
                in_hand_.insert(job->final_dir);
            } catch (const ToolError& e) {
                job->not_extracted = e.what();
            }
        }
        work_.Add([this, job]() -> OrderedWork::Deliver {
            auto outcome = std::make_shared<Outcome>(CheckPackage(*job));
            return [this, outcome] { Deliver(*outcome); };
        });
    }

    // On a worker (or this thread with -j 1): touches nothing of the
    // scanner's but what it only reads.
    Outcome CheckPackage(PackageJob& job) {
        Outcome o;
        if (job.target)
            o.folder = job.final_dir;
        CollectErrors collect;
        if (!job.not_extracted.empty())
            NotExtracted(o, job.location, job.not_extracted);
        const std::string& location = job.location;
        try {
            std::unique_ptr<PackageSession> session;
            if (job.found.fd < 0) {
                session = std::make_unique<PackageSession>(job.place.file, job.options);
            } else {
                // The session owns the scratch file from here on, also when
                // it cannot read it.
                int fd = job.found.fd;
                job.found.fd = -1;
                session = std::make_unique<PackageSession>(fd, location, job.options);
            }
            session->CheckAllContents();
            InspectedPackage pkg = session->package();
            pkg.path = location;
            Extracted extracted;
            if (job.target && (pkg.Sound() || salvage_))
                extracted = Extract(o, *session, location, job.options.host_windows_dir,
                                    *job.target, job.final_dir);
            Report(o, pkg, job.found, job.place, extracted);
        } catch (const PackageError& e) {
            Failed(o, location, e.problems(), true);
        } catch (const ToolError& e) {
            Failed(o, location, {ScanCannotRead(location, e.what())}, true);
        }
        // A folder not renamed into place goes now, on the worker.
        job.target.reset();
        o.errors = collect.text();
        return o;
    }

    // On this thread, in turn.
    void Deliver(const Outcome& o) {
        progress_.Clear(); // drawn again on the next read
        if (!o.errors.empty()) {
            PrintText(stderr, o.errors);
            std::fflush(stderr);
        }
        if (!o.output.empty()) {
            PrintText(stdout, o.output);
            FlushOutput();
        }
        counts_.ok += o.ok;
        counts_.problems += o.problems;
        counts_.unreadable += o.unreadable;
        counts_.extracted += o.extracted;
        counts_.not_extracted += o.not_extracted;
        if (!o.folder.empty())
            in_hand_.erase(o.folder);
    }

    // The new folder and, in *real, its path as the session must see it.
    std::unique_ptr<ScratchDirectory> PrepareTarget(const std::string& location,
                                                    std::string* final_dir, std::string* real) {
        std::string name = SafeFolderName(location);
        *final_dir = extract_dir_ + "/" + name;
        // An earlier package still in hand may yet make that folder: what
        // -j 1 says is known once it is done.
        if (in_hand_.count(*final_dir) != 0)
            work_.Drain();
        // Two locations that make the same name, or an earlier run's folder:
        // never written into.
        if (hostos::GetStatus(*final_dir, false).kind != hostos::Kind::Missing)
            Fail(*final_dir, "already exists");
        if (!extract_dir_made_) {
            MakeDirectories(extract_dir_);
            extract_dir_made_ = true;
        }
        auto target = std::make_unique<ScratchDirectory>("." + name, extract_dir_);
        if (!hostos::RealPath(target->path(), real))
            Fail(target->path(), hostos::ErrorText(hostos::LastError()));
        return target;
    }

    // Where --extract put a package, and how many of its records it gave up.
    struct Extracted {
        std::string to; // "" when nothing was extracted
        size_t not_written = 0;
    };

    Extracted Extract(Outcome& o, PackageSession& session, const std::string& location,
                      const std::string& real, ScratchDirectory& target,
                      const std::string& final_dir) {
        try {
            // Only this thread draws progress lines.
            size_t given_up =
                ExtractEveryRecord(session, real, quiet_ || json_ || parallel_, salvage_);
            if (given_up == session.package().records.size())
                Fail(final_dir, "no file could be written");
            hostos::HoldInterrupts hold;
            hostos::SetDefaultPermissions(target.path(), true);
            if (!hostos::RenameNoReplace(target.path(), final_dir))
                Fail(final_dir, "cannot rename the extracted folder into place: " +
                                    hostos::ErrorText(hostos::LastError()));
            target.Release();
            ++o.extracted;
            return {final_dir, given_up};
        } catch (const ToolError& e) {
            NotExtracted(o, location, e.what());
            return {};
        }
    }

    void NotExtracted(Outcome& o, const std::string& location, const std::string& text) {
        ++o.not_extracted;
        ReportError("glimpack: " + location + ": not extracted: " + text);
    }

    void Report(Outcome& o, const InspectedPackage& pkg, const FoundPackage& found,
                const Place& place, const Extracted& extracted) {
        bool sound = pkg.Sound();
        ++(sound ? o.ok : o.problems);
        ScanHolder holder{!place.file.empty(), place.size_known, place.size};
        if (json_) {
            std::string more;
            if (!extract_dir_.empty())
                more = ", \"extracted_to\": " +
                       (extracted.to.empty() ? std::string("null") : JsonString(extracted.to)) +
                       ", \"records_not_written\": " + std::to_string(extracted.not_written);
            o.output += ScanPackageJson(pkg, found, holder, more) + "\n";
            return;
        }
        if (quiet_ && sound)
            return;
        std::string line = ScanPackageLine(pkg, found, holder);
        if (!extracted.to.empty() && !quiet_)
            line += "\n" + EscapeForDisplay(pkg.path, false) + ": extracted to " +
                    EscapeForDisplay(extracted.to, false) +
                    (extracted.not_written == 0 ? std::string()
                     : extracted.not_written == 1
                         ? std::string(", 1 record not written")
                         : ", " + std::to_string(extracted.not_written) + " records not written");
        o.output += line + "\n";
    }

    // Found on this thread while reading: printed after the packages found
    // before it.
    void Unreadable(const std::string& location, const std::string& text) {
        auto o = std::make_shared<Outcome>();
        o->unreadable = 1;
        {
            CollectErrors collect;
            Failed(*o, location, {ScanCannotRead(location, text)}, false);
            o->errors = collect.text();
        }
        work_.AddDone([this, o] { Deliver(*o); });
    }

    // A package that could not be read, or an input: one line on standard
    // error, and in JSON one object too.
    void Failed(Outcome& o, const std::string& location, const std::vector<Problem>& problems,
                bool package) {
        if (package)
            ++o.problems;
        ReportError("glimpack: " + ScanUnreadableLine(location, problems));
        if (json_)
            o.output += ScanUnreadableJson(location, problems) + "\n";
    }

    void ShowProgress() {
        double seconds = hostos::MonotonicSeconds() - start_;
        uint64_t rate = seconds > 0 ? uint64_t(double(counts_.read >> 20) / seconds) : 0;
        progress_.Show(WithThousands(counts_.files) + " files, " +
                       WithThousands(counts_.read >> 20) + " MiB read (" + WithThousands(rate) +
                       " MiB/s), " + WithThousands(counts_.packages) + " packages found");
    }

    bool json_, quiet_;
    unsigned depth_;
    Limits limits_;
    std::vector<hostos::DigestAlgorithm> digests_; // --hash
    std::string extract_dir_;                      // --extract; "" without
    bool salvage_;
    bool extract_dir_made_ = false;
    Counts counts_;
    Progress progress_;
    std::function<void()> tick_;
    double start_ = hostos::MonotonicSeconds();
    bool parallel_;
    // Packages found in the members of the archive a file on disk is, while
    // it is read through its directory (collecting_).
    ExplainedPackages in_archive_;
    bool collecting_ = false;
    std::set<std::string> in_hand_; // --extract folders of packages not yet delivered
    // Last: destroyed first, so no job outlives what it uses.
    OrderedWork work_;
};

// The paths listed in `list` ("-": standard input), one a line.
std::vector<std::string> ReadList(const std::string& list) {
    std::vector<uint8_t> bytes;
    if (list == "-") {
        uint8_t block[65536];
        for (long n; (n = hostos::Read(0, block, sizeof block)) != 0;) {
            if (n < 0)
                Fail("standard input", hostos::ErrorText(hostos::LastError()));
            bytes.insert(bytes.end(), block, block + n);
        }
    } else {
        bytes = ReadWholeFile(list);
    }
    std::vector<std::string> paths;
    std::string line;
    for (uint8_t c : bytes) {
        if (c != '\n') {
            line += char(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            paths.push_back(line);
        line.clear();
    }
    if (!line.empty())
        paths.push_back(line);
    return paths;
}

} // namespace

std::string SafeFolderName(const std::string& location) {
    std::string name;
    for (char c : location) {
        auto u = static_cast<unsigned char>(c);
        bool refused =
            u < 0x20 || u == 0x7F || std::string("/\\:*?\"<>|").find(c) != std::string::npos;
        name += refused ? '_' : c;
    }
    // A long name keeps its end, which tells one package from the next.
    if (name.size() > kSafeFolderNameBytes) {
        size_t cut = name.size() - kSafeFolderNameBytes;
        while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            ++cut;
        name.erase(0, cut);
    }
    for (size_t i = 0; i < name.size() && name[i] == '.'; ++i)
        name[i] = '_';
    for (size_t end = WithoutTrailingDotsAndBlanks(name.data(), name.size()); end < name.size();
         ++end)
        name[end] = '_';
    if (name.empty())
        name = "_";
    if (IsWindowsDeviceName(name.data(), name.size()))
        name.insert(0, "_");
    return name;
}

int CmdScan(int argc, char** argv) {
    bool json = false, quiet = false, salvage = false;
    std::string depth_text, files_from, extract_dir, jobs_text;
    Limits limits;
    std::vector<hostos::DigestAlgorithm> digests{hostos::DigestAlgorithm::Sha256};
    std::vector<std::string> paths;
    if (!ParseCommandLine(
            kText, argc, argv,
            {Flag({"--json"},
                  "JSON Lines: one object per package found (that of\n"
                  "list --json, with its location) and one per input\n"
                  "that could not be read",
                  &json),
             Flag({"-q", "--quiet"}, "show only packages with problems and errors", &quiet),
             Value({"--depth"}, "N",
                   "look inside archives within archives to N levels\n"
                   "(default 4; 0 searches archives as plain bytes)",
                   &depth_text),
             Value({"--files-from"}, "FILE",
                   "also scan the paths listed in FILE, one a line\n"
                   "(- for standard input)",
                   &files_from),
             Value({"--extract"}, "DIR",
                   "extract each package without problems, as extract\n"
                   "does, into its own new folder DIR/LOCATION",
                   &extract_dir),
             Flag({"--salvage"},
                  "with --extract, also extract packages with\n"
                  "problems: every file that reads or decodes\n"
                  "completely, naming each one that cannot be written",
                  &salvage),
             Value({"-j", "--jobs"}, "N",
                   "check N packages at once (default: the processors);\n"
                   "the output is the same",
                   &jobs_text),
             MaxSizeOption("records installing more are a problem (default 1G)", &limits),
             HashOption("the digests each file gets in JSON: md5, sha1, sha256,\n"
                        "sha384, sha512 or none (default sha256)",
                        &digests, nullptr)},
            &paths))
        return kExitOk;
    unsigned depth = kDefaultDepth;
    if (!depth_text.empty())
        depth = unsigned(ParseNumber("--depth", depth_text, 64));
    unsigned jobs = hostos::ProcessorCount();
    if (!jobs_text.empty()) {
        jobs = unsigned(ParseNumber("-j", jobs_text, 1024));
        if (jobs == 0)
            throw UsageError("-j takes a number of 1 or more");
    }
    if (!files_from.empty()) {
        std::vector<std::string> listed = ReadList(files_from);
        paths.insert(paths.end(), listed.begin(), listed.end());
    } else if (paths.empty()) {
        throw UsageError("no PATH given");
    }
    if (!glim::archive::Available() && depth > 0)
        ReportError("glimpack scan: " + ScanArchivesNotOpened("this build"));

    if (salvage && extract_dir.empty())
        throw UsageError("--salvage goes with --extract");
    if (!extract_dir.empty())
        hostos::InstallInterruptCleanup();
    Scanner scanner(json, quiet, depth, limits, digests, extract_dir, salvage, jobs);
    for (const std::string& path : paths)
        scanner.Path(path, true);
    return scanner.Finish();
}

} // namespace glimpack
