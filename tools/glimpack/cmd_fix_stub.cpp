// glimpack fix-stub: lays out a freshly linked installer so that a package can
// be built from it (the build runs the same step through glim-fix-stub).
#include <cstdio>
#include <string>
#include <vector>

#include "package/text.h"
#include "pe/pe_image.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace glimpack {
namespace {

const CommandText kText = {
    "fix-stub", "LINKED.EXE OUT.EXE",
    "Rewrites the resource section of a linked installer so that the 4-byte\n"
    "\"LASTRES\" resource (1000, language 1033) holds the last bytes of the section\n"
    "and .rsrc is the file's last section: a .reloc section after it is removed\n"
    "(relocations stripped), the file ends with .rsrc, the checksum is renewed.\n"
    "Every other resource keeps its bytes."};

} // namespace

int CmdFixStub(int argc, char** argv) {
    bool overwrite = false, quiet = false;
    std::vector<std::string> files;
    if (!ParseCommandLine(
            kText, argc, argv,
            {Flag({"--overwrite"}, "replace OUT.EXE when it exists (default: refuse)", &overwrite),
             Flag({"-q", "--quiet"}, "print nothing but errors", &quiet)},
            &files))
        return kExitOk;
    if (files.size() != 2)
        throw UsageError("needs LINKED.EXE and OUT.EXE");

    CheckOutputPath(files[1], overwrite, {files[0]});
    std::vector<uint8_t> input = ReadWholeFile(files[0]);
    glim::pe::FixStubReport report;
    std::vector<uint8_t> output;
    try {
        output = glim::pe::FixStubLayout(input, &report);
    } catch (const glim::pe::PeError& e) {
        Fail(files[0], e.what());
    }
    AtomicOutput out(files[1], overwrite, {files[0]});
    out.Write(output.data(), output.size());
    out.Commit();
    if (!quiet) {
        Print(stdout, "%s: %u bytes; \"LASTRES\" data (%u bytes) at file offset %u ends .rsrc",
              EscapeForDisplay(files[1], false).c_str(), report.file_size, report.lastres_size,
              report.lastres_file_offset);
        for (const std::string& s : report.removed_sections)
            Print(stdout, "; removed %s", EscapeForDisplay(s, false).c_str());
        PrintText(stdout, "\n");
    }
    return kExitOk;
}

} // namespace glimpack
