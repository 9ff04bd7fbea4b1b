// glim-fix-stub IN OUT: the build step that turns the linked installer into
// the stub a package is made from (the same layout as `glimpack fix-stub`).
// Built for the host, also from the Windows cross build, so it uses nothing
// beyond the PE library and the host's system calls.
#include <cstdio>
#include <string>
#include <vector>

#include "hostos/atomic_file.h"
#include "hostos/os.h"
#include "pe/pe_image.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: glim-fix-stub LINKED.EXE OUT.EXE\n");
        return 1;
    }
    std::vector<uint8_t> input;
    if (!hostos::ReadFile(argv[1], &input)) {
        std::fprintf(stderr, "glim-fix-stub: %s: %s\n", argv[1],
                     hostos::ErrorText(hostos::LastError()).c_str());
        return 2;
    }
    std::vector<uint8_t> output;
    try {
        output = glim::pe::FixStubLayout(input);
    } catch (const glim::pe::PeError& e) {
        std::fprintf(stderr, "glim-fix-stub: %s: %s\n", argv[1], e.what());
        return 2;
    }
    // Written whole or not at all, so a failed build never leaves a stub that
    // a later step would take for a good one; as runnable as the linker made it.
    hostos::AtomicFile out;
    out.KeepPermissionsOf(argv[1]);
    if (!out.Begin(argv[2], true) || !out.Write(output.data(), output.size()) || !out.Commit()) {
        std::fprintf(stderr, "glim-fix-stub: %s: %s\n", argv[2],
                     hostos::ErrorText(out.error()).c_str());
        return 2;
    }
    return 0;
}
