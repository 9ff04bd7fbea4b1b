// glimpack extract: writes every record where the installer would put it,
// with a directory of the user's choice standing for the Windows directory.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/naming.h"
#include "hostos/os.h"
#include "package/read.h"
#include "package/text.h"
#include "platform/host/host_world.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace glimpack {
namespace {

const char kHelp[] =
    "Usage: glimpack extract [-d DIR] [--overwrite] [-q] [--max-size BYTES] PACKAGE\n"
    "\n"
    "Writes every file of PACKAGE where the installer would, DIR standing for the\n"
    "Windows directory: the saver as DIR/NAME.SCR, the data files below\n"
    "DIR/QUILLFEN/GLIMLOOM/NAME/. Without -d, a new directory named after the\n"
    "package is made, and only when everything was extracted.\n"
    "\n"
    "  -d DIR           extract into DIR (made when missing)\n"
    "  --overwrite      replace files that already exist (default: refuse)\n"
    "  -q               print nothing but errors\n"
    "  --max-size BYTES refuse records larger than this (default 1 GiB)\n";

// Packages above this size show a progress line on a terminal.
constexpr uint64_t kProgressThreshold = uint64_t(4) << 20;

struct Options {
    std::string dir;
    std::string package;
    bool overwrite = false;
    bool quiet = false;
    uint64_t max_size = kDefaultMaxSize;
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
                   [&](const std::string& v) { o.max_size = ParseSize("--max-size", v); }}},
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

// Everything that can be known before the first byte is written is checked
// first, so that a bad package leaves nothing behind.
void CheckBeforeWriting(const InspectedPackage& pkg, const Options& o, const std::string& target) {
    std::map<std::string, uint32_t> seen;
    for (const InspectedRecord& r : pkg.records) {
        std::string what = "record " + std::to_string(r.index);
        if (!r.destination_problem.empty())
            Fail(pkg.path, what + ": " + r.destination_problem);
        if (!r.problems.empty())
            Fail(pkg.path, what + ": " + r.problems.front());
        if (r.record.unpacked_size > o.max_size)
            Fail(pkg.path, what + ": unpacked size " + std::to_string(r.record.unpacked_size) +
                               " is over the limit of " + std::to_string(o.max_size) +
                               " bytes (see --max-size)");
        std::string key = r.destination;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return char(std::toupper(c)); });
        auto [it, fresh] = seen.emplace(key, r.index);
        if (!fresh)
            Fail(pkg.path, what + " has the same destination as record " +
                               std::to_string(it->second) + ": " + r.destination);
        if (!o.overwrite) {
            std::string host_path =
                host::ToHostPath(std::string(kWindowsDirectory) + "\\" + r.destination);
            if (!host_path.empty() &&
                hostos::GetStatus(host_path, false).kind != hostos::Kind::Missing)
                Fail(host_path, "already exists (use --overwrite to replace it)");
        }
    }
    uint64_t total = InstalledBytes(pkg);
    uint64_t free_bytes = 0;
    if (hostos::FreeSpace(target, &free_bytes) && free_bytes < total)
        Fail(target, "not enough free space: the package needs " + WithThousands(total) +
                         " bytes, " + WithThousands(free_bytes) + " are free");
}

class Progress {
  public:
    Progress(bool enabled, uint64_t total) : enabled_(enabled && total), total_(total) {}
    ~Progress() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
    }
    void Add(uint64_t n, const std::string& name) {
        done_ += n;
        if (!enabled_)
            return;
        int pct = int(done_ * 100 / total_);
        if (pct == last_pct_)
            return;
        last_pct_ = pct;
        shown_ = true;
        std::fprintf(stderr, "\r\033[K%3d%%  %s", pct, name.c_str());
        std::fflush(stderr);
    }

  private:
    bool enabled_;
    uint64_t total_;
    uint64_t done_ = 0;
    int last_pct_ = -1;
    bool shown_ = false;
};

void ExtractRecord(const InspectedPackage& pkg, const InspectedRecord& r, const Options& o,
                   Progress& progress) {
    std::string windows_path = std::string(kWindowsDirectory) + "\\" + r.destination;
    std::string host_path = host::ToHostPath(windows_path);
    if (host_path.empty())
        Fail(pkg.path, "record " + std::to_string(r.index) + ": destination " + r.destination +
                           " would lie outside the target directory");
    MakeParentDirectories(host_path);

    AtomicOutput out(host_path, o.overwrite);
    StreamResult s = StreamRecord(pkg, r, [&](const uint8_t* d, size_t n) {
        out.Write(d, n);
        progress.Add(n, r.destination);
    });
    if (s.ran_out_of_input)
        Fail(pkg.path, "record " + std::to_string(r.index) + ": " + DescribeDecodeProblem(true, 0));
    out.Commit();
    if (s.stored_bytes_unused && !o.quiet)
        std::fprintf(stderr, "glimpack: warning: %s: record %u: %s\n", pkg.path.c_str(), r.index,
                     DescribeDecodeProblem(false, s.stored_bytes_unused).c_str());
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

    // Without -d the files go to a scratch directory beside the final one,
    // which is renamed into place only when everything is written.
    std::string final_dir = o.dir.empty() ? DefaultTarget(o.package) : o.dir;
    std::unique_ptr<ScratchDirectory> scratch;
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
        MakeDirectories(o.dir);
        target = o.dir;
    }
    if (!hostos::RealPath(target, &target))
        Fail(target, "cannot use as target directory: " + hostos::ErrorText(hostos::LastError()));

    InspectedPackage pkg = InspectPackage(o.package, target);
    CheckBeforeWriting(pkg, o, target);

    uint64_t total = InstalledBytes(pkg);
    {
        Progress progress(!o.quiet && hostos::IsTerminal(2) && total > kProgressThreshold, total);
        for (const InspectedRecord& r : pkg.records)
            ExtractRecord(pkg, r, o, progress);
    }

    if (scratch) {
        // The working directory is private; give it the usual permissions.
        hostos::SetDefaultPermissions(target, true);
        if (!hostos::RenameNoReplace(target, final_dir))
            Fail(final_dir, "cannot rename the extracted directory into place: " +
                                hostos::ErrorText(hostos::LastError()));
        scratch->Release();
    }
    if (!o.quiet)
        std::printf("Extracted %zu file%s, %s bytes, to %s\n", pkg.records.size(),
                    pkg.records.size() == 1 ? "" : "s", WithThousands(total).c_str(),
                    final_dir.c_str());
    return kExitOk;
}

} // namespace glimpack
