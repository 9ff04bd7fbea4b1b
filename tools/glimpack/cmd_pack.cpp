// glimpack pack: stub + title + saver + data file + further data files -> package.
#include <cstdio>
#include <cstring>
#include <string>

#include "encoder/encoder.h"
#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "package/build.h"
#include "package/read.h"
#include "package/text.h"
#include "package/verdict.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace glimpack {

namespace {

const char kPackHelp[] =
    "Usage: glimpack pack -o NAME.EXE --title TITLE --scr FILE --dat FILE\n"
    "                     [--first-number N] [--stub STUB] [--overwrite]\n"
    "                     [--max-size BYTES] [DATA-FILE ...]\n"
    "\n"
    "Builds a self-installing package from an installer stub. The package's file\n"
    "name decides what gets installed: NAME.EXE installs NAME.SCR. The finished\n"
    "package is checked as `test` checks one before it is put in place, so pack\n"
    "never leaves a package that the installer or extract would refuse.\n"
    "\n"
    "  -o, --output FILE    the package to write\n"
    "  --overwrite          replace FILE when it exists (default: refuse)\n"
    "  --title TITLE        the saver's title, at most 32 bytes in Windows-1252\n"
    "  --scr FILE           the screen saver (record 0)\n"
    "  --dat FILE           the saver's main data file (record 1)\n"
    "  --first-number N     number of the first further data file (default 0);\n"
    "                       data files are installed as FILE0000.EXT, FILE0001.EXT, ...\n"
    "  --store              store every file as it is (default: compress each file\n"
    "                       and store it only when compression does not make it smaller)\n"
    "  --best               compress harder (slower)\n"
    "  --max-size BYTES     refuse files larger than this (default 1G), as extract\n"
    "                       refuses records larger than its own limit\n"
    "  -q                   print nothing but errors\n"
    "  --stub STUB          installer stub (default: glimsetup.exe beside glimpack,\n"
    "                       else $GLIMPACK_STUB, else the build's stub)\n"
    "  DATA-FILE            further data files; the extension (at most 3 characters\n"
    "                       after the dot) is kept, upper-cased\n";

// An input must be a regular file glimpack can read, and not over the limit.
void CheckInput(const std::string& path, const Limits& limits) {
    hostos::Status st = hostos::GetStatus(path, true);
    if (st.kind == hostos::Kind::Missing || st.kind == hostos::Kind::Error)
        Fail(path, hostos::ErrorText(hostos::LastError()));
    if (st.kind != hostos::Kind::Regular)
        Fail(path, "not a regular file");
    if (st.size == 0)
        Fail(path, "empty file (a stored size of 0 would end the record table)");
    if (st.size > limits.max_size)
        Fail(path, WithThousands(st.size) + " bytes, over the limit of " +
                       WithThousands(limits.max_size) + " bytes (see --max-size)");
}

} // namespace

int CmdPack(int argc, char** argv) {
    std::string output, title, scr, dat, stub, first_number;
    bool have_title = false, store = false, best = false, quiet = false, help = false;
    bool overwrite = false;
    Limits limits;
    std::vector<std::string> data_files;
    auto value_of = [](std::string* into) { return [into](const std::string& v) { *into = v; }; };
    ParseOptions(argc, argv,
                 {{{"-h", "--help"}, false, [&](const std::string&) { help = true; }},
                  {{"-o", "--output"}, true, value_of(&output)},
                  {{"--title"},
                   true,
                   [&](const std::string& v) {
                       title = v;
                       have_title = true;
                   }},
                  {{"--scr"}, true, value_of(&scr)},
                  {{"--dat"}, true, value_of(&dat)},
                  {{"--first-number"}, true, value_of(&first_number)},
                  {{"--stub"}, true, value_of(&stub)},
                  {{"--store"}, false, [&](const std::string&) { store = true; }},
                  {{"--best"}, false, [&](const std::string&) { best = true; }},
                  {{"--overwrite"}, false, [&](const std::string&) { overwrite = true; }},
                  {{"--max-size"},
                   true,
                   [&](const std::string& v) { limits.max_size = ParseSize("--max-size", v); }},
                  {{"-q", "--quiet"}, false, [&](const std::string&) { quiet = true; }}},
                 &data_files);
    if (help) {
        std::fputs(kPackHelp, stdout);
        return kExitOk;
    }
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
    hostos::InstallInterruptCleanup();

    PackOptions options;
    options.output = output;
    options.title_1252 = PackageTitle(title, "--title");
    options.first_number =
        first_number.empty() ? 0 : ParseFirstFileNumber(first_number, "--first-number");
    options.stub_path = stub.empty() ? DefaultStubPath() : stub;

    // Cheap checks first, so that a bad name is reported before large files
    // are read: every destination the package would have, from its file name
    // and the data files' extensions, as the verdict on it will judge them.
    std::vector<PackInput> inputs(data_files.size() + 2);
    std::memcpy(inputs[0].extension, ".SCR", PAYLOAD_EXTENSION_SIZE);
    std::memcpy(inputs[1].extension, ".DAT", PAYLOAD_EXTENSION_SIZE);
    for (size_t i = 0; i < data_files.size(); i++)
        ExtensionFromFileName(data_files[i], inputs[i + 2].extension);
    {
        InspectedPackage planned;
        planned.module_path = ModulePathFor(hostos::FileNamePart(output));
        planned.header.first_file_number = options.first_number;
        for (size_t i = 0; i < inputs.size(); i++) {
            InspectedRecord r;
            r.index = uint32_t(i);
            std::memcpy(r.record.extension, inputs[i].extension, PAYLOAD_EXTENSION_SIZE);
            planned.records.push_back(r);
        }
        JudgeDestinations(planned);
        if (!planned.Sound())
            Fail(output, FirstProblem(planned));
    }
    std::vector<std::string> paths = {scr, dat};
    paths.insert(paths.end(), data_files.begin(), data_files.end());
    for (const std::string& path : paths)
        CheckInput(path, limits);
    std::vector<std::string> all_inputs = paths;
    all_inputs.push_back(options.stub_path);
    CheckOutputPath(output, overwrite, all_inputs);

    for (size_t i = 0; i < paths.size(); i++) {
        inputs[i].path = paths[i];
        inputs[i].data = ReadWholeFile(paths[i]);
    }
    options.inputs = std::move(inputs);
    encoder::Mode mode = best ? encoder::Mode::Best : encoder::Mode::Default;
    BodyEncoder encode = store ? BodyEncoder(StoreBody) : [mode](const std::vector<uint8_t>& in) {
        return CompressOrStoreBody(in, mode);
    };
    options.stub = ReadWholeFile(options.stub_path);
    AtomicOutput out(options.output, overwrite, all_inputs);
    BuildPackage(options, encode, [&](const uint8_t* data, size_t size) { out.Write(data, size); });
    out.Finish();
    // The verdict on what was written, under the name it will have: a package
    // pack publishes is one that test passes.
    {
        ScratchDirectory windows("glimpack-pack");
        InspectedPackage written =
            InspectPackage(out.temp_path(), windows.path(), limits, hostos::FileNamePart(output));
        CheckAllContents(written);
        if (!written.Sound())
            Fail(output, "the package built would not pass its own test: " + FirstProblem(written));
    }
    out.Publish();
    if (!quiet) {
        uint64_t size = hostos::GetStatus(options.output, true).size;
        std::printf("Packed %zu files into %s (%s bytes)\n", options.inputs.size(),
                    EscapeForDisplay(options.output, false).c_str(), WithThousands(size).c_str());
    }
    return kExitOk;
}

} // namespace glimpack
