// glimpack pack and list, end to end on a synthetic stub, checked against an
// independent reading of the package (not the installer's payload code).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/build.h"
#include "package/crc32.h"
#include "package/listing.h"
#include "package/read.h"
#include "package/stub.h"
#include "package/text.h"
#include "platform/host/host_world.h"
#include "testkit/packages/pe_builder.h"
#include "tests/support/tool_fixture.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace {

namespace fs = std::filesystem;
using pe_builder::BuiltPe;
using pe_builder::GetU16;
using pe_builder::GetU32;
using pe_builder::PeBuilder;
using pe_builder::ResId;

// --- An independent reader: looks "LASTRES"/1000/1033 up by name and id. -------

std::string ResourceName(const std::vector<uint8_t>& f, uint32_t at) {
    std::string name;
    uint16_t length = GetU16(f, at);
    for (uint16_t i = 0; i < length; i++)
        name += static_cast<char>(GetU16(f, at + 2 + 2 * i));
    return name;
}

// Offset field of the entry matching `key` in the directory at `dir`.
uint32_t FindEntry(const std::vector<uint8_t>& f, uint32_t rsrc, uint32_t dir, const ResId& key) {
    uint32_t count = GetU16(f, dir + 12) + GetU16(f, dir + 14);
    for (uint32_t i = 0; i < count; i++) {
        uint32_t entry = dir + 16 + 8 * i;
        uint32_t name = GetU32(f, entry);
        bool match = key.is_name ? (name & 0x80000000u) &&
                                       ResourceName(f, rsrc + (name & 0x7FFFFFFFu)) == key.name
                                 : name == key.id;
        if (match)
            return GetU32(f, entry + 4);
    }
    ADD_FAILURE() << "resource entry not found";
    return 0;
}

uint32_t IndependentPayloadPosition(const std::vector<uint8_t>& f) {
    uint32_t pe = GetU32(f, 60);
    uint16_t sections = GetU16(f, pe + 6);
    uint32_t table = pe + 24 + GetU16(f, pe + 20);
    for (uint16_t i = 0; i < sections; i++) {
        uint32_t h = table + 40 * i;
        if (std::string(reinterpret_cast<const char*>(&f[h])) != ".rsrc")
            continue;
        uint32_t va = GetU32(f, h + 12), raw = GetU32(f, h + 20);
        uint32_t type = FindEntry(f, raw, raw, ResId::Name("LASTRES")) & 0x7FFFFFFFu;
        uint32_t name = FindEntry(f, raw, raw + type, ResId::Id(1000)) & 0x7FFFFFFFu;
        uint32_t data = FindEntry(f, raw, raw + name, ResId::Id(1033));
        return GetU32(f, raw + data) - va + raw;
    }
    ADD_FAILURE() << "no .rsrc";
    return 0;
}

using tool_fixture::RandomBytes;

class PackListTest : public tool_fixture::ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        stub_ = pe_builder::BuildStub();
        stub_path_ = Put("glimsetup.exe", stub_.bytes);
        scr_ = RandomBytes(3000, 1);
        dat_ = RandomBytes(2500, 2);
        Put("stars.scr", scr_);
        Put("stars.dat", dat_);
    }

    // pack with the standard saver and data file plus `extra` arguments.
    int Pack(const std::string& output, std::vector<std::string> extra,
             std::string* err = nullptr) {
        std::vector<std::string> args = {"-o",    Path(output),      "--scr",  Path("stars.scr"),
                                         "--dat", Path("stars.dat"), "--stub", stub_path_};
        args.insert(args.end(), extra.begin(), extra.end());
        return Run("pack", glimpack::CmdPack, args, nullptr, err);
    }

    // Nothing but the inputs (and no temporary file) is left in the folder.
    void ExpectNoOutput(const std::string& output) {
        EXPECT_FALSE(fs::exists(Path(output)));
        for (const auto& entry : fs::directory_iterator(dir_))
            EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    }

    // A package whose title holds bytes pack refuses to put there (a tab,
    // control characters), as a package made elsewhere may: packed with a
    // plain title, which is then replaced in the file.
    void PackWithRawTitle(const std::string& output, const std::string& title_1252) {
        ASSERT_EQ(Pack(output, {"--title", "T"}), 0);
        std::vector<uint8_t> f = glimpack::ReadWholeFile(Path(output));
        const uint32_t pos = stub_.resource_data_pos.back();
        ASSERT_LE(title_1252.size(), 32u);
        std::fill(f.begin() + pos, f.begin() + pos + 32, uint8_t(0));
        std::copy(title_1252.begin(), title_1252.end(), f.begin() + pos);
        Put(output, f);
    }

    BuiltPe stub_;
    std::string stub_path_;
    std::vector<uint8_t> scr_, dat_;
};

TEST_F(PackListTest, PackageHoldsEveryInputWhereTheLocatorFindsIt) {
    std::vector<std::vector<uint8_t>> extra = {RandomBytes(4096, 3), RandomBytes(10, 4),
                                               RandomBytes(1, 5)};
    Put("sky.bmp", extra[0]);
    Put("wind.wav", extra[1]);
    Put("README", extra[2]); // no extension
    std::string err;
    ASSERT_EQ(Pack("STARS.EXE",
                   {"--title", "Stars", "--first-number", "32", Path("sky.bmp"), Path("wind.wav"),
                    Path("README")},
                   &err),
              0)
        << err;

    std::vector<uint8_t> f = glimpack::ReadWholeFile(Path("STARS.EXE"));
    uint32_t pos = IndependentPayloadPosition(f);
    EXPECT_EQ(pos, stub_.resource_data_pos.back());
    host::Reset();
    host::SetModuleFile(Path("STARS.EXE"));
    PayloadLocation loc;
    HFILE h = OpenPayloadWithLocation(&loc);
    ASSERT_NE(h, HFILE_ERROR);
    _lclose(h);
    EXPECT_EQ(loc.payload_pos, pos);

    // The stub is kept up to the payload.
    ASSERT_GT(f.size(), pos);
    EXPECT_TRUE(std::equal(f.begin(), f.begin() + pos, stub_.bytes.begin()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[pos])), "Stars");
    for (int i = 5; i < 32; i++)
        EXPECT_EQ(f[pos + i], 0) << i;
    EXPECT_EQ(GetU16(f, pos + 32), 32);

    std::vector<std::vector<uint8_t>> inputs = {scr_, dat_, extra[0], extra[1], extra[2]};
    const char* extensions[] = {".SCR", ".DAT", ".BMP", ".WAV", ""};
    uint32_t table = pos + 34;
    uint32_t body = table + 16 * (inputs.size() + 1);
    for (size_t i = 0; i < inputs.size(); i++) {
        uint32_t r = table + 16 * static_cast<uint32_t>(i);
        EXPECT_EQ(GetU32(f, r), body) << i; // absolute, one after another
        EXPECT_EQ(GetU32(f, r + 4), inputs[i].size()) << i;
        EXPECT_EQ(GetU32(f, r + 8), 0u) << i; // stored
        char ext[5] = {};
        std::memcpy(ext, &f[r + 12], 4);
        EXPECT_STREQ(ext, extensions[i]);
        ASSERT_LE(body + inputs[i].size(), f.size());
        EXPECT_TRUE(std::equal(inputs[i].begin(), inputs[i].end(), f.begin() + body)) << i;
        body += static_cast<uint32_t>(inputs[i].size());
    }
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(f[table + 16 * inputs.size() + i], 0);
    EXPECT_EQ(f.size(), body); // longer than the stub's raw data: no padding

    std::string out;
    ASSERT_EQ(Run("list", glimpack::CmdList, {Path("STARS.EXE")}, &out), 0);
    EXPECT_NE(out.find("Title:             \"Stars\""), std::string::npos) << out;
    EXPECT_NE(out.find("First file number: 32"), std::string::npos) << out;
    EXPECT_NE(out.find(" STARS.SCR\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" QUILLFEN\\GLIMLOOM\\STARS\\STARS.DAT\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" QUILLFEN\\GLIMLOOM\\STARS\\FILE0032.BMP\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" QUILLFEN\\GLIMLOOM\\STARS\\FILE0033.WAV\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" QUILLFEN\\GLIMLOOM\\STARS\\FILE0034\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Installed total:   9,607 bytes"), std::string::npos) << out;
}

TEST_F(PackListTest, ShortPayloadIsPaddedToTheEndOfTheResourceRawData) {
    PeBuilder pe;
    pe.AddSection(".text", std::vector<uint8_t>(100, 0xC3));
    pe.AddResourceSection();
    pe.AddResource(ResId::Name("LASTRES"), ResId::Id(1000), 1033, {0, 0, 0, 0});
    pe.SetResourceRawSlack(3000); // leaves plenty of raw data after the 4 bytes
    BuiltPe roomy = pe.Build();
    std::string stub = Put("roomy.exe", roomy.bytes);
    Put("a.scr", {1, 2, 3});
    Put("a.dat", {4});
    ASSERT_EQ(Run("pack", glimpack::CmdPack,
                  {"-o", Path("A.EXE"), "--title", "A", "--scr", Path("a.scr"), "--dat",
                   Path("a.dat"), "--stub", stub}),
              0);
    std::vector<uint8_t> f = glimpack::ReadWholeFile(Path("A.EXE"));
    const pe_builder::SectionInfo& rsrc = roomy.sections[roomy.rsrc_index];
    EXPECT_EQ(f.size(), rsrc.raw_pos + rsrc.raw_size);
    uint32_t end = roomy.resource_data_pos[0] + 34 + 3 * 16 + 4;
    EXPECT_EQ(f[end - 1], 4);
    EXPECT_TRUE(std::all_of(f.begin() + end, f.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(PackListTest, JsonListingEscapesTheTitle) {
    PackWithRawTitle("STARS.EXE", "Say \"hi\"\\\tcaf\xE9 \x80");
    std::string out;
    ASSERT_EQ(Run("list", glimpack::CmdList, {"--json", Path("STARS.EXE")}, &out), 0);
    EXPECT_NE(out.find("\"title\": \"Say \\\"hi\\\"\\\\\\tcaf\xC3\xA9 \xE2\x82\xAC\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"first_file_number\": 0"), std::string::npos) << out;
    EXPECT_NE(out.find("\"destination\": \"STARS.SCR\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"destination\": \"QUILLFEN\\\\GLIMLOOM\\\\STARS\\\\STARS.DAT\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"installed_total\": 5500"), std::string::npos) << out;
    // The euro sign went into the header as its Windows-1252 byte.
    std::vector<uint8_t> f = glimpack::ReadWholeFile(Path("STARS.EXE"));
    uint32_t pos = stub_.resource_data_pos.back();
    EXPECT_EQ(f[pos + 13], 0xE9);
    EXPECT_EQ(f[pos + 15], 0x80);
}

TEST_F(PackListTest, TextListingShowsControlCharactersEscaped) {
    PackWithRawTitle("STARS.EXE", "\x01"
                                  "Bell\x07\x1B[2J");
    std::string out;
    ASSERT_EQ(Run("list", glimpack::CmdList, {Path("STARS.EXE")}, &out), 0);
    EXPECT_NE(out.find("\"\\x01Bell\\x07\\x1B[2J\""), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1B'), std::string::npos);
    EXPECT_EQ(out.find('\x07'), std::string::npos);
}

TEST_F(PackListTest, ThirtyTwoWindows1252BytesFitEvenWhenLongerInUtf8) {
    std::string title;
    for (int i = 0; i < 32; i++)
        title += "\xC3\xA9"; // é: two bytes in UTF-8, one in Windows-1252
    ASSERT_EQ(Pack("STARS.EXE", {"--title", title}), 0);
    std::vector<uint8_t> f = glimpack::ReadWholeFile(Path("STARS.EXE"));
    uint32_t pos = stub_.resource_data_pos.back();
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(f[pos + i], 0xE9);
    EXPECT_EQ(GetU16(f, pos + 32), 0);
}

TEST_F(PackListTest, ExistingOutputIsReplacedOnlyWhenAskedAndOnlyBySuccess) {
    Put("STARS.EXE", {'o', 'l', 'd'});
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    std::string err;
    ASSERT_EQ(Pack("STARS.EXE", {"--title", "New"}, &err), 2);
    EXPECT_NE(err.find("already exists (use --overwrite"), std::string::npos) << err;
    EXPECT_EQ(glimpack::ReadWholeFile(Path("STARS.EXE")), old);
    ASSERT_EQ(Pack("STARS.EXE", {"--overwrite", "--title", std::string(33, 'x')}), 1);
    EXPECT_EQ(glimpack::ReadWholeFile(Path("STARS.EXE")), old);
    ASSERT_EQ(Pack("STARS.EXE", {"--overwrite", "--title", "New"}), 0);
    EXPECT_GT(fs::file_size(Path("STARS.EXE")), 3u);
}

struct Refusal {
    const char* what;
    std::vector<std::string> extra; // arguments after the standard ones
    const char* named;              // text the one-line message must contain
    int code = 2;                   // 1 for a value an option cannot take
};

TEST_F(PackListTest, RefusedInputsGiveExitTwoAndNoFile) {
    Put("empty.bmp", {});
    Put("photo.jpeg", {1});
    // Names no file has on Windows (":" names a stream there, control
    // characters are not allowed) are still refused when given.
    for (const char* odd : {"odd.A:B", "bell.\x07"}) {
        try {
            Put(odd, {1});
        } catch (const std::runtime_error&) {
        }
    }
    Put("dot.", {1});
    const Refusal cases[] = {
        {"title over 32 bytes", {"--title", std::string(33, 'T')}, "--title", 1},
        {"title not in Windows-1252", {"--title", "\xCE\xA9mega"}, "U+03A9", 1},
        {"title not UTF-8", {"--title", "bad \xC3\x28"}, "UTF-8", 1},
        {"title with a C1 control", {"--title", "\xC2\x81"}, "U+0081", 1},
        {"title with a tab", {"--title", "a\tb"}, "control character", 1},
        {"empty data file", {"--title", "T", Path("empty.bmp")}, "empty.bmp: empty"},
        {"long extension", {"--title", "T", Path("photo.jpeg")}, "photo.jpeg"},
        {"colon in extension", {"--title", "T", Path("odd.A:B")}, "odd.A:B"},
        {"control in extension", {"--title", "T", Path("bell.\x07")}, "\\x07"},
        {"bare dot", {"--title", "T", Path("dot.")}, "dot."},
        {"first number over 65535", {"--title", "T", "--first-number", "65536"}, "65536", 1},
        {"missing data file", {"--title", "T", Path("absent.bmp")}, "absent.bmp"},
    };
    for (const Refusal& c : cases) {
        std::string err;
        EXPECT_EQ(Pack("OUT.EXE", c.extra, &err), c.code) << c.what;
        EXPECT_NE(err.find(c.named), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.what << ": " << err;
        ExpectNoOutput("OUT.EXE");
    }
    // An empty saver is refused like any other input.
    Put("stars.scr", {});
    std::string err;
    EXPECT_EQ(Pack("OUT.EXE", {"--title", "T"}, &err), 2);
    EXPECT_NE(err.find("stars.scr"), std::string::npos) << err;
    ExpectNoOutput("OUT.EXE");
}

BuiltPe StubWith(void (*adjust)(PeBuilder&), bool lastres_last = true) {
    PeBuilder pe;
    pe.AddSection(".text", std::vector<uint8_t>(100, 0xC3));
    pe.AddResourceSection();
    pe.AddResource(ResId::Id(14), ResId::Id(101), 1033, std::vector<uint8_t>(20, 1));
    if (lastres_last)
        pe.AddResource(ResId::Name("LASTRES"), ResId::Id(1000), 1033, {0, 0, 0, 0});
    adjust(pe);
    return pe.Build();
}

TEST_F(PackListTest, StubsWithoutTheLayoutAreRefused) {
    struct BadStub {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* named;
    };
    std::vector<uint8_t> overlaid = StubWith([](PeBuilder&) {}).bytes;
    overlaid.push_back(0);
    const BadStub cases[] = {
        {"declared size 8",
         StubWith(
             [](PeBuilder& pe) {
                 pe.AddResource(ResId::Name("LASTRES"), ResId::Id(1000), 1041, {0, 0, 0, 0}, 8);
             },
             false)
             .bytes,
         "declares 8 bytes"},
        {"LASTRES not the last data", StubWith([](PeBuilder& pe) {
                                          pe.AddResource(ResId::Id(5), ResId::Id(103), 1033,
                                                         std::vector<uint8_t>(64, 2));
                                      }).bytes,
         "virtual size"},
        {"virtual size beyond the data",
         StubWith([](PeBuilder& pe) { pe.SetResourceVirtualSize(0x400); }).bytes, "virtual size"},
        {".rsrc not last in the file",
         StubWith([](PeBuilder& pe) { pe.AddSection(".reloc", std::vector<uint8_t>(8, 1)); }).bytes,
         "not the last section"},
        {"bytes after the raw data", overlaid, "not at the end of the file"},
        {"named type before LASTRES",
         StubWith(
             [](PeBuilder& pe) {
                 pe.AddResource(ResId::Name("AVI"), ResId::Id(1), 1033, {0, 0, 0, 0});
             },
             false)
             .bytes,
         "not \"LASTRES\""},
        {"no .rsrc", PeBuilder().AddSection(".text", {1, 2, 3}).Build().bytes, ".rsrc"},
        {"not a PE file", std::vector<uint8_t>(600, 'z'), "not a PE file"},
        {"optional header not 224 bytes",
         StubWith([](PeBuilder& pe) { pe.SetOptionalHeaderSize(240); }).bytes, "224"},
    };
    for (const BadStub& c : cases) {
        stub_path_ = Put("bad.exe", c.bytes);
        std::string err;
        EXPECT_EQ(Pack("OUT.EXE", {"--title", "T"}, &err), 2) << c.what;
        EXPECT_NE(err.find("bad.exe"), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find(c.named), std::string::npos) << c.what << ": " << err;
        ExpectNoOutput("OUT.EXE");
    }
}

TEST_F(PackListTest, UsageErrorsGiveExitOne) {
    EXPECT_EQ(Run("pack", glimpack::CmdPack, {"--title", "T"}), 1); // no -o
    EXPECT_EQ(Pack("OUT.EXE", {}), 1);                              // no --title
    EXPECT_EQ(Pack("OUT.EXE", {"--title", "T", "--frobnicate"}), 1);
    EXPECT_EQ(Pack("OUT.EXE", {"--title", "T", "--first-number", "12ab"}), 1);
    EXPECT_EQ(Pack("OUT.EXE", {"--title"}), 1);
    ExpectNoOutput("OUT.EXE");
    EXPECT_EQ(Run("list", glimpack::CmdList, {}), 1);
    EXPECT_EQ(Run("list", glimpack::CmdList, {"--max-size", "lots", Path("a")}), 1);
    std::string out;
    EXPECT_EQ(Run("pack", glimpack::CmdPack, {"--help"}, &out), 0);
    EXPECT_NE(out.find("Usage: glimpack pack"), std::string::npos);
    EXPECT_EQ(Run("list", glimpack::CmdList, {"--help"}, &out), 0);
    EXPECT_NE(out.find("Usage: glimpack list"), std::string::npos);
}

TEST_F(PackListTest, DefaultStubComesFromTheEnvironment) {
    tool_fixture::SetEnvironment("GLIMPACK_STUB", stub_path_);
    int rc = Run("pack", glimpack::CmdPack,
                 {"-o", Path("STARS.EXE"), "--title", "T", "--scr", Path("stars.scr"), "--dat",
                  Path("stars.dat")});
    tool_fixture::SetEnvironment("GLIMPACK_STUB", "");
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(fs::exists(Path("STARS.EXE")));
}

TEST_F(PackListTest, ListRefusesFilesThatAreNotPackages) {
    Put("text.exe", std::vector<uint8_t>(500, 'a'));
    Put("norsrc.exe", PeBuilder().AddSection(".text", {1, 2, 3}).Build().bytes);
    ASSERT_EQ(Pack("STARS.EXE", {"--title", "T"}), 0);
    std::vector<uint8_t> f = glimpack::ReadWholeFile(Path("STARS.EXE"));
    uint32_t pos = stub_.resource_data_pos.back();
    f.resize(pos + 34 + 16 + 5); // cut inside record 1
    Put("cut.exe", f);

    const std::pair<const char*, const char*> cases[] = {
        {"text.exe", "not a PE file"},
        {"norsrc.exe", "resource section"},
        {"cut.exe", "record table runs past the end of the file"},
        {"absent.exe", "absent.exe"},
    };
    for (const auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(Run("list", glimpack::CmdList, {Path(c.first)}, &out, &err), 2) << c.first;
        EXPECT_NE(err.find(c.first), std::string::npos) << err;
        EXPECT_NE(err.find(c.second), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_TRUE(out.empty()) << out;
    }
}

// Whatever a command body throws ends as the documented exit code with one
// line on standard error; nothing escapes to std::terminate.
TEST_F(PackListTest, EveryFailureEndsWithADocumentedExitCodeAndOneLine) {
    struct Case {
        const char* what;
        int (*body)(int, char**);
        int code;
        const char* text;
    } cases[] = {
        {"usage", [](int, char**) -> int { throw glimpack::UsageError("bad option"); }, 1,
         "bad option"},
        {"tool", [](int, char**) -> int { glimpack::Fail("pkg.exe", "broken"); }, 2,
         "pkg.exe: broken"},
        {"memory", [](int, char**) -> int { throw std::bad_alloc(); }, 2, "out of memory"},
        {"length", [](int, char**) -> int { throw std::length_error("vector too long"); }, 2,
         "vector too long"},
        {"anything", [](int, char**) -> int { throw 42; }, 2, "unexpected error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out, err;
        EXPECT_EQ(Run("list", c.body, {}, &out, &err), c.code);
        EXPECT_NE(err.find(c.text), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_TRUE(out.empty());
    }
}

} // namespace
