// glimpack extract: writes every record where the installer would put it,
// with a directory of the user's choice standing for the Windows directory.
//
// All or nothing: every record is first written in full to a scratch file
// beside its destination, its contents checked as it goes; only when all
// are there are they put in place, with interruptions held back for those
// few renames. A failure or an interruption before that leaves the target
// as it was: the scratch files and the folders made for them go again.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/windows_names.h"
#include "format/naming.h"
#include "hostos/atomic_file.h"
#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "package/listing.h"
#include "package/problems.h"
#include "package/session.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"
#include "tools/glimpack/progress.h"

namespace glimpack {
namespace {

const CommandText kText = {
    "extract", "PACKAGE...",
    "Writes the files of each PACKAGE where the installer would, DIR standing for\n"
    "the Windows directory: the saver as DIR/NAME.SCR, the data files below\n"
    "DIR/QUILLFEN/GLIMLOOM/NAME/. Without -d, each package goes into a new\n"
    "directory named after it. For each package, either every file is written\n"
    "or none: a package with any problem is refused before anything is written,\n"
    "and a failure or an interruption leaves the target as it was. With several\n"
    "packages, each is extracted on its own and a summary line ends the run.\n"
    "\n"
    "A PATTERN chooses files by their destination (as list shows it): whole path\n"
    "components, compared without regard to case, with * and ? within a\n"
    "component; it matches the end of the destination (\"*.BMP\", \"STARS/*\") or,\n"
    "starting with / or \\, the whole of it. Only the chosen files are read."};

struct Options {
    std::string dir;
    bool overwrite = false;
    bool keep = false;
    bool quiet = false;
    bool verbose = false;
    bool dry_run = false;
    bool to_stdout = false;
    bool salvage = false;
    std::vector<std::string> patterns;
    Limits limits;
};

// The components of a destination or a pattern ("/" and "\" separate them),
// without empty ones.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0, start = 0, count = 0;
    while (NextPathComponent(path.data(), path.size(), &pos, &start, &count)) {
        if (count != 0)
            parts.push_back(path.substr(start, count));
    }
    return parts;
}

Options ParseCommandLine(int argc, char** argv, std::vector<std::string>* packages, bool* run) {
    Options o;
    *run = glimpack::ParseCommandLine(
        kText, argc, argv,
        {Value({"-d", "--directory"}, "DIR", "extract into DIR (made when missing)", &o.dir),
         Option{{"-I", "--include"},
                "PATTERN",
                "extract only the files whose destination matches\nPATTERN (may be given again)",
                [&](const std::string& v) {
                    if (Components(v).empty())
                        throw UsageError("option '--include': \"" + EscapeForDisplay(v, true) +
                                         "\" names no file");
                    o.patterns.push_back(v);
                }},
         Flag({"-p", "--stdout"},
              "write the chosen files' contents to standard output,\n"
              "one after the other, and nothing to disk",
              &o.to_stdout),
         Flag({"--overwrite"},
              "replace files that already exist (default: refuse);\n"
              "only regular files are ever replaced",
              &o.overwrite),
         Flag({"-n", "--keep"}, "keep files that already exist and write the others", &o.keep),
         Flag({"--dry-run"}, "check everything and show what would be written,\nwriting nothing",
              &o.dry_run),
         Flag({"--salvage"},
              "of a package with problems, write every file that\n"
              "reads or decodes completely and name each one that\n"
              "cannot be written, instead of refusing the package",
              &o.salvage),
         Flag({"-v", "--verbose"}, "name each file as it is written", &o.verbose),
         Flag({"-q", "--quiet"}, "print nothing but errors", &o.quiet),
         MaxSizeOption("refuse records larger than this (default 1G)", &o.limits)},
        packages);
    if (!*run)
        return o;
    RequirePackages(*packages);
    if (o.overwrite && o.keep)
        throw UsageError("--overwrite and --keep exclude each other");
    if (o.to_stdout && o.salvage)
        throw UsageError("--salvage cannot take back what went to standard output; it goes "
                         "without --stdout");
    if (o.to_stdout && (o.dry_run || !o.dir.empty()))
        throw UsageError("--stdout writes nothing to disk; it goes with neither -d nor --dry-run");
    // A saver's bytes would garble a terminal, as a compressed stream would.
    if (o.to_stdout)
        RefuseTerminalOutput("--stdout: the files' contents are");
    return o;
}

// `*` any run of characters, `?` any one, within one component; letters
// compare without regard to case, as Windows compares names. Iterative, so a
// pattern of many stars costs no more than its length times the name's.
bool GlobMatches(const std::string& pattern, const std::string& name) {
    size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() &&
            (pattern[p] == '?' || UpperAscii(pattern[p]) == UpperAscii(name[n]))) {
            p++;
            n++;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

bool Matches(const std::string& destination, const std::string& pattern) {
    std::vector<std::string> want = Components(pattern), have = Components(destination);
    bool anchored = !pattern.empty() && (pattern[0] == '/' || pattern[0] == '\\');
    if (want.empty() || want.size() > have.size() || (anchored && want.size() != have.size()))
        return false;
    size_t skip = have.size() - want.size();
    for (size_t i = 0; i < want.size(); i++) {
        if (!GlobMatches(want[i], have[skip + i]))
            return false;
    }
    return true;
}

// The records the patterns choose (all of them without patterns). A pattern
// that chooses nothing is a mistake worth saying.
std::vector<size_t> Chosen(const InspectedPackage& pkg, const Options& o) {
    std::vector<size_t> chosen;
    std::vector<bool> used(o.patterns.size(), false);
    for (size_t i = 0; i < pkg.records.size(); i++) {
        bool take = o.patterns.empty();
        for (size_t k = 0; k < o.patterns.size(); k++) {
            if (Matches(pkg.records[i].destination.shown, o.patterns[k])) {
                take = true;
                used[k] = true;
            }
        }
        if (take)
            chosen.push_back(i);
    }
    for (size_t k = 0; k < o.patterns.size(); k++) {
        if (!used[k])
            Fail(pkg.path, "no file matches \"" + EscapeForDisplay(o.patterns[k], true) + "\"");
    }
    return chosen;
}

// What happens to one chosen record.
enum class Fate { Write, Keep };

// --salvage gives up a record: one line naming it and why.
void NotSalvaged(const InspectedPackage& pkg, const InspectedRecord& r) {
    ReportError("glimpack: " + pkg.path + ": record " + std::to_string(r.index) + " (" +
                DestinationForDisplay(r.destination) + "): not written: " +
                (r.problems.empty() ? std::string() : ProblemText(r.problems.front())));
}

// Everything that can be known before the first byte is written is checked
// first, so that a bad package or a target in the way leaves nothing behind.
std::vector<Fate> CheckBeforeWriting(PackageSession& session, const Options& o,
                                     const std::vector<size_t>& chosen, const std::string& target) {
    const InspectedPackage& pkg = session.package();
    if (!pkg.Sound() && !o.salvage)
        Refuse(pkg.path, pkg.AllProblems(), "glimpack list shows them all");
    std::vector<Fate> fates;
    uint64_t needed = 0;
    for (size_t i : chosen) {
        const InspectedRecord& r = pkg.records[i];
        const std::string& host_path = session.HostPath(i);
        if (host_path.empty())
            Fail(pkg.path, "record " + std::to_string(r.index) + ": destination " +
                               EscapeForDisplay(r.destination.shown, false) +
                               " would lie outside the target directory");
        hostos::Status there = hostos::GetStatus(host_path, false);
        Fate fate = Fate::Write;
        if (there.kind != hostos::Kind::Missing) {
            if (there.kind != hostos::Kind::Regular)
                Fail(host_path, DescribeNotRegular(there.kind));
            if (hostos::SameFile(there, session.file_status()))
                Fail(host_path, "is the package being extracted");
            if (o.keep)
                fate = Fate::Keep;
            else if (!o.overwrite)
                Fail(host_path, "already exists (use --overwrite to replace it, or --keep)");
        }
        if (fate == Fate::Write)
            needed += InstalledSize(&r.record);
        fates.push_back(fate);
    }
    uint64_t free_bytes = 0;
    if (!o.dry_run && hostos::FreeSpace(target, &free_bytes) && free_bytes < needed)
        Fail(target, "not enough free space: the package needs " + WithThousands(needed) +
                         " bytes, " + WithThousands(free_bytes) + " are free");
    return fates;
}

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
        const std::string parent = ParentDirectory(path);
        if (parent.empty())
            return;
        MakeDirectories(parent, [this](const std::string& made) {
            folders_.push_back({made, hostos::RegisterScratch(made, true)});
        });
    }

    // Forgets the file NewFile made last, removing what was written of it.
    void DropLast() { files_.pop_back(); }

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
        // A folder made only for files --salvage gave up is empty: it goes
        // (removing a folder that holds anything fails, and it stays).
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
            hostos::RemoveDirectory(it->path);
            hostos::ForgetScratch(it->cleanup);
        }
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

// Reads record `index` in full into `sink`, which sees every block as it
// comes from the package; a problem with its contents refuses the whole
// package, or with `salvage` only this record: false.
bool Stream(PackageSession& session, size_t index, const ByteSink& sink, bool salvage = false) {
    session.CheckContents(index, sink);
    const InspectedRecord& r = session.package().records[index];
    if (r.problems.empty())
        return true;
    if (!salvage)
        Refuse(session.package().path, r.problems, "");
    return false;
}

// False when --salvage gives up this record (its file is then not made).
bool WriteRecord(PackageSession& session, size_t index, const Options& o, Extraction& extraction,
                 Progress& progress) {
    const std::string& host_path = session.HostPath(index);
    const std::string& label = session.package().records[index].destination.shown;
    extraction.MakeFoldersFor(host_path);
    hostos::AtomicFile& out = extraction.NewFile(host_path, o.overwrite);
    bool whole = Stream(
        session, index,
        [&](const uint8_t* d, size_t n) {
            if (!out.Write(d, n))
                Fail(host_path, "write error: " + hostos::ErrorText(out.error()));
            progress.Add(n, label);
        },
        o.salvage);
    if (!whole) {
        extraction.DropLast();
        return false;
    }
    if (!out.Finish())
        Fail(host_path, "write error: " + hostos::ErrorText(out.error()));
    return true;
}

// --salvage: the records that can be written at all (no problem known before
// reading them); each of the others is named on standard error.
std::vector<size_t> Salvageable(const InspectedPackage& pkg, const std::vector<size_t>& chosen,
                                size_t* given_up) {
    std::vector<size_t> kept;
    for (size_t i : chosen) {
        const InspectedRecord& r = pkg.records[i];
        if (r.problems.empty()) {
            kept.push_back(i);
            continue;
        }
        ++*given_up;
        NotSalvaged(pkg, r);
    }
    return kept;
}

// A default target directory named after the package: STARS.EXE -> STARS,
// by the rule that names the installer's data directory.
std::string DefaultTarget(const std::string& package) {
    char base[GLIM_PATH_CAPACITY];
    std::string name = hostos::FileNamePart(package);
    if (!GetInstallerBaseName(name.c_str(), base, sizeof base))
        Fail(package, "cannot name a directory after it; give one with -d");
    return base;
}

// Extracts one package; returns the exit code for it.
int ExtractPackage(const std::string& package, const Options& o) {
    // Without -d the files go to a scratch directory beside the final one,
    // which is renamed into place only when everything is written.
    std::string final_dir = o.dir.empty() ? DefaultTarget(package) : o.dir;
    std::unique_ptr<ScratchDirectory> scratch;
    MadeDirectories made_target;
    std::string target;
    if (o.to_stdout || o.dry_run) {
        // Nothing is written; the installer code only needs a folder to see
        // as the Windows directory (and, for --dry-run, the real target when
        // there is one, to tell which files exist).
        bool real = o.dry_run && hostos::GetStatus(final_dir, true).kind == hostos::Kind::Directory;
        if (!real)
            scratch = std::make_unique<ScratchDirectory>("glimpack-extract");
        target = real ? final_dir : scratch->path();
    } else if (o.dir.empty() && hostos::GetStatus(final_dir, false).kind != hostos::Kind::Missing) {
        // The folder of an earlier extraction: --overwrite and --keep say
        // what to do with the files in it, as with -d; without them it is
        // not for this one.
        if (!o.overwrite && !o.keep)
            Fail(final_dir, "already exists (use --overwrite or --keep to extract into it, or "
                            "choose a directory with -d)");
        if (hostos::GetStatus(final_dir, true).kind != hostos::Kind::Directory)
            Fail(final_dir, "is in the way: not a directory (choose a directory with -d)");
        target = final_dir;
    } else if (o.dir.empty()) {
        scratch = std::make_unique<ScratchDirectory>("." + hostos::FileNamePart(final_dir),
                                                     DirectoryOf(final_dir));
        target = scratch->path();
    } else {
        // A target made for this extraction goes again if it fails.
        made_target.Make(o.dir);
        target = o.dir;
    }
    if (!hostos::RealPath(target, &target))
        Fail(target, "cannot use as target directory: " + hostos::ErrorText(hostos::LastError()));

    PackageSession::Options options;
    options.limits = o.limits;
    options.host_windows_dir = target;
    PackageSession session(package, options);
    const InspectedPackage& pkg = session.package();
    std::vector<size_t> chosen = Chosen(pkg, o);
    size_t given_up = 0;
    if (o.salvage && !pkg.Sound())
        chosen = Salvageable(pkg, chosen, &given_up);
    std::vector<Fate> fates = CheckBeforeWriting(session, o, chosen, target);
    uint64_t total = 0;
    size_t written = 0;
    for (size_t k = 0; k < chosen.size(); k++) {
        if (fates[k] == Fate::Write) {
            total += InstalledSize(&pkg.records[chosen[k]].record);
            ++written;
        }
    }
    // Names of files go where the files' contents do not.
    std::FILE* names = o.to_stdout ? stderr : stdout;
    auto name = [&](const InspectedRecord& r, const char* how) {
        if ((o.verbose || o.dry_run) && !o.quiet)
            Print(names, "%s%s\n", how, DestinationForDisplay(r.destination).c_str());
    };
    // A record --salvage could not write after all: counted out, and named.
    auto give_up = [&](const InspectedRecord& r) {
        ++given_up;
        --written;
        total -= InstalledSize(&r.record);
        NotSalvaged(pkg, r);
    };
    {
        Progress progress(total, o.quiet || o.to_stdout);
        Extraction extraction;
        for (size_t k = 0; k < chosen.size(); k++) {
            const size_t i = chosen[k];
            const InspectedRecord& r = pkg.records[i];
            if (fates[k] == Fate::Keep) {
                name(r, "kept: ");
                continue;
            }
            if (o.to_stdout) {
                name(r, "");
                Stream(session, i, [&](const uint8_t* d, size_t n) {
                    WriteOutput(d, n);
                    progress.Add(n, r.destination.shown);
                });
            } else if (o.dry_run) {
                if (Stream(
                        session, i,
                        [&](const uint8_t*, size_t n) { progress.Add(n, r.destination.shown); },
                        o.salvage))
                    name(r, "");
                else
                    give_up(r);
            } else if (WriteRecord(session, i, o, extraction, progress)) {
                name(r, "");
            } else {
                give_up(r);
            }
        }
        if (!o.to_stdout && !o.dry_run) {
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
    }
    made_target.Keep();
    if (!o.quiet && !o.to_stdout) {
        // A folder glimpack chose and made is named in full: it may not be
        // where the user looks (a package dropped onto glimpack.exe).
        std::string shown = final_dir;
        if (o.dir.empty() && !o.dry_run)
            hostos::RealPath(final_dir, &shown);
        Print(stdout, "%s %zu file%s, %s bytes, to %s%s\n",
              o.dry_run ? "Would extract" : "Extracted", written, written == 1 ? "" : "s",
              WithThousands(total).c_str(), EscapeForDisplay(shown, false).c_str(),
              given_up == 0 ? "" : ("; " + std::to_string(given_up) + " not written").c_str());
    }
    // Salvaged or not, a package with problems is one.
    return pkg.Sound() ? kExitOk : kExitBadInput;
}

} // namespace

size_t ExtractEveryRecord(PackageSession& session, const std::string& target, bool quiet,
                          bool salvage) {
    Options o;
    o.quiet = quiet;
    o.salvage = salvage;
    const InspectedPackage& pkg = session.package();
    std::vector<size_t> chosen;
    for (size_t i = 0; i < pkg.records.size(); i++)
        chosen.push_back(i);
    size_t given_up = 0;
    if (salvage && !pkg.Sound())
        chosen = Salvageable(pkg, chosen, &given_up);
    CheckBeforeWriting(session, o, chosen, target);
    uint64_t total = 0;
    for (size_t i : chosen)
        total += InstalledSize(&pkg.records[i].record);
    Progress progress(total, quiet);
    Extraction extraction;
    for (size_t i : chosen) {
        if (!WriteRecord(session, i, o, extraction, progress)) {
            ++given_up;
            NotSalvaged(pkg, pkg.records[i]);
        }
    }
    hostos::HoldInterrupts hold;
    extraction.Publish();
    return given_up;
}

int CmdExtract(int argc, char** argv) {
    std::vector<std::string> packages;
    bool run = false;
    Options o = ParseCommandLine(argc, argv, &packages, &run);
    if (!run)
        return kExitOk;
    hostos::SetBinaryOutput(1);
    return ForEachPackage(packages, o.quiet ? nullptr : (o.to_stdout ? stderr : stdout),
                          [&](const std::string& package) { return ExtractPackage(package, o); });
}

} // namespace glimpack
