#include "testkit/packages/hostile_packages.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "encoder/encoder.h"
#include "testkit/packages/pe_builder.h"

namespace hostile {
namespace {

using pe_builder::GetU32;
using pe_builder::PutU16;
using pe_builder::PutU32;

std::vector<uint8_t> Text(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Bytes that do not compress much, different for every seed.
std::vector<uint8_t> Noise(size_t size, uint32_t seed) {
    std::vector<uint8_t> v(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return v;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t size) {
    if (size < bytes.size())
        bytes.resize(size);
    return bytes;
}

void PutExtension(std::vector<uint8_t>& bytes, uint32_t record, const char ext[4]) {
    std::memcpy(&bytes[record + 12], ext, 4);
}

} // namespace

Body Compressed(const std::vector<uint8_t>& data, const std::string& extension) {
    Body b;
    b.bytes = encoder::Compress(data.data(), data.size());
    b.unpacked_size = uint32_t(data.size());
    b.extension = extension;
    return b;
}

Body Stored(const std::vector<uint8_t>& data, const std::string& extension) {
    Body b;
    b.bytes = data;
    b.extension = extension;
    return b;
}

PackageSpec StandardSpec() {
    PackageSpec spec;
    std::string prose;
    for (int i = 0; i < 200; ++i)
        prose += "Stars drift over the sky line " + std::to_string(i % 17) + ". ";
    spec.bodies.push_back(Stored(Noise(3000, 1), ".SCR"));
    spec.bodies.push_back(Compressed(Text(prose), ".DAT"));
    spec.bodies.push_back(Stored(Noise(700, 2), ".BMP"));
    spec.bodies.push_back(Compressed(Text(prose.substr(0, 2500)), ".WAV"));
    return spec;
}

std::vector<uint8_t> SyntheticStub() {
    return pe_builder::BuildStub().bytes;
}

Assembled Assemble(const PackageSpec& spec) {
    return Assemble(spec, SyntheticStub());
}

Assembled Assemble(const PackageSpec& spec, const std::vector<uint8_t>& stub) {
    // The positions are found the way the installer finds its payload (a
    // 224-byte optional header assumed, the first entry taken at every level
    // of the resource directory), so that a patch aimed at one of them hits
    // what the installer reads, whichever stub it is.
    auto u32 = [&](size_t pos) {
        if (pos > stub.size() || stub.size() - pos < 4)
            throw std::invalid_argument("its resource walk leaves the file");
        return GetU32(stub, pos);
    };
    Assembled a;
    a.pe_offset = u32(60);
    a.section_table = a.pe_offset + 4 + 20 + 224;
    const uint32_t sections = u32(a.pe_offset + 4) >> 16; // the u16 at +6
    uint32_t rsrc_rva = 0, rsrc_raw_size = 0;
    bool found = false;
    for (uint32_t i = 0; i < sections && !found; ++i) {
        const uint32_t h = a.section_table + 40 * i;
        if (size_t(h) + 40 > stub.size())
            throw std::invalid_argument("its section table leaves the file");
        if (std::memcmp(&stub[h], ".rsrc\0", 6) == 0) {
            found = true;
            a.rsrc_header = h;
            rsrc_rva = u32(h + 12);
            rsrc_raw_size = u32(h + 16);
            a.rsrc_raw = u32(h + 20);
        }
    }
    if (!found)
        throw std::invalid_argument("no .rsrc section");
    a.type_dir = a.rsrc_raw + (u32(a.rsrc_raw + 20) & 0x7FFFFFFFu);
    a.name_dir = a.rsrc_raw + (u32(a.type_dir + 20) & 0x7FFFFFFFu);
    a.data_entry = a.rsrc_raw + u32(a.name_dir + 20);
    a.payload = u32(a.data_entry) - rsrc_rva + a.rsrc_raw;
    if (a.payload < a.data_entry || a.payload > stub.size())
        throw std::invalid_argument("the resource walk ends outside the file");

    std::vector<uint8_t>& f = a.bytes;
    f.assign(stub.begin(), stub.begin() + a.payload);
    std::vector<uint8_t> header(34, 0);
    if (spec.title.size() > 32)
        throw std::invalid_argument("title longer than 32 bytes");
    std::memcpy(header.data(), spec.title.data(), spec.title.size());
    PutU16(header, 32, spec.first_number);
    f.insert(f.end(), header.begin(), header.end());

    a.table = uint32_t(f.size());
    a.terminator = a.table + 16 * uint32_t(spec.bodies.size());
    uint32_t body = a.terminator + 16;
    for (const Body& b : spec.bodies) {
        std::vector<uint8_t> record(16, 0);
        PutU32(record, 0, body);
        PutU32(record, 4, uint32_t(b.bytes.size()));
        PutU32(record, 8, b.unpacked_size);
        std::memcpy(record.data() + 12, b.extension.data(),
                    std::min<size_t>(4, b.extension.size()));
        f.insert(f.end(), record.begin(), record.end());
        a.body_offsets.push_back(body);
        body += uint32_t(b.bytes.size());
    }
    f.insert(f.end(), 16, 0);
    for (const Body& b : spec.bodies)
        f.insert(f.end(), b.bytes.begin(), b.bytes.end());
    // Up to the end of the resource section's raw data, as a builder pads it
    // for the Windows loader.
    if (f.size() < size_t(a.rsrc_raw) + rsrc_raw_size)
        f.resize(size_t(a.rsrc_raw) + rsrc_raw_size, 0);
    return a;
}

std::vector<Case> AllCases() {
    return AllCases(SyntheticStub());
}

std::vector<Case> AllCases(const std::vector<uint8_t>& stub) {
    const Assembled good = Assemble(StandardSpec(), stub);
    const std::vector<uint8_t>& g = good.bytes;
    std::vector<Case> cases;
    auto add = [&](std::string id, std::vector<uint8_t> bytes, std::string problem,
                   bool list_fails) {
        Case c;
        c.id = std::move(id);
        c.file_name = "STARS.EXE";
        c.bytes = std::move(bytes);
        c.problem = std::move(problem);
        c.list_fails = list_fails;
        cases.push_back(c);
        return &cases.back();
    };
    auto accept = [&](std::string id, std::vector<uint8_t> bytes) {
        Case* c = add(std::move(id), std::move(bytes), "", false);
        c->expect = Expect::Accepted;
        return c;
    };
    auto patched = [&](auto&& patch) {
        std::vector<uint8_t> b = g;
        patch(b);
        return b;
    };

    accept("well-formed", g);

    // --- Not a package at all, or cut inside each header ---------------------
    add("not-pe-text", Text(std::string(400, 'x') + "\nthis is a text file\n"), "not-a-pe-file",
        true);
    add("empty-file", {}, "not-a-pe-file", true);
    add("mz-only", Text("MZ"), "not-a-pe-file", true);
    add("cut-in-dos-header", Cut(g, 40), "not-a-pe-file", true);
    add("cut-in-pe-signature", Cut(g, good.pe_offset + 2), "not-a-pe-file", true);
    add("cut-in-file-header", Cut(g, good.pe_offset + 4 + 3), "pe-headers-cut-short", true);
    add("cut-in-optional-header", Cut(g, good.pe_offset + 24 + 100), "pe-headers-cut-short", true);
    add("cut-in-section-table", Cut(g, good.rsrc_header + 20), "pe-headers-cut-short", true);
    add("cut-in-resource-directory", Cut(g, good.rsrc_raw + 12), "resource-directory-cut-short",
        true);
    add("cut-in-type-directory", Cut(g, good.type_dir + 18), "resource-directory-cut-short", true);
    add("cut-in-data-entry", Cut(g, good.data_entry + 6), "resource-directory-cut-short", true);
    add("cut-in-payload-header", Cut(g, good.payload + 20), "payload-header-cut-short", true);
    add("cut-in-record-table", Cut(g, good.table + 16 + 9), "record-table-unterminated", true);

    // --- Section table -------------------------------------------------------
    add("no-rsrc", patched([&](auto& b) { std::memcpy(&b[good.rsrc_header], ".rsrx", 5); }),
        "no-resource-section", true);
    add("rsrc-upper-case", patched([&](auto& b) { std::memcpy(&b[good.rsrc_header], ".RSRC", 5); }),
        "no-resource-section", true);
    add("section-count-0", patched([&](auto& b) { PutU16(b, good.pe_offset + 6, 0); }),
        "no-resource-section", true);
    add("section-count-65535-no-rsrc", patched([&](auto& b) {
            PutU16(b, good.pe_offset + 6, 65535);
            std::memcpy(&b[good.rsrc_header], ".rsrx", 5);
        }),
        "pe-headers-cut-short", true);
    // The scan still meets .rsrc among the real headers: the installer reads
    // this package as usual, and so does the tool.
    accept("section-count-65535", patched([&](auto& b) { PutU16(b, good.pe_offset + 6, 65535); }));
    add("pe-offset-past-end", patched([&](auto& b) { PutU32(b, 60, 0x7FFFFFF0u); }),
        "not-a-pe-file", true);

    // --- Resource directory ----------------------------------------------------
    add("type-offset-outside-file",
        patched([&](auto& b) { PutU32(b, good.rsrc_raw + 20, 0x80000000u | 0x00FFFF00u); }),
        "resource-directory-cut-short", true);
    add("type-offset-2gib", patched([&](auto& b) { PutU32(b, good.rsrc_raw + 20, 0xFFFFFFF0u); }),
        "resource-directory-cut-short", true);
    add("name-offset-outside-file",
        patched([&](auto& b) { PutU32(b, good.type_dir + 20, 0x80000000u | 0x00FFFF00u); }),
        "resource-directory-cut-short", true);
    // Each level pointing back at the root directory: the walk must still
    // end after its three steps.
    add("directory-at-itself", patched([&](auto& b) {
            PutU32(b, good.rsrc_raw + 20, 0x80000000u);
            PutU32(b, good.type_dir + 20, 0x80000000u);
        }),
        "resource-directory-cut-short", true);
    add("language-entry-at-directory",
        patched([&](auto& b) { PutU32(b, good.name_dir + 20, good.name_dir - good.rsrc_raw); }),
        "resource-directory-invalid", true);
    add("data-entry-outside-file",
        patched([&](auto& b) { PutU32(b, good.name_dir + 20, 0x00FFFFF0u); }),
        "resource-directory-cut-short", true);
    add("data-entry-2gib", patched([&](auto& b) { PutU32(b, good.name_dir + 20, 0x80000010u); }),
        "resource-directory-cut-short", true);
    add("data-address-outside-file",
        patched([&](auto& b) { PutU32(b, good.data_entry, 0xFFFFFF00u); }),
        "resource-directory-invalid", true);
    add("data-address-below-section", patched([&](auto& b) { PutU32(b, good.data_entry, 0); }),
        "resource-directory-invalid", true);

    // --- Record table ------------------------------------------------------------
    add("no-terminator-file-ends", Cut(g, good.terminator), "record-table-unterminated", true);
    add("no-terminator-ff", patched([&](auto& b) {
            std::fill(b.begin() + good.terminator, b.end(), 0xFF);
            b.resize(b.size() + 37, 0xFF);
        }),
        "record-table-unterminated", true);
    add("body-offset-past-end",
        patched([&](auto& b) { PutU32(b, good.table + 16, uint32_t(b.size()) + 100); }),
        "body-past-end@1", false);
    add("body-offset-4gib", patched([&](auto& b) { PutU32(b, good.table + 32, 0xFFFFFFF0u); }),
        "body-past-end@2", false);
    add("stored-size-past-end", patched([&](auto& b) { PutU32(b, good.table + 4, 0x7FFFFFFFu); }),
        "body-past-end@0", false);
    add("stored-size-4gib", patched([&](auto& b) { PutU32(b, good.table + 52, 0xFFFFFFFFu); }),
        "body-past-end@3", false);
    add("body-over-record-table", patched([&](auto& b) { PutU32(b, good.table + 16, good.table); }),
        "body-overlaps-table@1", false);

    // --- A decompression bomb: 4 GiB behind a stream of about 100 bytes ------------
    {
        PackageSpec spec = StandardSpec();
        // Past its stored bytes a stream reads as zero bits, which go on
        // decoding for as long as the unpacked size asks.
        spec.bodies[2] = Compressed(std::vector<uint8_t>(3000, 0), ".BMP");
        spec.bodies[2].bytes.resize(100);
        Assembled bomb = Assemble(spec, stub);
        PutU32(bomb.bytes, bomb.table + 32 + 8, 0xFFFFFFFFu);
        add("bomb-4gib", bomb.bytes, "over-size-limit@2", false);
    }

    // --- Extensions that would leave the data directory or change meaning ----------
    const char* const bad_extensions[][2] = {
        {"ext-backslash-dotdot", "\\..\\"},
        {"ext-slash-dotdot", "/../"},
        {"ext-ads", ":ads"},
        {"ext-blank-dot-blanks", " .  "},
        {"ext-dotdot", ".."},
        {"ext-control", ".\x07\x1b["},
    };
    for (const auto& e : bad_extensions) {
        char ext[4] = {};
        std::memcpy(ext, e[1], std::strlen(e[1]) < 4 ? std::strlen(e[1]) : 4);
        add(e[0], patched([&](auto& b) { PutExtension(b, good.table + 48, ext); }),
            "unsafe-extension@3", false);
    }

    // --- Titles and package names ------------------------------------------------
    {
        PackageSpec spec = StandardSpec();
        spec.title = "\x1b]0;pwned\x07\x1b[2J\r\nStars\x08\x7f";
        accept("title-control-characters", Assemble(spec, stub).bytes);
        spec.title = std::string(32, 'T'); // fills the field, no terminator
        accept("title-32-characters", Assemble(spec, stub).bytes);
    }
    accept("name-several-dots", g)->file_name = "MY.SAVER.V2.EXE";
    accept("name-no-dot", g)->file_name = "NODOT";
    add("name-250-characters", g, "file-name-too-long", true)->file_name =
        std::string(246, 'L') + ".EXE";
    add("name-only-dots", g, "no-data-directory-name@1", false)->file_name = "..EXE";
    {
        PackageSpec spec = StandardSpec();
        spec.first_number = 65535;
        accept("first-number-65535", Assemble(spec, stub).bytes);
    }
    return cases;
}

} // namespace hostile
