// glimpack extract and test on packages built with glimpack pack.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "package/crc32.h"
#include "package/session.h"
#include "package/text.h"
#include "testkit/packages/pe_builder.h"
#include "tests/support/problem_codes.h"
#include "tests/support/tool_fixture.h"
#include "tools/glimpack/commands.h"

namespace {

namespace fs = std::filesystem;
using pe_builder::GetU32;
using pe_builder::PutU32;
using tool_fixture::RandomBytes;

std::vector<uint8_t> Text(size_t size, const std::string& line) {
    std::vector<uint8_t> v;
    for (size_t i = 0; v.size() < size; ++i) {
        std::string l = std::to_string(i) + " " + line + "\r\n";
        v.insert(v.end(), l.begin(), l.end());
    }
    v.resize(size);
    return v;
}

class ExtractToolTest : public tool_fixture::ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        Put("glimsetup.exe", pe_builder::BuildStub().bytes);
        // Text compresses, random bytes are kept stored: both methods appear.
        inputs_ = {Text(50000, "stars over the quiet fen"), RandomBytes(2500, 2),
                   RandomBytes(700, 3), Text(20000, "a readme line")};
        Put("in/stars.scr", inputs_[0]);
        Put("in/stars.dat", inputs_[1]);
        Put("in/sky.bmp", inputs_[2]);
        Put("in/readme.txt", inputs_[3]);
        std::string err;
        ASSERT_EQ(Run("pack", glimpack::CmdPack,
                      {"-q", "-o", Path("STARS.EXE"), "--title", "Stars", "--scr",
                       Path("in/stars.scr"), "--dat", Path("in/stars.dat"), "--first-number", "32",
                       "--stub", Path("glimsetup.exe"), Path("in/sky.bmp"), Path("in/readme.txt")},
                      nullptr, &err),
                  0)
            << err;
        package_ = glimpack::ReadWholeFile(Path("STARS.EXE"));
        ScratchInspect();
    }

    void ScratchInspect() {
        pkg_ = glimpack::PackageSession(Path("STARS.EXE"), glimpack::PackageSession::Options())
                   .package();
    }

    // File position of record `i`'s 16 bytes.
    size_t RecordPos(size_t i) const {
        return pkg_.location.payload_pos + PAYLOAD_HEADER_SIZE + PAYLOAD_RECORD_SIZE * i;
    }

    std::vector<std::string> Destinations(const std::string& root) const {
        return {root + "/STARS.SCR", root + "/QUILLFEN/GLIMLOOM/STARS/STARS.DAT",
                root + "/QUILLFEN/GLIMLOOM/STARS/FILE0032.BMP",
                root + "/QUILLFEN/GLIMLOOM/STARS/FILE0033.TXT"};
    }

    std::vector<std::vector<uint8_t>> inputs_;
    std::vector<uint8_t> package_;
    glimpack::InspectedPackage pkg_;
};

TEST_F(ExtractToolTest, CompressedAndStoredRecordsExtractByteExact) {
    ASSERT_EQ(pkg_.records.size(), 4u);
    EXPECT_NE(pkg_.records[0].record.unpacked_size, 0u);
    EXPECT_EQ(pkg_.records[1].record.unpacked_size, 0u);
    EXPECT_EQ(pkg_.records[2].record.unpacked_size, 0u);
    EXPECT_NE(pkg_.records[3].record.unpacked_size, 0u);

    std::string out, err;
    ASSERT_EQ(
        Run("extract", glimpack::CmdExtract, {"-d", Path("win"), Path("STARS.EXE")}, &out, &err), 0)
        << err;
    EXPECT_NE(out.find("Extracted 4 files, 73,200 bytes"), std::string::npos) << out;
    std::vector<std::string> dest = Destinations(Path("win"));
    for (size_t i = 0; i < dest.size(); ++i) {
        ASSERT_TRUE(fs::exists(dest[i])) << dest[i];
        EXPECT_EQ(glimpack::ReadWholeFile(dest[i]), inputs_[i]) << dest[i];
    }
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(Path("win")))
        files += e.is_regular_file();
    EXPECT_EQ(files, 4u) << "no temporary file may be left behind";

    // test agrees, with the CRC-32 of every file's contents.
    ASSERT_EQ(Run("test", glimpack::CmdTest, {Path("STARS.EXE")}, &out, &err), 0) << out << err;
    EXPECT_NE(out.find("OK (4 records)"), std::string::npos) << out;
    for (const auto& in : inputs_) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", glimpack::Crc32(0, in.data(), in.size()));
        EXPECT_NE(out.find(crc), std::string::npos) << crc << "\n" << out;
    }
}

TEST_F(ExtractToolTest, Crc32IsTheStandardOne) {
    const char* check = "123456789";
    EXPECT_EQ(glimpack::Crc32(0, reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
}

TEST_F(ExtractToolTest, DefaultDirectoryIsNamedAfterThePackageAndAppearsWhole) {
    fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    std::string out, err;
    int rc = Run("extract", glimpack::CmdExtract, {"-q", "STARS.EXE"}, &out, &err);
    int again = Run("extract", glimpack::CmdExtract, {"STARS.EXE"}, nullptr, &err);
    fs::current_path(cwd);
    ASSERT_EQ(rc, 0) << err;
    EXPECT_EQ(out, "") << "-q prints nothing on success";
    for (const std::string& d : Destinations(Path("STARS")))
        EXPECT_TRUE(fs::exists(d)) << d;
    EXPECT_EQ(again, 2);
    EXPECT_NE(err.find("already exists"), std::string::npos) << err;
    for (const auto& e : fs::directory_iterator(dir_))
        EXPECT_NE(e.path().filename().string()[0], '.') << "scratch directory left: " << e.path();
}

TEST_F(ExtractToolTest, ExistingFilesAreKeptUnlessOverwriteIsGiven) {
    Put("win/QUILLFEN/GLIMLOOM/STARS/STARS.DAT", {'m', 'i', 'n', 'e'});
    std::string err;
    EXPECT_EQ(Run("extract", glimpack::CmdExtract, {"-q", "-d", Path("win"), Path("STARS.EXE")},
                  nullptr, &err),
              2);
    EXPECT_NE(err.find("STARS.DAT: already exists"), std::string::npos) << err;
    std::vector<uint8_t> mine = {'m', 'i', 'n', 'e'};
    EXPECT_EQ(glimpack::ReadWholeFile(Path("win/QUILLFEN/GLIMLOOM/STARS/STARS.DAT")), mine);
    EXPECT_FALSE(fs::exists(Path("win/STARS.SCR"))) << "refused before anything was written";

    ASSERT_EQ(Run("extract", glimpack::CmdExtract,
                  {"-q", "--overwrite", "-d", Path("win"), Path("STARS.EXE")}, nullptr, &err),
              0)
        << err;
    EXPECT_EQ(glimpack::ReadWholeFile(Path("win/QUILLFEN/GLIMLOOM/STARS/STARS.DAT")), inputs_[1]);
}

TEST_F(ExtractToolTest, ExistingDataDirectoryIsMatchedWithoutRegardToCase) {
    fs::create_directories(Path("win/quillfen/Glimloom/stars"));
    std::string err;
    ASSERT_EQ(Run("extract", glimpack::CmdExtract, {"-q", "-d", Path("win"), Path("STARS.EXE")},
                  nullptr, &err),
              0)
        << err;
    EXPECT_EQ(glimpack::ReadWholeFile(Path("win/quillfen/Glimloom/stars/STARS.DAT")), inputs_[1]);
    // No second folder beside it (where names differing in case can be two).
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Path("win")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"STARS.SCR", "quillfen"}));
}

TEST_F(ExtractToolTest, TruncatedPackageIsReportedRecordByRecord) {
    // Cut inside record 2's body: records 2 and 3 lose their bodies.
    uint32_t cut = pkg_.records[2].record.offset + 100;
    package_.resize(cut);
    pe_builder::WriteFile(Path("STARS.EXE"), package_);

    std::string out, err;
    EXPECT_EQ(Run("test", glimpack::CmdTest, {Path("STARS.EXE")}, &out, &err), 2);
    std::vector<std::string> lines;
    for (size_t p = 0, q; (q = out.find('\n', p)) != std::string::npos; p = q + 1)
        lines.push_back(out.substr(p, q - p));
    ASSERT_GE(lines.size(), 6u) << out;
    EXPECT_NE(lines[1].find("STARS.SCR  OK"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("STARS.DAT  OK"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("FILE0032.BMP  body past the end of the file"), std::string::npos)
        << lines[3];
    EXPECT_NE(lines[4].find("FILE0033.TXT  body past the end of the file"), std::string::npos)
        << lines[4];
    EXPECT_NE(out.find("2 of 4 records have problems"), std::string::npos) << out;

    // extract refuses before writing anything.
    EXPECT_EQ(
        Run("extract", glimpack::CmdExtract, {"-d", Path("win"), Path("STARS.EXE")}, nullptr, &err),
        2);
    EXPECT_NE(err.find("record 2: body past the end of the file"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(Path("win"))) << "a target made for a refused extraction goes again";
}

TEST_F(ExtractToolTest, DamagedStreamsAreNamed) {
    // Record 0's stream loses a few of its stored bytes; record 3's gains ten
    // bytes that nothing reads.
    size_t r0 = RecordPos(0), r3 = RecordPos(3);
    PutU32(package_, r0 + 4, GetU32(package_, r0 + 4) - 40);
    PutU32(package_, r3 + 4, GetU32(package_, r3 + 4) + 10);
    package_.resize(pkg_.records[3].record.offset + pkg_.records[3].record.stored_size + 10, 0x55);
    pe_builder::WriteFile(Path("STARS.EXE"), package_);

    std::string out, err;
    EXPECT_EQ(Run("test", glimpack::CmdTest, {"-q", Path("STARS.EXE")}, &out, &err), 2);
    EXPECT_EQ(out.find("STARS.DAT"), std::string::npos) << "-q hides records that are OK";
    // The cut stream gives its unpacked size only from zero bits past its
    // end; the other keeps bytes nothing reads.
    EXPECT_EQ(Run("test", glimpack::CmdTest, {"--json", Path("STARS.EXE")}, &out, &err), 2);
    EXPECT_EQ(problem_codes::Of(out),
              (std::vector<std::string>{"stream-reads-past-end@0", "stored-bytes-unused@3"}))
        << out;

    EXPECT_EQ(
        Run("extract", glimpack::CmdExtract, {"-d", Path("win"), Path("STARS.EXE")}, nullptr, &err),
        2);
    EXPECT_NE(err.find("STARS.EXE: record 0: "), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(Path("win"))) << "no partial file, no folder made for it";
}

} // namespace
