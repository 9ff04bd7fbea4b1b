// glim-fix-stub IN OUT: the build step that turns the linked installer into
// the stub a package is made from (the same layout as `glimpack fix-stub`).
// Built for the host, also from the Windows cross build, so it has no
// dependency beyond the PE library.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/pe/pe_image.h"

namespace {

bool ReadFile(const char* path, std::vector<uint8_t>* data) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "glim-fix-stub: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data->insert(data->end(), buf, buf + n);
    bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad)
        std::fprintf(stderr, "glim-fix-stub: %s: read error\n", path);
    return !bad;
}

// Writes beside the target and renames, so a failed build never leaves a
// half-written stub that a later step would take for a good one.
bool WriteFile(const char* path, const std::vector<uint8_t>& data, mode_t mode) {
    std::string temp = std::string(path) + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "glim-fix-stub: %s: %s\n", temp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = (std::fclose(f) == 0) && ok;
    // The stub stays as runnable as the linker made it.
    ok = ok && chmod(temp.c_str(), mode) == 0;
    if (ok && std::rename(temp.c_str(), path) != 0)
        ok = false;
    if (!ok) {
        std::fprintf(stderr, "glim-fix-stub: %s: write error: %s\n", path, std::strerror(errno));
        std::remove(temp.c_str());
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: glim-fix-stub LINKED.EXE OUT.EXE\n");
        return 1;
    }
    std::vector<uint8_t> input;
    if (!ReadFile(argv[1], &input))
        return 2;
    std::vector<uint8_t> output;
    try {
        output = glim::pe::FixStubLayout(input);
    } catch (const glim::pe::PeError& e) {
        std::fprintf(stderr, "glim-fix-stub: %s: %s\n", argv[1], e.what());
        return 2;
    }
    struct stat st;
    mode_t mode = stat(argv[1], &st) == 0 ? (st.st_mode & 0777) : 0644;
    return WriteFile(argv[2], output, mode) ? 0 : 2;
}
