// glimpack pack: stub + title + saver + data file + further data files -> package.
#include <cstdio>
#include <cstring>
#include <string>

#include "encoder/encoder.h"
#include "hostos/os.h"
#include "package/build.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace glimpack {

namespace {

const char kPackHelp[] =
    "Usage: glimpack pack -o NAME.EXE --title TITLE --scr FILE --dat FILE\n"
    "                     [--first-number N] [--stub STUB] [DATA-FILE ...]\n"
    "\n"
    "Builds a self-installing package from an installer stub. The package's file\n"
    "name decides what gets installed: NAME.EXE installs NAME.SCR.\n"
    "\n"
    "  -o, --output FILE    the package to write (replaced when it exists)\n"
    "  --title TITLE        the saver's title, at most 32 bytes in Windows-1252\n"
    "  --scr FILE           the screen saver (record 0)\n"
    "  --dat FILE           the saver's main data file (record 1)\n"
    "  --first-number N     number of the first further data file (default 0);\n"
    "                       data files are installed as FILE0000.EXT, FILE0001.EXT, ...\n"
    "  --store              store every file as it is (default: compress each file\n"
    "                       and store it only when compression does not make it smaller)\n"
    "  --best               compress harder (slower)\n"
    "  -q                   print nothing but errors\n"
    "  --stub STUB          installer stub (default: glimsetup.exe beside glimpack,\n"
    "                       else $GLIMPACK_STUB, else the build's stub)\n"
    "  DATA-FILE            further data files; the extension (at most 3 characters\n"
    "                       after the dot) is kept, upper-cased\n";

uint16_t ParseFirstNumber(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError("--first-number needs a decimal number, not '" + text + "'");
    std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
    if (digits.size() > 5 || std::stoul(digits) > 65535)
        Fail("--first-number", text + " is over 65535");
    return static_cast<uint16_t>(std::stoul(digits));
}

// The package file: written in order, its record table filled in at the end.
class PackageFile : public PackageOutput {
  public:
    explicit PackageFile(AtomicOutput* out) : out_(out) {}
    void Write(const uint8_t* data, size_t size) override { out_->Write(data, size); }
    void WriteAt(uint64_t offset, const uint8_t* data, size_t size) override {
        out_->WriteAt(offset, data, size);
    }
    void Truncate(uint64_t size) override { out_->Truncate(size); }

  private:
    AtomicOutput* out_;
};

} // namespace

int CmdPack(int argc, char** argv) {
    std::string output, title, scr, dat, stub, first_number;
    bool have_title = false, store = false, best = false, quiet = false, help = false;
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

    PackOptions options;
    options.output = output;
    std::string problem;
    std::optional<std::string> converted = Utf8ToWindows1252(title, &problem);
    if (!converted)
        Fail("--title", "the title " + problem);
    if (converted->size() > PAYLOAD_TITLE_SIZE)
        Fail("--title", "the title is " + std::to_string(converted->size()) +
                            " bytes in Windows-1252; at most 32 fit");
    options.title_1252 = *converted;
    options.first_number = first_number.empty() ? 0 : ParseFirstNumber(first_number);
    options.stub_path = stub.empty() ? DefaultStubPath() : stub;

    // Cheap checks on names first, so that a bad extension is reported before
    // any file is read. BuildPackage reads the files as it writes them.
    std::vector<PackInput> inputs(data_files.size() + 2);
    for (size_t i = 0; i < data_files.size(); i++)
        ExtensionFromFileName(data_files[i], inputs[i + 2].extension);
    inputs[0].path = scr;
    std::memcpy(inputs[0].extension, ".SCR", PAYLOAD_EXTENSION_SIZE);
    inputs[1].path = dat;
    std::memcpy(inputs[1].extension, ".DAT", PAYLOAD_EXTENSION_SIZE);
    for (size_t i = 0; i < data_files.size(); i++)
        inputs[i + 2].path = data_files[i];
    options.inputs = std::move(inputs);
    if (store && best)
        throw UsageError("--store and --best exclude each other");
    options.store = store;
    options.mode = best ? encoder::Mode::Best : encoder::Mode::Default;
    options.stub = ReadWholeFile(options.stub_path);
    AtomicOutput out(options.output, true);
    options.scratch_directory = DirectoryOf(options.output);
    PackageFile file(&out);
    BuildPackage(options, file);
    out.Commit();
    if (!quiet) {
        uint64_t size = hostos::GetStatus(options.output, true).size;
        std::printf("Packed %zu files into %s (%s bytes)\n", options.inputs.size(),
                    options.output.c_str(), WithThousands(size).c_str());
    }
    return kExitOk;
}

} // namespace glimpack
