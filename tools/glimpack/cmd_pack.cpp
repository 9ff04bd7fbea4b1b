// glimpack pack: stub + title + saver + data file + further data files -> package.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "package/build.h"
#include "package/build_policy.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"
#include "tools/glimpack/progress.h"

namespace glimpack {

namespace {

const CommandText kText = {
    "pack", "-o NAME.EXE --title TITLE --scr FILE --dat FILE [DATA-FILE...]",
    "Builds a self-installing package from an installer stub. The package's file\n"
    "name decides what gets installed: NAME.EXE installs NAME.SCR and the data\n"
    "directory QUILLFEN\\GLIMLOOM\\NAME. Every file is stored as it is unless\n"
    "compressing makes it smaller. The finished package is checked as `test`\n"
    "checks one before it is put in place, so pack never leaves a package that\n"
    "the installer or extract would refuse. Further data files are installed as\n"
    "FILEnnnn.EXT (from --first-number on), keeping their extension (at most 3\n"
    "characters after the dot), upper-cased.\n"
    "\n"
    "The stub is --stub STUB, else $GLIMPACK_STUB, else glimsetup.exe beside\n"
    "glimpack (or in ../share/glimpack), else the one this glimpack was built\n"
    "with."};

// An input must be a file glimpack can read: a regular file, not empty and
// not over the limit, or a pipe or device, whose size is known only at its
// end (the build checks those as it reads them).
uint64_t CheckInput(const std::string& path, const Limits& limits) {
    hostos::Status st = hostos::GetStatus(path, true);
    if (st.kind == hostos::Kind::Missing || st.kind == hostos::Kind::Error)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    if (st.kind == hostos::Kind::Other)
        return 0;
    if (st.kind != hostos::Kind::Regular)
        Fail(path, st.kind == hostos::Kind::Directory ? "is a directory" : "not a regular file");
    CheckInputSize(path, st.size, std::min<uint64_t>(limits.max_size, PACKAGE_MAX_SIZE));
    return st.size;
}

// The package file: written in order, its record table filled in at the
// end, and checked under its scratch name before it is published.
class PackageFile : public PackTarget {
  public:
    explicit PackageFile(AtomicOutput* out) : out_(out) {}
    void Write(const uint8_t* data, size_t size) override { out_->Write(data, size); }
    void WriteAt(uint64_t offset, const uint8_t* data, size_t size) override {
        out_->WriteAt(offset, data, size);
    }
    void Truncate(uint64_t size) override { out_->Truncate(size); }
    std::string Finish() override {
        out_->Finish();
        return out_->temp_path();
    }

  private:
    AtomicOutput* out_;
};

// Builds and checks with progress lines that live exactly as long as the
// work: the options are a copy, so the callback never outlives what it
// draws on.
void BuildWithProgress(PackOptions options, PackTarget& file, const Limits& limits, uint64_t total,
                       bool quiet) {
    const std::string name = EscapeForDisplay(hostos::FileNamePart(options.output), false);
    std::optional<Progress> packing(std::in_place, total, quiet);
    uint64_t reported = 0;
    const std::string packing_label = "packing " + name;
    options.progress = [&packing, &reported, &packing_label](uint64_t done, uint64_t) {
        if (packing)
            packing->Add(done - reported, packing_label);
        reported = done;
    };
    std::optional<Progress> checking;
    const std::string checking_label = "checking " + name;
    BuildCheckedPackage(options, file, limits, [&](uint64_t bytes, uint64_t all) {
        if (!checking) {
            packing.reset();
            checking.emplace(all, quiet);
        }
        checking->Add(bytes, checking_label);
    });
}

// A title is one line of text: the installer shows it in its window's title
// bar and its messages, where a tab or a line break has no place.
std::string CheckedTitle(const std::string& title) {
    if (title.empty())
        throw UsageError("option '--title' needs a value, not an empty one: the installer shows "
                         "the title in its window");
    for (char c : title) {
        const auto unit = static_cast<unsigned char>(c);
        if (unit < 0x20 || unit == 0x7F)
            throw UsageError("option '--title': \"" + EscapeForDisplay(title, true) +
                             "\" holds a control character (a tab, a line break ...); a title "
                             "is one line of text");
    }
    return ParseOptionValue([&] { return PackageTitle(title, "--title"); });
}

} // namespace

int CmdPack(int argc, char** argv) {
    std::string output, title_1252, scr, dat, stub;
    uint16_t first_number = 0;
    Limits limits;
    bool have_title = false, store = false, best = false, quiet = false, overwrite = false;
    std::vector<std::string> data_files;
    if (!ParseCommandLine(
            kText, argc, argv,
            {Value({"-o", "--output"}, "FILE", "the package to write", &output),
             Option{{"--title"},
                    "TITLE",
                    "the saver's title, at most 32 bytes in Windows-1252",
                    [&](const std::string& v) {
                        title_1252 = CheckedTitle(v);
                        have_title = true;
                    }},
             Value({"--scr"}, "FILE", "the screen saver (record 0)", &scr),
             Value({"--dat"}, "FILE", "the saver's main data file (record 1)", &dat),
             Option{{"--first-number"},
                    "N",
                    "number of the first further data file (default 0)",
                    [&](const std::string& v) {
                        first_number = ParseOptionValue(
                            [&] { return ParseFirstFileNumber(v, "--first-number"); });
                    }},
             Value({"--stub"}, "STUB", "the installer stub to build on", &stub),
             Flag({"--store"}, "store every file as it is", &store),
             Flag({"--best"}, "compress harder (slower)", &best),
             Flag({"--overwrite"}, "replace FILE when it exists (default: refuse)", &overwrite),
             MaxSizeOption("refuse files larger than this (default 1G), as\n"
                           "extract refuses larger records",
                           &limits),
             Flag({"-q", "--quiet"}, "print nothing but errors", &quiet)},
            &data_files))
        return kExitOk;
    if (output.empty())
        throw UsageError("missing -o NAME.EXE");
    if (!have_title)
        throw UsageError("missing --title");
    if (scr.empty())
        throw UsageError("missing --scr");
    if (dat.empty())
        throw UsageError("missing --dat");
    if (store && best)
        throw UsageError("--store and --best exclude each other");

    PackOptions options;
    options.output = output;
    options.title_1252 = title_1252;
    options.first_number = first_number;
    options.stub_path = stub.empty() ? DefaultStubPath() : stub;

    // Cheap checks first, so that a bad name is reported before large files
    // are read: every destination the package would have, from its file name
    // and the data files' extensions, as the verdict on it will judge them.
    std::vector<PackInput> inputs = PlanInputs(output, options.first_number, data_files);
    // The package's own name is the one a Windows user will save it under
    // and run: a name Windows cannot hold is refused here on every system
    // (the destinations it gives were judged above, as the page judges them).
    std::vector<std::string> paths = {scr, dat};
    paths.insert(paths.end(), data_files.begin(), data_files.end());
    uint64_t total = 0;
    for (const std::string& path : paths)
        total += CheckInput(path, limits);
    std::vector<std::string> all_inputs = paths;
    all_inputs.push_back(options.stub_path);
    CheckOutputPath(output, overwrite, all_inputs);

    for (size_t i = 0; i < paths.size(); i++)
        inputs[i].path = paths[i];
    options.inputs = std::move(inputs);
    options.store = store;
    options.mode = best ? encoder::Mode::Best : encoder::Mode::Default;
    options.stub = ReadWholeFile(options.stub_path);
    AtomicOutput out(options.output, overwrite, all_inputs);
    // The spools of --best spill beside the package, where its space is.
    options.scratch_directory = DirectoryOf(options.output);
    options.max_input_size = limits.max_size;
    // Built, then checked under the name it will have: a package pack
    // publishes is one that test passes.
    PackageFile file(&out);
    BuildWithProgress(options, file, limits, total, quiet);
    out.Publish();
    if (!quiet) {
        uint64_t size = hostos::GetStatus(options.output, true).size;
        Print(stdout, "Packed %zu files into %s (%s bytes)\n", options.inputs.size(),
              EscapeForDisplay(options.output, false).c_str(), WithThousands(size).c_str());
    }
    return kExitOk;
}

} // namespace glimpack
