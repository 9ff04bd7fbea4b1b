// Writes every package of the hostile table into a folder, so that tests
// outside this build (the browser page's, Wine's) use the very same bytes:
//
//   write_cases [--stub STUB.EXE] DIR
//
// The packages are built on the synthetic stub the other tests use, or with
// --stub on a real one: on the win32 build's glimsetup.exe they are programs
// Wine can start, so the installer itself meets them.
//
// Each case becomes DIR/<id>__<file name>. A name too long for the host's
// file system is shortened there; DIR/cases.tsv gives every case's id, the
// file written, the name the package is to be opened under, whether it is
// accepted, whether listing it fails, and the text its problem report holds.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/packages/hostile_packages.h"

namespace {

// Longest file name the Linux file systems take.
constexpr size_t kMaxHostName = 255;

// Tabs and line breaks would break the table; no case's text has any, and a
// future one that does is refused rather than written wrongly.
bool FitsTable(const std::string& text) {
    return text.find_first_of("\t\r\n") == std::string::npos;
}

bool ReadAll(const char* path, std::vector<uint8_t>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv) {
    const char* stub_path = nullptr;
    if (argc == 4 && std::string(argv[1]) == "--stub") {
        stub_path = argv[2];
    } else if (argc != 2) {
        std::fprintf(stderr, "usage: write_cases [--stub STUB.EXE] DIR\n");
        return 1;
    }
    std::vector<hostile::Case> cases;
    if (stub_path) {
        std::vector<uint8_t> stub;
        if (!ReadAll(stub_path, &stub)) {
            std::fprintf(stderr, "%s: cannot read\n", stub_path);
            return 2;
        }
        try {
            cases = hostile::AllCases(stub);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", stub_path, e.what());
            return 2;
        }
    } else {
        cases = hostile::AllCases();
    }
    namespace fs = std::filesystem;
    const fs::path dir = argv[argc - 1];
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", dir.c_str(), ec.message().c_str());
        return 2;
    }
    std::ofstream table(dir / "cases.tsv", std::ios::binary);
    table << "id\tfile\topen_as\texpect\tlist_fails\tproblem\n";
    for (const hostile::Case& c : cases) {
        std::string file = c.id + "__" + c.file_name;
        if (file.size() > kMaxHostName)
            file = c.id + "__" +
                   c.file_name.substr(c.file_name.size() - (kMaxHostName - c.id.size() - 2));
        if (!FitsTable(c.file_name) || !FitsTable(c.problem)) {
            std::fprintf(stderr, "%s: case text holds a tab or line break\n", c.id.c_str());
            return 2;
        }
        std::ofstream out(dir / file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(c.bytes.data()), std::streamsize(c.bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "%s: cannot write\n", (dir / file).c_str());
            return 2;
        }
        table << c.id << '\t' << file << '\t' << c.file_name << '\t'
              << (c.expect == hostile::Expect::Accepted ? "accepted" : "refused") << '\t'
              << (c.list_fails ? "yes" : "no") << '\t' << c.problem << '\n';
    }
    table.close();
    if (!table) {
        std::fprintf(stderr, "%s: cannot write\n", (dir / "cases.tsv").c_str());
        return 2;
    }
    return 0;
}
