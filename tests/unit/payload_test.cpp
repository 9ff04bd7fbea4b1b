// The payload locator and the record-table walk, on PE files built for each case.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/payload.h"
#include "platform/host/host_world.h"
#include "testkit/fakes/fake_control.h"
#include "testkit/packages/pe_builder.h"

namespace {

using pe_builder::BuiltPe;
using pe_builder::PeBuilder;
using pe_builder::ResId;

class PayloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("payload_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "windows");
        fake::Reset();
        host::SetWindowsDirectory((dir_ / "windows").string());
    }
    void TearDown() override {
        fake::Reset();
        std::filesystem::remove_all(dir_);
    }

    // Makes `bytes` the installer's own file.
    void UseAsModule(const std::vector<uint8_t>& bytes, const std::string& name = "STARS.EXE") {
        std::string path = (dir_ / name).string();
        pe_builder::WriteFile(path, bytes);
        host::SetModuleFile(path);
    }

    // Position OpenPayload leaves the handle at, or -1.
    int64_t LocatedPosition(PayloadLocation* location = nullptr) {
        HFILE f = OpenPayloadWithLocation(location);
        if (f == HFILE_ERROR)
            return -1;
        int64_t pos = _llseek(f, 0, FILE_CURRENT);
        _lclose(f);
        return pos;
    }

    std::filesystem::path dir_;
};

// A stub followed by a payload: header, the given record table, then bodies.
std::vector<uint8_t> WithPayload(const BuiltPe& stub, const std::string& title,
                                 uint16_t first_number, const std::vector<PayloadRecord>& records,
                                 bool terminate = true) {
    uint32_t pos = stub.resource_data_pos.back();
    std::vector<uint8_t> bytes(stub.bytes.begin(), stub.bytes.begin() + pos);
    PayloadHeader header{};
    std::memcpy(header.title, title.data(), std::min<size_t>(title.size(), 32));
    header.first_file_number = first_number;
    uint8_t raw[PAYLOAD_HEADER_SIZE];
    EncodePayloadHeader(&header, raw);
    bytes.insert(bytes.end(), raw, raw + sizeof raw);
    for (const PayloadRecord& r : records) {
        uint8_t rec[PAYLOAD_RECORD_SIZE];
        EncodePayloadRecord(&r, rec);
        bytes.insert(bytes.end(), rec, rec + sizeof rec);
    }
    if (terminate)
        bytes.insert(bytes.end(), PAYLOAD_RECORD_SIZE, 0);
    return bytes;
}

PayloadRecord Record(uint32_t offset, uint32_t stored, uint32_t unpacked, const char* ext) {
    PayloadRecord r{};
    r.offset = offset;
    r.stored_size = stored;
    r.unpacked_size = unpacked;
    std::strncpy(r.extension, ext, PAYLOAD_EXTENSION_SIZE);
    return r;
}

TEST(PayloadFormat, FieldsAreLittleEndianAtTheirOffsets) {
    PayloadRecord r = Record(0x04030201, 0x08070605, 0x0C0B0A09, ".TMP");
    uint8_t raw[PAYLOAD_RECORD_SIZE];
    EncodePayloadRecord(&r, raw);
    const uint8_t expected[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, '.', 'T', 'M', 'P'};
    EXPECT_EQ(0, std::memcmp(raw, expected, 16));
    PayloadRecord back{};
    DecodePayloadRecord(raw, &back);
    EXPECT_EQ(back.offset, r.offset);
    EXPECT_EQ(back.unpacked_size, r.unpacked_size);

    PayloadHeader h{};
    std::memset(h.title, 'A', 32);
    h.first_file_number = 0xFFEE;
    uint8_t hraw[PAYLOAD_HEADER_SIZE];
    EncodePayloadHeader(&h, hraw);
    EXPECT_EQ(hraw[31], 'A');
    EXPECT_EQ(hraw[32], 0xEE);
    EXPECT_EQ(hraw[33], 0xFF);
}

TEST_F(PayloadTest, FindsTheLastResourceDataInAWellFormedStub) {
    BuiltPe stub = pe_builder::BuildStub();
    ASSERT_GT(stub.rsrc_index, 0); // .text and .data come first
    UseAsModule(stub.bytes);
    PayloadLocation loc;
    EXPECT_EQ(LocatedPosition(&loc), stub.resource_data_pos.back());
    EXPECT_TRUE(loc.rsrc_found);
    EXPECT_EQ(loc.rsrc_index, static_cast<uint32_t>(stub.rsrc_index));
    EXPECT_EQ(loc.data_size, 4u);
    EXPECT_EQ(loc.data_entry_pos, stub.resource_entry_pos.back());
    EXPECT_EQ(loc.payload_pos, loc.data_rva - loc.rsrc_rva + loc.rsrc_file_pos);
    EXPECT_FALSE(loc.short_read);
}

TEST_F(PayloadTest, DeclaredDataSizeIsIgnored) {
    for (uint32_t declared : {0u, 4u, 8u, 0xFFFFFFFFu}) {
        PeBuilder pe;
        pe.AddSection(".text", std::vector<uint8_t>(64, 0x90));
        pe.AddResourceSection();
        pe.AddResource(ResId::Name("LASTRES"), ResId::Id(1000), 1033, {1, 2, 3, 4}, declared);
        BuiltPe built = pe.Build();
        UseAsModule(built.bytes);
        EXPECT_EQ(LocatedPosition(), built.resource_data_pos[0]) << "declared " << declared;
    }
}

TEST_F(PayloadTest, ResourceSectionAfterOthersIsFoundByTheScan) {
    PeBuilder pe;
    pe.AddSection(".text", std::vector<uint8_t>(700, 0x90));
    pe.AddSection(".rdata", std::vector<uint8_t>(300, 1));
    pe.AddSection(".data", std::vector<uint8_t>(10, 2));
    pe.AddResourceSection();
    pe.AddSection(".reloc", std::vector<uint8_t>(40, 3));
    pe.AddResource(ResId::Id(14), ResId::Id(101), 1033, std::vector<uint8_t>(20, 7));
    pe.AddResource(ResId::Name("LASTRES"), ResId::Id(1000), 1033, {0, 0, 0, 0});
    BuiltPe built = pe.Build();
    UseAsModule(built.bytes);
    PayloadLocation loc;
    EXPECT_EQ(LocatedPosition(&loc), built.resource_data_pos[1]);
    EXPECT_EQ(loc.rsrc_index, 3u);
}

TEST_F(PayloadTest, NamedTypeSortingBeforeLastresIsTakenInstead) {
    PeBuilder pe;
    pe.AddSection(".text", std::vector<uint8_t>(64, 0x90));
    pe.AddResourceSection();
    // Added in this order, but "AVI" sorts before "LASTRES" in the directory.
    pe.AddResource(ResId::Name("LASTRES"), ResId::Id(1000), 1033, {0, 0, 0, 0});
    pe.AddResource(ResId::Name("AVI"), ResId::Id(7), 1033, std::vector<uint8_t>(40, 9));
    pe.AddResource(ResId::Name("AVI"), ResId::Id(3), 1033, std::vector<uint8_t>(40, 8));
    BuiltPe built = pe.Build();
    UseAsModule(built.bytes);
    // The first name of that type (id 3) is the one reached.
    EXPECT_EQ(LocatedPosition(), built.resource_data_pos[2]);
}

TEST_F(PayloadTest, NoResourceSectionGivesMinusOne) {
    PeBuilder pe;
    pe.AddSection(".text", std::vector<uint8_t>(64, 0x90));
    pe.AddSection(".RSRC", std::vector<uint8_t>(64, 0));  // the name is case-sensitive
    pe.AddSection(".rsrc2", std::vector<uint8_t>(64, 0)); // and compared whole
    UseAsModule(pe.Build().bytes);
    PayloadLocation loc;
    EXPECT_EQ(LocatedPosition(&loc), -1);
    EXPECT_FALSE(loc.rsrc_found);
    EXPECT_EQ(loc.section_count, 3u);
}

TEST_F(PayloadTest, ScanStopsAtTheSectionCountEvenWhenRsrcFollows) {
    BuiltPe stub = pe_builder::BuildStub();
    std::vector<uint8_t> bytes = stub.bytes;
    uint32_t pe = pe_builder::GetU32(bytes, 60);
    pe_builder::PutU16(bytes, pe + 6, 2); // .rsrc is the third header
    UseAsModule(bytes);
    EXPECT_EQ(LocatedPosition(), -1);
}

TEST_F(PayloadTest, SectionCountPastTheEndOfTheFileEnds) {
    BuiltPe stub = pe_builder::BuildStub();
    uint32_t pe = pe_builder::GetU32(stub.bytes, 60);
    std::vector<uint8_t> bytes(stub.bytes.begin(), stub.bytes.begin() + pe + 24 + 224 + 40);
    bytes[pe + 24 + 224] = 'X';                // the one header left is not .rsrc
    pe_builder::PutU16(bytes, pe + 6, 0xFFFF); // and the count promises many more
    UseAsModule(bytes);
    PayloadLocation loc;
    EXPECT_EQ(LocatedPosition(&loc), -1);
    EXPECT_TRUE(loc.short_read);
}

TEST_F(PayloadTest, GarbageAndTinyFilesDoNotCrash) {
    for (size_t size : {0, 1, 61, 64, 300}) {
        UseAsModule(std::vector<uint8_t>(size, 0xFF));
        // Whatever the walk reads from such a file, it finds no ".rsrc" and
        // ends within the file header's section count.
        EXPECT_EQ(LocatedPosition(), -1) << size;
    }
}

TEST_F(PayloadTest, ModulePathOf256CharactersIsNotOpened) {
    BuiltPe stub = pe_builder::BuildStub();
    std::string host_file = (dir_ / "STARS.EXE").string();
    pe_builder::WriteFile(host_file, stub.bytes);

    std::string long_path = "C:\\" + std::string(256 - 3 - 4, 'D') + ".EXE";
    ASSERT_EQ(long_path.size(), 256u);
    host::SetModuleFile(host_file, long_path);
    EXPECT_EQ(OpenPayload(), HFILE_ERROR);

    std::string fits = "C:\\" + std::string(255 - 3 - 4, 'D') + ".EXE";
    host::SetModuleFile(host_file, fits);
    EXPECT_EQ(LocatedPosition(), stub.resource_data_pos.back());
}

TEST_F(PayloadTest, CutModulePathNeverOpensTheFileItHappensToName) {
    // The 256-character name, cut to the buffer, names another existing file.
    std::string cut_name = std::string(255 - 3 - 3, 'D') + ".EX";
    pe_builder::WriteFile((dir_ / cut_name).string(), pe_builder::BuildStub().bytes);
    host::Mount("C:\\", dir_.string());
    host::SetModuleFile((dir_ / cut_name).string(), "C:\\" + cut_name + "E");
    EXPECT_EQ(OpenPayload(), HFILE_ERROR);
}

TEST_F(PayloadTest, UnavailableModuleNameGivesMinusOne) {
    UseAsModule(pe_builder::BuildStub().bytes);
    fake::FailGetModuleFileName(true);
    EXPECT_EQ(OpenPayload(), HFILE_ERROR);
    char title[33];
    std::memset(title, 'k', sizeof title);
    EXPECT_EQ(ReadSaverTitle(nullptr, title), 0);
    EXPECT_EQ(title[0], 'k'); // left as it was
}

// --- Title and record table ------------------------------------------------------

TEST_F(PayloadTest, TitleOfExactly32CharactersStaysTerminated) {
    BuiltPe stub = pe_builder::BuildStub();
    std::string title = "Thirty-two characters of title!!";
    ASSERT_EQ(title.size(), 32u);
    UseAsModule(WithPayload(stub, title, 0, {}));
    char buffer[PAYLOAD_TITLE_SIZE + 1] = {};
    EXPECT_EQ(ReadSaverTitle(nullptr, buffer), 0);
    EXPECT_EQ(std::string(buffer), title);
}

TEST_F(PayloadTest, TitleCutOffByTheEndOfTheFileReadsAsZeros) {
    BuiltPe stub = pe_builder::BuildStub();
    std::vector<uint8_t> bytes(stub.bytes.begin(),
                               stub.bytes.begin() + stub.resource_data_pos.back());
    bytes.insert(bytes.end(), {'A', 'B'});
    UseAsModule(bytes);
    char buffer[PAYLOAD_TITLE_SIZE + 1];
    std::memset(buffer, 'x', sizeof buffer);
    buffer[PAYLOAD_TITLE_SIZE] = '\0';
    ReadSaverTitle(nullptr, buffer);
    EXPECT_STREQ(buffer, "AB");
}

TEST_F(PayloadTest, WalkReadsRecordsUpToTheTerminator) {
    BuiltPe stub = pe_builder::BuildStub();
    std::vector<PayloadRecord> records = {
        Record(1000, 10, 0, ".SCR"), Record(1010, 20, 300, ".DAT"), Record(1030, 5, 0, ".BMP")};
    UseAsModule(WithPayload(stub, "Stars", 32, records));
    RecordWalk walk;
    ASSERT_EQ(BeginRecordWalk(&walk), 1);
    EXPECT_EQ(walk.first_file_number, 32);
    EXPECT_EQ(walk.table_pos, stub.resource_data_pos.back() + PAYLOAD_HEADER_SIZE);
    PayloadRecord r;
    for (const PayloadRecord& expected : records) {
        ASSERT_EQ(NextRecord(&walk, &r), 1);
        EXPECT_EQ(r.offset, expected.offset);
        EXPECT_EQ(r.unpacked_size, expected.unpacked_size);
        EXPECT_EQ(0, std::memcmp(r.extension, expected.extension, 4));
    }
    EXPECT_EQ(NextRecord(&walk, &r), 0);
    EXPECT_TRUE(walk.reached_terminator);
    EXPECT_FALSE(walk.reached_end_of_file);
    EXPECT_EQ(walk.index, 3u);
    EXPECT_EQ(NextRecord(&walk, &r), 0); // stays ended
    EndRecordWalk(&walk);

    EXPECT_EQ(PayloadInstalledTotal(), 10u + 300u + 5u);
}

TEST_F(PayloadTest, TerminatorFirstInstallsNothing) {
    UseAsModule(WithPayload(pe_builder::BuildStub(), "Empty", 7, {}));
    RecordWalk walk;
    ASSERT_EQ(BeginRecordWalk(&walk), 1);
    EXPECT_EQ(walk.first_file_number, 7);
    PayloadRecord r;
    EXPECT_EQ(NextRecord(&walk, &r), 0);
    EXPECT_TRUE(walk.reached_terminator);
    EndRecordWalk(&walk);
    EXPECT_EQ(PayloadInstalledTotal(), 0u);
}

TEST_F(PayloadTest, TableWithoutTerminatorEndsWithTheFile) {
    BuiltPe stub = pe_builder::BuildStub();
    std::vector<uint8_t> bytes = WithPayload(
        stub, "Cut", 0, {Record(1, 2, 0, ".A"), Record(3, 4, 0, ".B")}, /*terminate=*/false);
    bytes.insert(bytes.end(), {9, 9, 9, 9, 9}); // part of a third record
    UseAsModule(bytes);
    RecordWalk walk;
    ASSERT_EQ(BeginRecordWalk(&walk), 1);
    PayloadRecord r;
    EXPECT_EQ(NextRecord(&walk, &r), 1);
    EXPECT_EQ(NextRecord(&walk, &r), 1);
    EXPECT_EQ(NextRecord(&walk, &r), 0);
    EXPECT_TRUE(walk.reached_end_of_file);
    EXPECT_FALSE(walk.reached_terminator);
    EXPECT_EQ(r.stored_size, 0u); // the partial record is not handed out
    EndRecordWalk(&walk);
    EXPECT_EQ(PayloadInstalledTotal(), 6u);
}

TEST_F(PayloadTest, TerminatorsUnpackedSizeCountsInTheTotal) {
    // Readers test only stored_size; whatever else the terminator holds is
    // summed like any record's installed size.
    UseAsModule(WithPayload(pe_builder::BuildStub(), "T", 0,
                            {Record(0, 5, 0, ""), Record(0, 0, 7, "")}, /*terminate=*/false));
    EXPECT_EQ(PayloadInstalledTotal(), 12u);
    uint32_t total = 100;
    EXPECT_EQ(AddInstalledTotal(&total), 1);
    EXPECT_EQ(total, 112u);
}

TEST_F(PayloadTest, InstalledTotalWrapsAsAn32BitCount) {
    UseAsModule(WithPayload(pe_builder::BuildStub(), "Big", 0,
                            {Record(0, 1, 0xFFFFFFF0u, ""), Record(0, 0x20, 0, "")}));
    EXPECT_EQ(PayloadInstalledTotal(), 0x10u);
}

TEST_F(PayloadTest, SuspendAndResumeContinueAfterTheCurrentRecord) {
    UseAsModule(WithPayload(pe_builder::BuildStub(), "S", 0,
                            {Record(11, 1, 0, ""), Record(22, 2, 0, ""), Record(33, 3, 0, "")}));
    RecordWalk walk;
    ASSERT_EQ(BeginRecordWalk(&walk), 1);
    PayloadRecord r;
    ASSERT_EQ(NextRecord(&walk, &r), 1);
    SuspendRecordWalk(&walk);
    EXPECT_EQ(walk.file, HFILE_ERROR);
    ASSERT_EQ(ResumeRecordWalk(&walk), 1);
    ASSERT_EQ(NextRecord(&walk, &r), 1);
    EXPECT_EQ(r.offset, 22u);

    SuspendRecordWalk(&walk);
    fake::FailGetModuleFileName(true);
    EXPECT_EQ(ResumeRecordWalk(&walk), 0);
    EXPECT_EQ(NextRecord(&walk, &r), 0);
    EndRecordWalk(&walk);
}

TEST_F(PayloadTest, WalkOfAnUnopenablePayloadIsEndedAtOnce) {
    host::SetModuleFile((dir_ / "missing.exe").string());
    RecordWalk walk;
    EXPECT_EQ(BeginRecordWalk(&walk), 0);
    PayloadRecord r;
    EXPECT_EQ(NextRecord(&walk, &r), 0);
    EndRecordWalk(&walk);
    EXPECT_EQ(PayloadInstalledTotal(), 0u);
}

} // namespace
