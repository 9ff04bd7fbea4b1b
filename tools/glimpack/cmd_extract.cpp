// glimpack extract: writes every record where the installer would put it,
// with a directory of the user's choice standing for the Windows directory.
//
// All or nothing: every record is first written in full to a scratch file
// beside its destination, its contents checked as it goes; only when all
// are there are they put in place, with interruptions held back for those
// few renames. A failure or an interruption before that leaves the target
// as it was: the scratch files and the folders made for them go again.
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/naming.h"
#include "hostos/atomic_file.h"
#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "package/read.h"
#include "package/text.h"
#include "package/verdict.h"
#include "platform/host/host_world.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"
#include "tools/glimpack/status_line.h"

namespace glimpack {
namespace {

const char kHelp[] =
    "Usage: glimpack extract [-d DIR] [--overwrite] [-q] [--max-size BYTES] PACKAGE\n"
    "\n"
    "Writes every file of PACKAGE where the installer would, DIR standing for the\n"
    "Windows directory: the saver as DIR/NAME.SCR, the data files below\n"
    "DIR/QUILLFEN/GLIMLOOM/NAME/. Without -d, a new directory named after the\n"
    "package is made. Either every file is written or none: a package with any\n"
    "problem is refused before anything is written, and a failure or an\n"
    "interruption leaves the target as it was.\n"
    "\n"
    "  -d DIR           extract into DIR (made when missing)\n"
    "  --overwrite      replace files that already exist (default: refuse); only\n"
    "                   regular files are ever replaced\n"
    "  -q               print nothing but errors\n"
    "  --max-size BYTES refuse records larger than this (default 1G)\n";

// Packages above this size show a progress line on a terminal.
constexpr uint64_t kProgressThreshold = uint64_t(4) << 20;

struct Options {
    std::string dir;
    std::string package;
    bool overwrite = false;
    bool quiet = false;
    Limits limits;
};

Options ParseCommandLine(int argc, char** argv, bool* help) {
    Options o;
    std::vector<std::string> packages;
    ParseOptions(argc, argv,
                 {{{"-h", "--help"}, false, [&](const std::string&) { *help = true; }},
                  {{"-d", "--directory"},
                   true,
                   [&](const std::string& v) {
                       if (v.empty())
                           throw UsageError("option '-d' needs a directory");
                       o.dir = v;
                   }},
                  {{"--overwrite"}, false, [&](const std::string&) { o.overwrite = true; }},
                  {{"-q", "--quiet"}, false, [&](const std::string&) { o.quiet = true; }},
                  {{"--max-size"},
                   true,
                   [&](const std::string& v) { o.limits.max_size = ParseSize("--max-size", v); }}},
                 &packages);
    if (*help)
        return o;
    if (packages.empty())
        throw UsageError("no package given");
    if (packages.size() > 1)
        throw UsageError("more than one package given");
    o.package = packages[0];
    return o;
}

std::string HostPathOf(const InspectedRecord& r) {
    return host::ToHostPath(std::string(kWindowsDirectory) + "\\" + r.destination);
}

// Everything that can be known before the first byte is written is checked
// first, so that a bad package or a target in the way leaves nothing behind.
void CheckBeforeWriting(const InspectedPackage& pkg, const Options& o, const std::string& target) {
    if (!pkg.Sound())
        Fail(pkg.path, FirstProblem(pkg));
    hostos::Status package = hostos::GetStatus(pkg.path, true);
    for (const InspectedRecord& r : pkg.records) {
        std::string host_path = HostPathOf(r);
        if (host_path.empty())
            Fail(pkg.path, "record " + std::to_string(r.index) + ": destination " +
                               EscapeForDisplay(r.destination, false) +
                               " would lie outside the target directory");
        hostos::Status there = hostos::GetStatus(host_path, false);
        if (there.kind == hostos::Kind::Missing)
            continue;
        if (!o.overwrite)
            Fail(host_path, "already exists (use --overwrite to replace it)");
        if (there.kind != hostos::Kind::Regular)
            Fail(host_path, DescribeNotRegular(there.kind));
        if (hostos::SameFile(there, package))
            Fail(host_path, "is the package being extracted");
    }
    uint64_t free_bytes = 0;
    if (hostos::FreeSpace(target, &free_bytes) && free_bytes < pkg.installed_bytes)
        Fail(target, "not enough free space: the package needs " +
                         WithThousands(pkg.installed_bytes) + " bytes, " +
                         WithThousands(free_bytes) + " are free");
}

class Progress {
  public:
    Progress(bool enabled, uint64_t total)
        : enabled_(enabled && total), total_(total),
          line_(stderr, hostos::TerminalTakesEscapes(2)) {}
    void Add(uint64_t n, const std::string& name) {
        done_ += n;
        if (!enabled_)
            return;
        int pct = int(done_ * 100 / total_);
        if (pct == last_pct_)
            return;
        last_pct_ = pct;
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%  ", pct);
        line_.Show(percent + name);
    }

  private:
    bool enabled_;
    uint64_t total_;
    uint64_t done_ = 0;
    int last_pct_ = -1;
    StatusLine line_;
};

// The files and folders one extraction makes, kept until all of it is
// there; destroyed before Publish, it takes them all away again.
class Extraction {
  public:
    ~Extraction() {
        files_.clear(); // each removes its scratch file
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
            hostos::RemoveDirectory(it->path);
            hostos::ForgetScratch(it->cleanup);
        }
    }

    // Makes the folders above `path` that are missing, remembering them.
    void MakeFoldersFor(const std::string& path) {
        std::string name = hostos::FileNamePart(path);
        std::string parent = path.substr(0, path.size() - name.size());
        while (parent.size() > 1 && parent.back() == '/')
            parent.pop_back();
        if (parent.empty() || parent == path)
            return;
        hostos::Status st = hostos::GetStatus(parent, true);
        if (st.kind == hostos::Kind::Directory)
            return;
        if (st.kind != hostos::Kind::Missing)
            Fail(parent, "cannot hold the extracted files: " + DescribeNotRegular(st.kind));
        MakeFoldersFor(parent);
        hostos::HoldInterrupts hold; // made and registered in one step
        if (!hostos::MakeDirectory(parent))
            Fail(parent, "cannot create directory: " + hostos::ErrorText(hostos::LastError()));
        folders_.push_back({parent, hostos::RegisterScratch(parent, true)});
    }

    hostos::AtomicFile& NewFile(const std::string& path, bool overwrite) {
        files_.push_back(std::make_unique<hostos::AtomicFile>());
        hostos::AtomicFile& f = *files_.back();
        if (!f.Begin(path, overwrite))
            Fail(path, "cannot create: " + hostos::ErrorText(f.error()));
        return f;
    }

    // Puts every finished file in place; call with interruptions held back.
    void Publish() {
        for (const auto& f : files_) {
            if (!f->Publish())
                Fail(f->path(), "cannot put in place: " + hostos::ErrorText(f->error()));
        }
        for (const Folder& folder : folders_)
            hostos::ForgetScratch(folder.cleanup);
        folders_.clear();
        files_.clear();
    }

  private:
    struct Folder {
        std::string path;
        int cleanup;
    };
    std::vector<std::unique_ptr<hostos::AtomicFile>> files_;
    std::vector<Folder> folders_;
};

void WriteRecord(const InspectedPackage& pkg, InspectedRecord& r, const Options& o,
                 Extraction& extraction, Progress& progress) {
    std::string host_path = HostPathOf(r);
    extraction.MakeFoldersFor(host_path);
    hostos::AtomicFile& out = extraction.NewFile(host_path, o.overwrite);
    CheckContents(pkg, r, [&](const uint8_t* d, size_t n) {
        if (!out.Write(d, n))
            Fail(host_path, "write error: " + hostos::ErrorText(out.error()));
        progress.Add(n, r.destination);
    });
    if (!r.problems.empty())
        Fail(pkg.path, "record " + std::to_string(r.index) + ": " + r.problems.front());
    if (!out.Finish())
        Fail(host_path, "write error: " + hostos::ErrorText(out.error()));
}

// A default target directory named after the package: STARS.EXE -> STARS,
// by the rule that names the installer's data directory.
std::string DefaultTarget(const std::string& package) {
    char base[GLIM_PATH_CAPACITY];
    std::string name = hostos::FileNamePart(package);
    if (!GetInstallerBaseName(name.c_str(), base, sizeof base))
        throw UsageError("cannot name a directory after '" + package + "'; give one with -d");
    return base;
}

} // namespace

int CmdExtract(int argc, char** argv) {
    bool help = false;
    Options o = ParseCommandLine(argc, argv, &help);
    if (help) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    hostos::InstallInterruptCleanup();

    // Without -d the files go to a scratch directory beside the final one,
    // which is renamed into place only when everything is written.
    std::string final_dir = o.dir.empty() ? DefaultTarget(o.package) : o.dir;
    std::unique_ptr<ScratchDirectory> scratch;
    MadeDirectories made_target;
    std::string target;
    if (o.dir.empty()) {
        if (hostos::GetStatus(final_dir, false).kind != hostos::Kind::Missing)
            Fail(final_dir, "already exists; choose a directory with -d");
        std::string parent =
            final_dir.substr(0, final_dir.size() - hostos::FileNamePart(final_dir).size());
        scratch = std::make_unique<ScratchDirectory>("." + hostos::FileNamePart(final_dir),
                                                     parent.empty() ? "." : parent);
        target = scratch->path();
    } else {
        // A target made for this extraction goes again if it fails.
        made_target.Make(o.dir);
        target = o.dir;
    }
    if (!hostos::RealPath(target, &target))
        Fail(target, "cannot use as target directory: " + hostos::ErrorText(hostos::LastError()));

    InspectedPackage pkg = InspectPackage(o.package, target, o.limits);
    CheckBeforeWriting(pkg, o, target);
    {
        Extraction extraction;
        Progress progress(!o.quiet && hostos::IsTerminal(2) &&
                              pkg.installed_bytes > kProgressThreshold,
                          pkg.installed_bytes);
        for (InspectedRecord& r : pkg.records)
            WriteRecord(pkg, r, o, extraction, progress);
        hostos::HoldInterrupts hold;
        extraction.Publish();
        if (scratch) {
            // The working directory is private; give it the usual permissions.
            hostos::SetDefaultPermissions(target, true);
            if (!hostos::RenameNoReplace(target, final_dir))
                Fail(final_dir, "cannot rename the extracted directory into place: " +
                                    hostos::ErrorText(hostos::LastError()));
            scratch->Release();
        }
    }
    made_target.Keep();
    if (!o.quiet)
        std::printf("Extracted %zu file%s, %s bytes, to %s\n", pkg.records.size(),
                    pkg.records.size() == 1 ? "" : "s", WithThousands(pkg.installed_bytes).c_str(),
                    EscapeForDisplay(final_dir, false).c_str());
    return kExitOk;
}

} // namespace glimpack
