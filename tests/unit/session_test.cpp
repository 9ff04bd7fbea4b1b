// The package session and the build policy: one opening of the package that
// agrees with the installer's own entries and accounts for every byte it
// does not read, host paths found below each session's own folder, and the
// names and verdict a build must pass, the same for the page's way in as for
// `glimpack pack`.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package/build_policy.h"
#include "package/crc32.h"
#include "package/listing.h"
#include "package/session.h"
#include "package/text.h"
#include "package/verdict.h"
#include "payload/payload.h"
#include "platform/host/host_world.h"
#include "testkit/packages/pe_builder.h"
#include "tests/support/tool_fixture.h"
#include "tools/glimpack/commands.h"

namespace {

namespace fs = std::filesystem;
using glimpack::PackageSession;
using tool_fixture::RandomBytes;

class SessionTest : public tool_fixture::ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        stub_ = Put("glimsetup.exe", pe_builder::BuildStub().bytes);
        inputs_ = {std::vector<uint8_t>(30000, 'a'), RandomBytes(900, 1), RandomBytes(300, 2)};
        Put("in/stars.scr", inputs_[0]);
        Put("in/stars.dat", inputs_[1]);
        Put("in/sky.bmp", inputs_[2]);
    }

    // Packs the inputs as `name` in the test's folder; returns glimpack's exit
    // code, its standard error in *err.
    int Pack(const std::string& name, const std::vector<std::string>& data_files,
             std::string* err) {
        fs::path cwd = fs::current_path();
        fs::current_path(dir_);
        std::vector<std::string> args = {"-q",           "-o",     name,           "--title",
                                         "Stars",        "--scr",  "in/stars.scr", "--dat",
                                         "in/stars.dat", "--stub", stub_};
        args.insert(args.end(), data_files.begin(), data_files.end());
        int rc = Run("pack", glimpack::CmdPack, args, nullptr, err);
        fs::current_path(cwd);
        return rc;
    }

    // Where the installer would find record `i`'s 16 bytes in `pkg`.
    static size_t RecordPos(const glimpack::InspectedPackage& pkg, size_t i) {
        return pkg.location.payload_pos + PAYLOAD_HEADER_SIZE + PAYLOAD_RECORD_SIZE * i;
    }

    std::string stub_;
    std::vector<std::vector<uint8_t>> inputs_;
};

TEST_F(SessionTest, ReadsEverythingFromTheOneOpeningAndAgreesWithTheInstaller) {
    std::string err;
    ASSERT_EQ(Pack("STARS.EXE", {"in/sky.bmp"}, &err), 0) << err;
    // An unpacked size in the terminator counts in the installer's total.
    std::vector<uint8_t> bytes = glimpack::ReadWholeFile(Path("STARS.EXE"));
    size_t terminator =
        PackageSession(Path("STARS.EXE"), PackageSession::Options()).package().table_end -
        PAYLOAD_RECORD_SIZE;
    pe_builder::PutU32(bytes, terminator + 8, 7);
    Put("STARS.EXE", bytes);

    host::SetModuleFile(Path("STARS.EXE"));
    char title[PAYLOAD_TITLE_SIZE + 1] = {};
    ReadSaverTitle(nullptr, title);
    const uint32_t installer_total = PayloadInstalledTotal();

    PackageSession session(Path("STARS.EXE"), PackageSession::Options());
    const glimpack::InspectedPackage& pkg = session.package();
    EXPECT_EQ(std::memcmp(pkg.header.title, title, PAYLOAD_TITLE_SIZE), 0);
    EXPECT_EQ(pkg.installed_total, installer_total);
    EXPECT_EQ(pkg.installed_total, 30000u + 900u + 300u + 7u);
    ASSERT_EQ(pkg.records.size(), 3u);
    EXPECT_EQ(RecordPos(pkg, 3), terminator);

    // The file under the name is gone; the session still reads the one it
    // opened, every record, with its contents' CRC-32.
    fs::remove(Path("STARS.EXE"));
    session.CheckAllContents();
    ASSERT_TRUE(pkg.Sound()) << glimpack::ProblemsInOneLine(pkg.AllProblems());
    for (size_t i = 0; i < inputs_.size(); i++)
        EXPECT_EQ(pkg.records[i].crc32, glimpack::Crc32(0, inputs_[i].data(), inputs_[i].size()));
}

TEST_F(SessionTest, HostPathsFollowEachSessionsOwnWindowsDirectory) {
    std::string err;
    ASSERT_EQ(Pack("STARS.EXE", {"in/sky.bmp"}, &err), 0) << err;
    // An existing folder is found without regard to case, as Windows finds it.
    fs::create_directories(Path("one/quillfen"));
    fs::create_directories(Path("two"));
    PackageSession::Options one, two;
    one.host_windows_dir = Path("one");
    two.host_windows_dir = Path("two");
    PackageSession first(Path("STARS.EXE"), one);
    PackageSession second(Path("STARS.EXE"), two);
    EXPECT_EQ(first.HostPath(2), Path("one/quillfen/GLIMLOOM/STARS/FILE0000.BMP"));
    EXPECT_EQ(second.HostPath(0), Path("two/STARS.SCR"));
    EXPECT_EQ(first.HostPath(0), Path("one/STARS.SCR"));
    // Without a folder standing for the Windows directory, nothing is written.
    EXPECT_EQ(PackageSession(Path("STARS.EXE"), PackageSession::Options()).HostPath(0), "");
}

TEST_F(SessionTest, JudgedAgainByOtherLimitsForgetsWhatTheOldOnesFound) {
    std::string err;
    ASSERT_EQ(Pack("STARS.EXE", {}, &err), 0) << err;
    PackageSession session(Path("STARS.EXE"), PackageSession::Options());
    session.CheckAllContents();
    ASSERT_TRUE(session.package().records[0].contents_checked);
    session.Rejudge(glimpack::Limits{1000});
    EXPECT_EQ(session.package().RecordsWithProblems(), 1u);
    EXPECT_FALSE(session.package().records[1].contents_checked);
    session.Rejudge(glimpack::Limits{});
    EXPECT_TRUE(session.package().Sound());
}

// Every name pack refuses, refused by the policy as the page asks it (the
// package's bare name, the data files' own names) in the same words; names
// pack takes, taken by both.
TEST_F(SessionTest, PolicyAsThePageUsesItAndPackRefuseTheSameNamesAlike) {
    for (const char* data : {"photo.jpeg", "odd.A:B", "dot.", "bell.\x07", "a.<", "readme.txt"})
        Put(data, {1}); // beside the package, so that pack names them as the page does
    struct Case {
        std::string output;
        std::vector<std::string> data_files;
        bool refused; // otherwise pack's and the page's answers must still agree
    };
    std::vector<Case> cases = {
        {"CON.EXE", {}, true},
        {"con.exe", {}, true},
        {"PRN.EXE", {}, true},
        {"AUX.EXE", {}, true},
        {"NUL.EXE", {}, true},
        {"NUL.TXT.EXE", {}, true},
        {"COM1.EXE", {}, true},
        {"COM9.EXE", {}, true},
        {"LPT1.EXE", {}, true},
        {"LPT9.EXE", {}, true},
        {"CON .EXE", {}, true},
        {"..EXE", {}, true},
        {"...EXE", {}, true},
        {".EXE", {}, true},
        {"A:B.EXE", {}, true},
        {std::string(250, 'N') + ".EXE", {}, true},
        {"OK.EXE", {"photo.jpeg"}, true},
        {"OK.EXE", {"odd.A:B"}, true},
        {"OK.EXE", {"dot."}, true},
        {"OK.EXE", {"bell.\x07"}, true},
        {"OK.EXE", {"a.<"}, true},
        // The stricter list of device names: the console's own, digit 0 and
        // the superscript digits Windows also reserves.
        {"CONIN$.EXE", {}, true},
        {"conout$.exe", {}, true},
        {"COM0.EXE", {}, true},
        {"LPT0.EXE", {}, true},
        {"COM\xC2\xB9.EXE", {}, true},
        {"LPT\xC2\xB3.EXE", {}, true},
        {"COM10.EXE", {}, false},
        {"STARS.EXE", {"readme.txt"}, false},
    };
    for (const Case& c : cases) {
        std::string tool;
        int rc = Pack(c.output, c.data_files, &tool);
        if (c.refused) {
            EXPECT_EQ(rc, 2) << c.output;
            EXPECT_FALSE(fs::exists(Path(c.output))) << c.output;
        }
        std::string page;
        try {
            glimpack::PlanInputs(c.output, 0, c.data_files);
        } catch (const glimpack::ToolError& e) {
            page = glimpack::EscapeForDisplay(std::string("glimpack: ") + e.what(), false) + "\n";
        }
        EXPECT_EQ(page, rc == 0 ? "" : tool) << c.output;
        fs::remove(Path(c.output));
    }
}

// The verdict is on the file as built, under the name it will have.
TEST_F(SessionTest, BuiltPackageIsJudgedUnderItsFinalName) {
    std::string err;
    ASSERT_EQ(Pack("BUILT.TMP", {"in/sky.bmp"}, &err), 0) << err;
    glimpack::CheckBuiltPackage(Path("BUILT.TMP"), "STARS.EXE", glimpack::Limits());
    // The codes of what the refusal names: the build's own, then the
    // package's problems.
    auto refusal = [&](const std::string& output, const glimpack::Limits& limits) {
        std::vector<std::string> codes;
        try {
            glimpack::CheckBuiltPackage(Path("BUILT.TMP"), output, limits);
        } catch (const glimpack::PackageError& e) {
            EXPECT_EQ(e.file(), output);
            for (const glimpack::Problem& p : e.problems())
                codes.push_back(glimpack::ProblemCodeName(p.code) +
                                (p.record ? "@" + std::to_string(*p.record) : std::string()));
        }
        return codes;
    };
    using Codes = std::vector<std::string>;
    EXPECT_EQ(refusal("out/CON.EXE", glimpack::Limits()),
              (Codes{"built-package-fails", "destination-device-name@0",
                     "destination-device-name@1", "destination-device-name@2"}));
    EXPECT_EQ(refusal("STARS.EXE", glimpack::Limits{500}),
              (Codes{"built-package-fails", "over-size-limit@0", "over-size-limit@1"}));
}

// Every range the installer never reads is named, with its offset, size and
// kind, and noted; a table that goes on past its terminator is noted too.
// Nothing of it changes the verdict, which is about what the installer does.
TEST_F(SessionTest, EveryByteTheInstallerDoesNotReadIsAccountedFor) {
    std::string err;
    ASSERT_EQ(Pack("STARS.EXE", {"in/sky.bmp"}, &err), 0) << err;
    std::vector<uint8_t> built;
    ASSERT_TRUE(hostos::ReadFile(Path("STARS.EXE"), &built));
    glimpack::InspectedPackage plain = PackageSession(Path("STARS.EXE"), {}).package();
    const uint32_t body2 = plain.records[2].record.offset;
    const size_t table_end = size_t(plain.table_end);
    // Each range as "kind@offset+size", and the notes' codes.
    auto unread = [&](const std::vector<uint8_t>& bytes, const std::vector<std::string>& codes) {
        Put("SEEN.EXE", bytes);
        PackageSession session(Path("SEEN.EXE"), {});
        const glimpack::InspectedPackage& pkg = session.package();
        std::vector<std::string> found, noted;
        for (const glimpack::Region& r : pkg.unread) {
            if (r.kind != glimpack::RegionKind::kSectionPadding)
                found.push_back(std::string(glimpack::RegionKindName(r.kind)) + "@" +
                                std::to_string(r.offset) + "+" + std::to_string(r.size));
        }
        for (const glimpack::Problem& n : pkg.notes)
            noted.push_back(glimpack::ProblemCodeName(n.code));
        EXPECT_EQ(noted, codes) << glimpack::FormatListingText(pkg);
        EXPECT_TRUE(pkg.Sound()) << glimpack::FormatListingText(pkg);
        return found;
    };
    using Ranges = std::vector<std::string>;
    EXPECT_EQ(unread(built, {}), Ranges{});

    // 1 KiB after the last body.
    std::vector<uint8_t> appended = built;
    appended.insert(appended.end(), 1024, 0x5A);
    EXPECT_EQ(unread(appended, {"trailing-data"}),
              Ranges{"trailing-data@" + std::to_string(built.size()) + "+1024"});

    // 100 stray bytes between two bodies.
    std::vector<uint8_t> gap = built;
    gap.insert(gap.begin() + body2, 100, 0x77);
    pe_builder::PutU32(gap, RecordPos(plain, 2), body2 + 100);
    EXPECT_EQ(unread(gap, {"unread-gap"}), Ranges{"gap@" + std::to_string(body2) + "+100"});

    // A fourth record left behind the terminating entry: its entry in a
    // slot after the terminator, its 51,200 bytes at the end.
    std::vector<uint8_t> hidden = built;
    hidden.insert(hidden.begin() + table_end, PAYLOAD_RECORD_SIZE, 0);
    for (size_t i = 0; i < 3; i++)
        pe_builder::PutU32(hidden, RecordPos(plain, i),
                           plain.records[i].record.offset + PAYLOAD_RECORD_SIZE);
    const uint32_t fourth = uint32_t(hidden.size());
    hidden.insert(hidden.end(), 51200, 0x33);
    pe_builder::PutU32(hidden, table_end, fourth);
    pe_builder::PutU32(hidden, table_end + 4, 51200);
    std::memcpy(&hidden[table_end + 12], ".BMP", 4);
    EXPECT_EQ(unread(hidden, {"unread-gap", "trailing-data", "table-continues"}),
              (Ranges{"gap@" + std::to_string(table_end) + "+16",
                      "trailing-data@" + std::to_string(fourth) + "+51200"}));

    // A certificate table the security directory points at, after zeros
    // that align it to 8 bytes.
    std::vector<uint8_t> signed_ = built;
    const size_t padding = (8 - signed_.size() % 8) % 8;
    signed_.insert(signed_.end(), padding, 0);
    const size_t table = signed_.size();
    signed_.insert(signed_.end(), 64, 0xC5);
    const size_t directory = pe_builder::GetU32(signed_, 60) + 24 + 96 + 4 * 8;
    pe_builder::PutU32(signed_, directory, uint32_t(table));
    pe_builder::PutU32(signed_, directory + 4, 64);
    Ranges expected;
    std::vector<std::string> notes;
    if (padding) {
        expected.push_back("signature-padding@" + std::to_string(table - padding) + "+" +
                           std::to_string(padding));
        notes.push_back("signature-padding");
    }
    expected.push_back("certificate-table@" + std::to_string(table) + "+64");
    notes.push_back("certificate-table");
    EXPECT_EQ(unread(signed_, notes), expected);
}

// Every text of the problem list, its details filled in as the code fills
// them, reads as one clause: no word twice in a row ("is is", "the the"), no
// two verbs run together ("is holds"), no blank or unfilled placeholder, and
// each code named once. The texts' words themselves are the table's; this is
// the one test that reads them.
TEST(ProblemTable, EveryTextReadsAsOneClause) {
    const std::vector<glimpack::ProblemRow>& table = glimpack::ProblemTable();
    std::set<std::string> names;
    for (size_t i = 0; i < table.size(); i++) {
        const glimpack::ProblemRow& row = table[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(size_t(row.code), i) << "the table follows the enumeration";
        EXPECT_TRUE(names.insert(row.name).second) << "named twice";
        glimpack::Problem p{row.code, 3, {"\"A\"", "1,234", "\"B\"", "\"C\""}};
        const std::string text = glimpack::ProblemText(p);
        EXPECT_EQ(text.find('{'), std::string::npos) << text;
        EXPECT_EQ(text.find("  "), std::string::npos) << text;
        EXPECT_FALSE(text.empty());
        std::istringstream words(text);
        std::string word, last;
        while (words >> word) {
            EXPECT_NE(word, last) << text;
            static const std::set<std::string> kVerbs = {"is",    "are",  "has",  "have",
                                                         "holds", "lies", "runs", "gives"};
            EXPECT_FALSE(kVerbs.count(last) && kVerbs.count(word)) << text;
            last = word;
        }
        EXPECT_EQ(glimpack::ProblemLine(p).rfind("record 3: ", 0), 0u);
    }
}

} // namespace
