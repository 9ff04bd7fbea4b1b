#include "testkit/fuzz_targets/fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace fuzz_support {
namespace {

std::string g_work;

void RemoveWork() {
    if (g_work.empty())
        return;
    std::error_code ec;
    fs::remove_all(g_work, ec);
}

} // namespace

const std::string& WorkDirectory() {
    if (g_work.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/glim-fuzz.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!mkdtemp(name.data()))
            Violation("cannot make a scratch directory below " + pattern);
        // Descriptors are matched against this path, and the kernel reports
        // them by their real path.
        g_work = fs::canonical(name.data()).string();
        std::atexit(RemoveWork);
    }
    return g_work;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        Violation("cannot write " + path);
    if (size && std::fwrite(data, 1, size, f) != size)
        Violation("cannot write " + path);
    if (std::fclose(f) != 0)
        Violation("cannot write " + path);
}

void ClearDirectory(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        // Extraction may leave read-only files and directories; removal needs
        // write permission on the directory only, which is kept below.
        fs::remove_all(entry.path(), ec);
        if (ec)
            Violation("cannot clear " + entry.path().string() + ": " + ec.message());
    }
}

std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(fs::relative(it->path(), root).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

void Violation(const std::string& what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<std::string> DescriptorsUnder(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code link_ec;
        std::string target = fs::read_symlink(entry.path(), link_ec).string();
        if (link_ec)
            continue; // the iterator's own descriptor, closed meanwhile
        if (target == dir || target.compare(0, dir.size() + 1, dir + "/") == 0)
            found.push_back("fd " + entry.path().filename().string() + " -> " + target);
    }
    if (ec)
        Violation("cannot list /proc/self/fd: " + ec.message());
    std::sort(found.begin(), found.end());
    return found;
}

void CheckNoDescriptorLeft() {
    std::vector<std::string> open = DescriptorsUnder(WorkDirectory());
    if (open.empty())
        return;
    std::string list;
    for (const std::string& d : open)
        list += (list.empty() ? "" : ", ") + d;
    Violation("descriptors left open: " + list);
}

std::string PackageName(uint8_t selector) {
    switch (selector % 8) {
    case 0:
        return "STARS.EXE";
    case 1:
        return "aurora.exe";
    case 2:
        return "MY.SAVER.V2.EXE";
    case 3:
        return "NODOT";
    case 4:
        return std::string(246, 'L') + ".EXE";
    case 5:
        return "..EXE";
    case 6:
        return "-q.EXE"; // looks like an option when passed alone
    default:
        return "Sky Lights.exe";
    }
}

} // namespace fuzz_support
