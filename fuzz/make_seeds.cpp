// Writes the fuzzers' seed corpora into OUTDIR/<target>/: packages laid out as
// the tests lay them out (and one built by glimpack's own pack code), every
// case of the hostile-package table, and compressed streams of assorted data
// from the project's encoder.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "package/build.h"
#include "package/listing.h"
#include "package/stub.h"
#include "testkit/packages/hostile_packages.h"
#include "testkit/packages/pe_builder.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/files.h"

namespace fs = std::filesystem;

namespace {

fs::path g_out;

void Seed(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::create_directories(g_out / target);
    pe_builder::WriteFile((g_out / target / name).string(), bytes);
}

std::vector<uint8_t> Prefixed(uint8_t first, const std::vector<uint8_t>& rest) {
    std::vector<uint8_t> v{first};
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

void PutLe(std::vector<uint8_t>& v, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        v.push_back(uint8_t(value >> (8 * i)));
}

// Selector byte of fuzz_support::PackageName for a case's file name.
uint8_t SelectorFor(const std::string& file_name) {
    if (file_name == "MY.SAVER.V2.EXE")
        return 2;
    if (file_name.find('.') == std::string::npos)
        return 3;
    if (file_name.size() == 250)
        return 4;
    if (file_name == "..EXE")
        return 5;
    return 0;
}

std::vector<std::vector<uint8_t>> SampleData() {
    std::vector<std::vector<uint8_t>> out;
    std::string prose;
    for (int i = 0; i < 400; ++i)
        prose += "the loom hums " + std::to_string(i * 7 % 23) + " glimmer; ";
    out.emplace_back(prose.begin(), prose.begin() + 100);
    out.emplace_back(prose.begin(), prose.end());
    out.emplace_back(5000, 0);
    out.emplace_back(1, 'x');
    std::vector<uint8_t> ramp(3000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = uint8_t(i * i >> 3);
    out.push_back(ramp);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds OUTDIR\n");
        return 1;
    }
    g_out = argv[1];

    for (const hostile::Case& c : hostile::AllCases()) {
        // For the finder, between bytes that start like programs but are not.
        std::vector<uint8_t> around = {7, 'M', 'Z', 'M', 'Z', 0, 'M'};
        around.insert(around.end(), c.bytes.begin(), c.bytes.end());
        around.insert(around.end(), {'M', 'Z', 'P', 'E', 0, 0});
        Seed("finder", c.id, around);
        Seed("payload_walk", c.id, c.bytes);
        Seed("glimpack", c.id, Prefixed(SelectorFor(c.file_name), c.bytes));
        Seed("installer", c.id, Prefixed(SelectorFor(c.file_name), c.bytes));
    }
    // The standard package under every file name, and without -d.
    std::vector<uint8_t> standard = hostile::Assemble(hostile::StandardSpec()).bytes;
    for (uint8_t selector = 1; selector < 8; ++selector) {
        Seed("glimpack", "standard-" + std::to_string(selector), Prefixed(selector, standard));
        Seed("installer", "standard-" + std::to_string(selector), Prefixed(selector, standard));
    }
    Seed("glimpack", "standard-default-target", Prefixed(0x80, standard));

    // One package made by glimpack's pack code itself.
    {
        // The stub's layout is checked against the installer's own walk,
        // which reads it from a file.
        fs::path work = g_out / ".work";
        fs::create_directories(work);
        glimpack::PackOptions options;
        options.output = "PACKED.EXE";
        options.title_1252 = "Packed";
        options.first_number = 7;
        options.stub_path = (work / "stub.exe").string();
        options.stub = pe_builder::BuildStub().bytes;
        pe_builder::WriteFile(options.stub_path, options.stub);
        std::vector<std::vector<uint8_t>> data = SampleData();
        const char* const extensions[] = {".SCR", ".DAT", ".BMP", "", ".WAV"};
        for (size_t i = 0; i < data.size(); ++i) {
            glimpack::PackInput in;
            in.path = "input" + std::to_string(i);
            in.source = std::make_shared<glimpack::MemoryInput>(data[i]);
            std::memcpy(in.extension, extensions[i], std::strlen(extensions[i]));
            options.inputs.push_back(in);
        }
        glimpack::MemoryOutput output;
        glimpack::BuildPackage(options, output);
        const std::vector<uint8_t>& packed = output.bytes;
        fs::remove_all(work);
        Seed("payload_walk", "packed", packed);
        Seed("glimpack", "packed", Prefixed(0, packed));
        Seed("installer", "packed", Prefixed(1, packed));
    }

    // Streams: [u32 unpacked][u32 stored] and [u16 unpacked] in front.
    int n = 0;
    for (const std::vector<uint8_t>& d : SampleData()) {
        for (encoder::Mode mode : {encoder::Mode::Greedy, encoder::Mode::Best}) {
            std::vector<uint8_t> stream = encoder::Compress(d.data(), d.size(), mode);
            std::vector<uint8_t> a;
            PutLe(a, uint32_t(d.size()), 4);
            PutLe(a, uint32_t(stream.size()), 4);
            a.insert(a.end(), stream.begin(), stream.end());
            Seed("decoder", "stream-" + std::to_string(n), a);
            std::vector<uint8_t> b;
            PutLe(b, uint32_t(d.size() & 0xFFFF), 2);
            b.insert(b.end(), stream.begin(), stream.end());
            Seed("differential", "stream-" + std::to_string(n), b);
            ++n;
        }
    }
    return 0;
}
