// The browser page's way into the project's code. Compiled with Emscripten
// and run inside the page's Web Worker, it reads a package with the tool's
// reader, gives its verdict, streams its files, builds the installer's texts
// for it and builds packages, so that the page's own script only presents.
//
// Every entry point answers one JSON object, {"ok": true, ...} or
// {"ok": false, "error": "FILE: problem"} (with "problems", the findings as
// objects, when the refusal is one of the package list's), in a buffer that stays valid until
// the next call. File contents leave through Module.onChunk in pieces, and
// long work reports through Module.onProgress, so that nothing the size of a
// package is ever held in the module's memory. A package being built is
// written to a file of the worker's in-memory file system, checked there as
// `glimpack pack` checks one, and leaves in pieces like a record.
//
// All of the page's C++ lives in this one file, which calls as few of the
// project's functions as it can: the libraries move around, this file adapts.
#include <emscripten/emscripten.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "format/naming.h"
#include "hostos/os.h"
#include "package/build.h"
#include "package/build_policy.h"
#include "package/errors.h"
#include "package/finder.h"
#include "package/listing.h"
#include "package/problems.h"
#include "package/scan_report.h"
#include "package/session.h"
#include "package/text.h"
#include "shell/texts.h"

// clang-format off
EM_JS(void, GlimReportProgress, (double done, double total), {
    if (Module.onProgress) Module.onProgress(done, total);
});
EM_JS(void, GlimEmitChunk, (const uint8_t* data, size_t size), {
    Module.onChunk(HEAPU8.slice(data, data + size));
});
// clang-format on

namespace {

using glimpack::Fail;
using glimpack::JsonString;

// Where a package being built is written before it is checked and handed
// out.
constexpr const char* kBuildDirectory = "/glim-built";

// Progress is reported after this many bytes at the least, so that a large
// record does not flood the page with messages.
constexpr uint64_t kProgressStep = uint64_t(1) << 20;
// A built package leaves in pieces of this size.
constexpr size_t kChunk = size_t(1) << 20;

struct OpenPackage {
    std::unique_ptr<glimpack::PackageSession> session; // the package as mounted
    uint64_t max_size = glimpack::kDefaultMaxSize;     // the limits it was judged by
    bool contents_checked = false;                     // CheckAllContents has run on it
    const glimpack::InspectedPackage& package() const { return session->package(); }
};

std::string g_answer;
std::optional<OpenPackage> g_open;

const char* Answer(std::string json) {
    g_answer = std::move(json);
    return g_answer.c_str();
}

std::string Num(uint64_t value) {
    return std::to_string(value);
}

std::string Hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Runs one entry point's work; every failure becomes one line naming the
// file (or the field) and the problem, and the module stays usable.
template <class Body> const char* Guarded(const std::string& subject, Body&& body) {
    std::string error;
    try {
        return Answer(body());
    } catch (const glimpack::PackageError& e) {
        // A refusal keeps its findings, so the page can tell them by code.
        return Answer("{\"ok\": false, \"error\": " + JsonString(e.what()) +
                      ", \"problems\": " + glimpack::ProblemsJson(e.problems()) + "}");
    } catch (...) {
        glimpack::Failure failure = glimpack::CurrentFailure();
        switch (failure.kind) {
        case glimpack::FailureKind::OutOfMemory:
            error = subject + ": not enough memory in this browser tab";
            break;
        case glimpack::FailureKind::BadInput:
            error = failure.text;
            break;
        case glimpack::FailureKind::Usage:
        case glimpack::FailureKind::Other:
            error = subject + ": " + failure.text;
            break;
        case glimpack::FailureKind::Unknown:
            error = subject + ": unexpected error";
            break;
        }
    }
    return Answer("{\"ok\": false, \"error\": " + JsonString(error) + "}");
}

OpenPackage& Current() {
    if (!g_open)
        throw std::runtime_error("no package is open");
    return *g_open;
}

// The open package, judged by the limit `max_size` (judged again when the
// page asks for another limit than before).
OpenPackage& Judged(double max_size) {
    OpenPackage& open = Current();
    const auto limit = static_cast<uint64_t>(max_size);
    if (limit != open.max_size) {
        glimpack::Limits limits;
        limits.max_size = limit;
        open.session->Rejudge(limits);
        open.max_size = limit;
        open.contents_checked = false;
    }
    return open;
}

// Installer text from Windows-1252 buffers to the page's UTF-8.
std::string Shown(const char* text_1252) {
    return JsonString(glimpack::Windows1252ToUtf8(text_1252));
}

// A sink that wants no more bytes stops the stream with this.
struct EnoughRead {};

// What the page knows of a file name it is given: one component.
void CheckFileName(const std::string& subject, const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.size() > 255)
        Fail(subject, "\"" + glimpack::EscapeForDisplay(name, true) + "\" is not a file name");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The name the page gave a file it mounted.
std::string BaseName(const std::string& path) {
    return hostos::FileNamePart(path);
}

std::vector<uint8_t> ReadInput(const std::string& path) {
    std::vector<uint8_t> data;
    if (!hostos::ReadFile(path, &data))
        Fail(BaseName(path), hostos::ErrorText(hostos::LastError()));
    return data;
}

// A package being built, in a file of its own that goes again with this.
class BuiltFile : public glimpack::PackTarget {
  public:
    BuiltFile(std::string path, std::string name) : path_(std::move(path)), name_(std::move(name)) {
        hostos::RemoveFile(path_);
        fd_ = hostos::OpenWrite(path_, true, true);
        if (fd_ < 0)
            Failed();
    }
    ~BuiltFile() override {
        if (fd_ >= 0)
            hostos::Close(fd_);
        hostos::RemoveFile(path_);
    }
    BuiltFile(const BuiltFile&) = delete;
    BuiltFile& operator=(const BuiltFile&) = delete;

    void Write(const uint8_t* data, size_t size) override {
        if (!hostos::Write(fd_, data, size))
            Failed();
        size_ += size;
    }
    void WriteAt(uint64_t offset, const uint8_t* data, size_t size) override {
        if (!hostos::WriteAt(fd_, offset, data, size))
            Failed();
    }
    void Truncate(uint64_t size) override {
        if (!hostos::Truncate(fd_, size) || hostos::Seek(fd_, int64_t(size), SEEK_SET) < 0)
            Failed();
        size_ = size;
    }
    // Everything is already in the file, which is read back by its path.
    std::string Finish() override { return path_; }
    // Hands the whole file to Module.onChunk in pieces.
    void Emit() {
        std::vector<uint8_t> piece(kChunk);
        if (hostos::Seek(fd_, 0, SEEK_SET) < 0)
            Failed();
        for (;;) {
            long n = hostos::Read(fd_, piece.data(), piece.size());
            if (n < 0)
                Failed();
            if (n == 0)
                return;
            GlimEmitChunk(piece.data(), size_t(n));
        }
    }
    const std::string& path() const { return path_; }
    uint64_t size() const { return size_; }

  private:
    [[noreturn]] void Failed() const { Fail(name_, hostos::ErrorText(hostos::LastError())); }

    std::string path_;
    std::string name_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// --- Scanning ----------------------------------------------------------------
// The page hands the bytes of one file or zip member at a time to the
// package finder, as `glimpack scan` does; each package found is checked
// over its own bytes (a scratch file of the in-memory file system) and
// shown in the tool's words. The page walks folders and opens zips itself.

struct ScanStream {
    std::string location; // PATH[!MEMBER...]
    std::string name;     // the name a package in it is judged under
    glimpack::ScanHolder holder;
    std::unique_ptr<glimpack::PackageFinder> finder;
};

glimpack::ScanCounts g_scan_counts;
std::unique_ptr<ScanStream> g_scan;
std::string g_scan_found; // JSON objects of the lines found since the last answer
// While a zip file of the folder is read member by member, the packages its
// members gave, so that a search of its raw bytes afterwards (it could not
// be read to its end) does not report them again.
glimpack::ExplainedPackages g_scan_explained;
bool g_scan_collecting = false;

void ScanFound(const std::string& line, const std::string& json, bool sound) {
    if (!g_scan_found.empty())
        g_scan_found += ", ";
    g_scan_found += "{\"line\": " + JsonString(line) + ", \"json\": " + json +
                    ", \"ok\": " + (sound ? "true" : "false") + "}";
}

// An answer with the lines found since the last one.
std::string ScanAnswer() {
    std::string found;
    found.swap(g_scan_found);
    return "{\"ok\": true, \"found\": [" + found + "]}";
}

// An input or a package that could not be read, as the tool reports one.
void ScanUnreadable(const std::string& location, const std::vector<glimpack::Problem>& problems) {
    ScanFound(glimpack::ScanUnreadableLine(location, problems),
              glimpack::ScanUnreadableJson(location, problems), false);
}

void ScanCheck(glimpack::FoundPackage& found) {
    const ScanStream& stream = *g_scan;
    if (g_scan_collecting && found.fd >= 0)
        g_scan_explained.Add(found);
    ++g_scan_counts.packages;
    const std::string location = glimpack::ScanLocation(stream.location, found.offset);
    glimpack::PackageSession::Options options;
    options.as_name = stream.name;
    try {
        // The session owns the scratch file from here on.
        const int fd = found.fd;
        found.fd = -1;
        glimpack::PackageSession session(fd, location, options);
        session.CheckAllContents();
        glimpack::InspectedPackage pkg = session.package();
        pkg.path = location;
        const bool sound = pkg.Sound();
        ++(sound ? g_scan_counts.ok : g_scan_counts.problems);
        ScanFound(glimpack::ScanPackageLine(pkg, found, stream.holder),
                  glimpack::ScanPackageJson(pkg, found, stream.holder), sound);
    } catch (const glimpack::PackageError& e) {
        ++g_scan_counts.problems;
        ScanUnreadable(location, e.problems());
    } catch (const glimpack::ToolError& e) {
        ++g_scan_counts.problems;
        ScanUnreadable(location, {glimpack::ScanCannotRead(location, e.what())});
    }
}

} // namespace

extern "C" {

// Reads the package `name` from the current directory, where the worker has
// mounted the chosen file under the name the installer would run as. Answers
// {"listing": the object `glimpack list --json NAME` prints}.
//
// The package open before stays open when this one is refused, so that the
// page can go on showing it.
EMSCRIPTEN_KEEPALIVE const char* glim_open(const char* name) {
    return Guarded(name, [&] {
        CheckFileName(name, name);
        OpenPackage open;
        open.session =
            std::make_unique<glimpack::PackageSession>(name, glimpack::PackageSession::Options());
        open.session->CheckAllContents();
        open.contents_checked = true;
        g_open = std::move(open);
        return "{\"ok\": true, \"listing\": " + glimpack::FormatListingJson(g_open->package()) +
               "}";
    });
}

// The installer's texts for the open package when the Windows directory is
// `windows_dir`: the message boxes' caption, the confirmation before anything
// is written and the completion message. {"stops": why} instead when the
// installer would end before showing them.
EMSCRIPTEN_KEEPALIVE const char* glim_texts(const char* windows_dir) {
    return Guarded("Windows directory", [&] {
        const glimpack::InspectedPackage& pkg = Current().package();
        std::string problem;
        std::optional<std::string> dir = glimpack::Utf8ToWindows1252(windows_dir, &problem);
        if (!dir)
            Fail("Windows directory", "the directory " + problem);
        if (dir->empty() || dir->size() >= GLIM_PATH_CAPACITY ||
            dir->find('\0') != std::string::npos)
            Fail("Windows directory",
                 "give a path of 1 to " + Num(GLIM_PATH_CAPACITY - 1) + " characters");

        char title[PAYLOAD_TITLE_SIZE + 1] = {};
        std::memcpy(title, pkg.header.title, PAYLOAD_TITLE_SIZE);
        TrimSaverTitle(title);
        char scr[GLIM_PATH_CAPACITY];
        if (!BuildScrFileName(pkg.module_path.c_str(), scr, sizeof scr))
            return std::string("{\"ok\": true, \"stops\": \"the package's file name gives no "
                               "screen saver name\"}");
        char caption[SHELL_CAPTION_CAPACITY];
        char confirmation[SHELL_MESSAGE_CAPACITY];
        char completion[SHELL_MESSAGE_CAPACITY];
        BuildCaption(title, caption, sizeof caption);
        BuildConfirmationText(scr, title, dir->c_str(), pkg.installed_total, confirmation,
                              sizeof confirmation);
        BuildCompletionText(dir->c_str(), pkg.module_path.c_str(), completion, sizeof completion);
        return "{\"ok\": true, \"module_path\": " + Shown(pkg.module_path.c_str()) +
               ", \"scr_file_name\": " + Shown(scr) + ", \"caption\": " + Shown(caption) +
               ", \"confirmation\": " + Shown(confirmation) +
               ", \"completion\": " + Shown(completion) + "}";
    });
}

// The verdict on the open package, as `glimpack test` gives it (the same
// verdict, package/verdict.h): every record read or decoded, its CRC-32,
// SHA-256 and problems, and the problems of the package as a whole (a
// signature that no longer holds); records over `max_size` are refused
// unread.
EMSCRIPTEN_KEEPALIVE const char* glim_check(double max_size) {
    const std::string subject = g_open ? g_open->package().path : "package";
    return Guarded(subject, [&] {
        OpenPackage& open = Judged(max_size);
        const glimpack::InspectedPackage& pkg = open.package();
        uint64_t total = 0, done = 0, reported = 0;
        for (const glimpack::InspectedRecord& r : pkg.records) {
            if (r.problems.empty())
                total += InstalledSize(&r.record);
        }
        GlimReportProgress(0, double(total));
        if (!open.contents_checked) {
            open.session->CheckAllContents([&](uint64_t size) {
                done += size;
                if (done - reported >= kProgressStep) {
                    reported = done;
                    GlimReportProgress(double(done), double(total));
                }
            });
            open.contents_checked = true;
        }
        GlimReportProgress(double(total), double(total));
        std::string records;
        for (const glimpack::InspectedRecord& r : pkg.records) {
            const std::string sha256 = pkg.DigestOf(r, hostos::DigestAlgorithm::Sha256);
            records += records.empty() ? "\n    " : ",\n    ";
            records +=
                "{\"index\": " + Num(r.index) + ", \"crc32\": " +
                (r.contents_checked ? "\"" + Hex8(r.crc32) + "\"" : std::string("null")) +
                ", \"sha256\": " + (sha256.empty() ? std::string("null") : "\"" + sha256 + "\"") +
                ", \"problems\": " + glimpack::ProblemsJson(r.problems) + "}";
        }
        std::string summary = pkg.path + ": " + glimpack::VerdictLine(pkg);
        return "{\"ok\": true, \"records\": [" + records +
               "], \"problems\": " + glimpack::ProblemsJson(pkg.problems) +
               ", \"bad\": " + Num(pkg.RecordsWithProblems()) +
               ", \"summary\": " + JsonString(summary) + "}";
    });
}

// Hands the contents of record `index` to Module.onChunk: all of it, or the
// first `limit` bytes when `limit` is not 0 (for a preview). A record with a
// problem (over `max_size`, say) is refused. Answers how many bytes were
// given, whether that was all, the CRC-32 of a whole record and what reading
// it in full found wrong.
EMSCRIPTEN_KEEPALIVE const char* glim_read(uint32_t index, double limit, double max_size) {
    const std::string subject = g_open ? g_open->package().path : "package";
    return Guarded(subject, [&] {
        OpenPackage& open = Judged(max_size);
        const glimpack::InspectedPackage& pkg = open.package();
        if (index >= pkg.records.size())
            Fail(pkg.path, "no record " + Num(index));
        const glimpack::InspectedRecord& r = pkg.records[index];
        if (!r.problems.empty())
            glimpack::Refuse(pkg.path, r.problems, "");
        const auto wanted = static_cast<uint64_t>(limit);
        const uint64_t size = InstalledSize(&r.record);
        uint64_t given = 0, reported = 0;
        bool whole = true;
        auto emit = [&](const uint8_t* data, size_t n) {
            if (wanted && given + n > wanted)
                n = size_t(wanted - given);
            GlimEmitChunk(data, n);
            given += n;
            if (given - reported >= kProgressStep) {
                reported = given;
                GlimReportProgress(double(given), double(size));
            }
            if (wanted && given >= wanted && given < size)
                throw EnoughRead{};
        };
        try {
            open.session->CheckContents(index, emit);
        } catch (const EnoughRead&) {
            whole = false;
        }
        return "{\"ok\": true, \"bytes\": " + Num(given) + ", \"size\": " + Num(size) +
               ", \"whole\": " + (whole ? "true" : "false") + ", \"crc32\": " +
               (whole && r.contents_checked ? "\"" + Hex8(r.crc32) + "\"" : std::string("null")) +
               ", \"problems\": " +
               glimpack::ProblemsJson(whole ? r.problems : std::vector<glimpack::Problem>{}) + "}";
    });
}

// Judges the names of a package about to be built as glim_build does before
// it reads any file: `output_name`, the first file number and the further
// data files' names, one a line. The page refuses a name of its own (one a
// browser would save as another) only after these.
EMSCRIPTEN_KEEPALIVE const char* glim_check_names(const char* output_name, const char* first_number,
                                                  const char* data_names) {
    return Guarded(output_name, [&] {
        CheckFileName("File name", output_name);
        glimpack::PlanInputs(output_name,
                             glimpack::ParseFirstFileNumber(first_number, "First file number"),
                             Lines(data_names));
        return std::string("{\"ok\": true}");
    });
}

// Builds a package as `glimpack pack` does: `inputs` holds the paths of the
// saver, the data file and the further data files, one a line, each file's
// own name being the last component; `mode` is "default", "best" or
// "store". The package `output_name` is handed to Module.onChunk once it is made.
EMSCRIPTEN_KEEPALIVE const char* glim_build(const char* output_name, const char* title,
                                            const char* first_number, const char* mode,
                                            const char* stub_path, const char* inputs) {
    return Guarded(output_name, [&] {
        CheckFileName("File name", output_name);
        const std::string how = mode;
        if (how != "default" && how != "best" && how != "store")
            Fail("Compression", "unknown mode \"" + how + "\"");

        glimpack::PackOptions options;
        options.output = output_name;
        options.title_1252 = glimpack::PackageTitle(title, "Title");
        options.first_number = glimpack::ParseFirstFileNumber(first_number, "First file number");
        options.stub_path = stub_path;
        std::vector<std::string> paths = Lines(inputs);
        if (paths.size() < 2)
            Fail(output_name, "a package needs a saver and a data file");
        // Names first, as `glimpack pack` judges them: a bad extension or a
        // name the installer cannot use is refused before any file is read.
        std::vector<std::string> data_names;
        for (size_t i = 2; i < paths.size(); ++i)
            data_names.push_back(BaseName(paths[i]));
        options.inputs = glimpack::PlanInputs(output_name, options.first_number, data_names);
        uint64_t total = 0;
        for (size_t i = 0; i < paths.size(); ++i) {
            options.inputs[i].path = BaseName(paths[i]);
            auto file = std::make_shared<glimpack::FileInput>(paths[i], BaseName(paths[i]));
            total += file->Size().value_or(0);
            options.inputs[i].source = std::move(file);
        }
        options.stub = ReadInput(stub_path);
        options.store = how == "store";
        options.mode = how == "best" ? encoder::Mode::Best : encoder::Mode::Default;
        options.progress = [](uint64_t done, uint64_t all) {
            GlimReportProgress(double(done), double(all));
        };

        GlimReportProgress(0, double(total));
        // The package is put together in a file of its own (its record table
        // is filled in last), judged there as the installer will see it under
        // its name, and only then handed out, in pieces.
        mkdir(kBuildDirectory, 0700);
        BuiltFile package(std::string(kBuildDirectory) + "/package.exe", output_name);
        glimpack::BuildCheckedPackage(options, package, glimpack::Limits());
        package.Emit();
        return "{\"ok\": true, \"size\": " + Num(package.size()) + "}";
    });
}

// Scanning (see ScanStream): a scan begins, then for each input file
// glim_scan_file, for each zip opened glim_scan_archive, for each file or
// member searched glim_scan_open, its bytes through glim_scan_space and
// glim_scan_commit, and glim_scan_close; glim_scan_summary ends it. Every
// answer but the summary's carries the lines found meanwhile, {"found":
// [{"line", "json", "ok"}]}.
EMSCRIPTEN_KEEPALIVE const char* glim_scan_begin() {
    g_scan_counts = glimpack::ScanCounts();
    g_scan.reset();
    g_scan_found.clear();
    return Answer("{\"ok\": true, \"note\": " +
                  JsonString(glimpack::ScanArchivesNotOpened("this page", "zip files")) + "}");
}

EMSCRIPTEN_KEEPALIVE void glim_scan_file(double size) {
    ++g_scan_counts.files;
    g_scan_counts.bytes += static_cast<uint64_t>(size);
}

EMSCRIPTEN_KEEPALIVE void glim_scan_archive() {
    ++g_scan_counts.archives;
}

// A zip file of the folder is about to be read member by member (1), or
// its reading and any search of its raw bytes are over (0).
EMSCRIPTEN_KEEPALIVE void glim_scan_collect(int on) {
    g_scan_explained = glimpack::ExplainedPackages();
    g_scan_collecting = on != 0;
}

// The zip at `location` could not be read on: `reason` says why, and
// `searched_after` whether its raw bytes are searched next.
EMSCRIPTEN_KEEPALIVE const char* glim_scan_damaged(const char* location, const char* reason,
                                                   int searched_after) {
    return Guarded(location, [&] {
        ++g_scan_counts.unreadable;
        const std::string text =
            glimpack::ScanArchiveDamaged("a zip file", reason, searched_after != 0);
        ScanUnreadable(location, {glimpack::ScanCannotRead(location, text)});
        return ScanAnswer();
    });
}

// An input (or the zip around a member) that could not be read: `text`
// says why.
EMSCRIPTEN_KEEPALIVE const char* glim_scan_unreadable(const char* location, const char* text) {
    return Guarded(location, [&] {
        ++g_scan_counts.unreadable;
        ScanUnreadable(location, {glimpack::ScanCannotRead(location, text)});
        return ScanAnswer();
    });
}

// Starts searching the bytes at `location`, a file of the folder (`file`
// 1) or a member, of `size` bytes (-1: not known), whose packages are judged
// under `name`. `again`: the raw bytes of a zip file just read member by
// member, where the packages its members gave are not reported again.
EMSCRIPTEN_KEEPALIVE const char* glim_scan_open(const char* location, const char* name, int file,
                                                double size, int again) {
    return Guarded(location, [&] {
        if (g_scan)
            Fail(location, "another file is still being searched");
        auto stream = std::make_unique<ScanStream>();
        stream->location = location;
        stream->name = name;
        stream->holder = {file != 0, size >= 0, size >= 0 ? static_cast<uint64_t>(size) : 0};
        glimpack::FinderOptions options;
        options.found = ScanCheck;
        if (again) {
            g_scan_collecting = false;
            options.found = [](glimpack::FoundPackage& found) {
                if (found.fd >= 0 && g_scan_explained.Explains(found)) {
                    hostos::Close(found.fd);
                    found.fd = -1;
                    return;
                }
                ScanCheck(found);
            };
        }
        stream->finder = std::make_unique<glimpack::PackageFinder>(options);
        g_scan = std::move(stream);
        return ScanAnswer();
    });
}

// Room for the next `size` bytes of the stream being searched, which the
// page writes there and commits; 0 when there is no memory for it.
EMSCRIPTEN_KEEPALIVE uint8_t* glim_scan_space(double size) {
    try {
        size_t room = 0;
        return g_scan ? g_scan->finder->Space(static_cast<size_t>(size), &room) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

EMSCRIPTEN_KEEPALIVE const char* glim_scan_commit(double size) {
    const std::string subject = g_scan ? g_scan->location : "scan";
    return Guarded(subject, [&] {
        if (!g_scan)
            Fail(subject, "nothing is being searched");
        g_scan->finder->Commit(static_cast<size_t>(size));
        return ScanAnswer();
    });
}

// The stream has ended: packages it cut short are checked as they are.
EMSCRIPTEN_KEEPALIVE const char* glim_scan_close() {
    const std::string subject = g_scan ? g_scan->location : "scan";
    return Guarded(subject, [&] {
        if (g_scan)
            g_scan->finder->Finish();
        g_scan.reset();
        return ScanAnswer();
    });
}

// The stream could not be read on: what it held that was not yet found is
// dropped, as the tool drops it.
EMSCRIPTEN_KEEPALIVE void glim_scan_abandon() {
    g_scan.reset();
}

EMSCRIPTEN_KEEPALIVE const char* glim_scan_summary() {
    return Answer(
        "{\"ok\": true, \"summary\": " + JsonString(glimpack::ScanSummaryLine(g_scan_counts)) +
        ", \"sound\": " + (g_scan_counts.problems || g_scan_counts.unreadable ? "false" : "true") +
        "}");
}

} // extern "C"
