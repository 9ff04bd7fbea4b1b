// Extraction, the disk-space check, the progress box with the activation, and
// whole installation runs, on packages written into a host Windows world.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "payload/extract.h"
#include "platform/host/host_world.h"
#include "shell/shell.h"
#include "testkit/fakes/fake_control.h"
#include "tests/unit/installer_world.h"

namespace {

using installer_world::Body;
using installer_world::Package;
using installer_world::Pattern;
using installer_world::ReadFile;
using installer_world::Text;
using installer_world::World;
namespace fs = std::filesystem;

HWND FakeDialog() {
    return reinterpret_cast<HWND>(0x4242);
}

// --- Extraction --------------------------------------------------------------

class ExtractTest : public World {};

TEST_F(ExtractTest, StoredAndCompressedRecordsLandAtTheirDestinations) {
    auto scr = Pattern(3000, 1);
    auto dat = Text(20000);
    auto wav = Pattern(777, 3);
    auto bmp = Text(5000);
    Package p;
    p.title = "Aurora";
    p.first_file_number = 32;
    p.bodies = {{scr, false, ""}, {dat, true, ".XYZ"}, {wav, false, ".WAV"}, {bmp, true, ".BMP"}};
    auto built = Install("Aurora.exe", p);
    ASSERT_LT(built.stored_sizes[1], dat.size()); // really compressed

    ExtractPayload(FakeDialog());

    EXPECT_EQ(ReadFile(windows_ / "AURORA.SCR"), scr);
    EXPECT_EQ(ReadFile(DataDir("Aurora") / "Aurora.DAT"), dat);
    // The read position after a compressed record is the next record's.
    EXPECT_EQ(ReadFile(DataDir("Aurora") / "FILE0032.WAV"), wav);
    EXPECT_EQ(ReadFile(DataDir("Aurora") / "FILE0033.BMP"), bmp);
    EXPECT_EQ(AllFiles(), (std::set<std::string>{"downloads/Aurora.exe", "windows/AURORA.SCR",
                                                 "windows/QUILLFEN/GLIMLOOM/Aurora/Aurora.DAT",
                                                 "windows/QUILLFEN/GLIMLOOM/Aurora/FILE0032.WAV",
                                                 "windows/QUILLFEN/GLIMLOOM/Aurora/FILE0033.BMP"}));
}

TEST_F(ExtractTest, TerminatorFirstCreatesNothing) {
    Package p;
    p.title = "Empty";
    Install("EMPTY.EXE", p);
    ExtractPayload(FakeDialog());
    EXPECT_EQ(AllFiles(), std::set<std::string>{"downloads/EMPTY.EXE"});
    EXPECT_FALSE(fs::exists(windows_ / "QUILLFEN"));
}

// Bodies on a whole number of copy chunks: the extra chunk read from the
// following body must not be written.
TEST_F(ExtractTest, StoredBodiesOnChunkBoundaries) {
    auto a = Pattern(2048, 1);
    auto b = Pattern(4096, 2);
    auto c = Pattern(2049, 3);
    auto d = Pattern(4096, 4);
    Package p;
    p.bodies = {{a, false, ""}, {b, false, ""}, {c, false, ".C"}, {d, false, ".D"}};
    Install("CHUNK.EXE", p);
    ExtractPayload(FakeDialog());
    EXPECT_EQ(ReadFile(windows_ / "CHUNK.SCR"), a);
    EXPECT_EQ(ReadFile(DataDir("CHUNK") / "CHUNK.DAT"), b);
    EXPECT_EQ(ReadFile(DataDir("CHUNK") / "FILE0000.C"), c);
    // The last body ends with the file.
    EXPECT_EQ(ReadFile(DataDir("CHUNK") / "FILE0001.D"), d);
}

TEST_F(ExtractTest, BodyCutShortByTheEndOfTheFile) {
    auto a = Pattern(5000, 1);
    Package p;
    p.bodies = {{a, false, ""}};
    auto built = installer_world::BuildPackage(p);
    built.bytes.resize(built.bytes.size() - 1000);
    installer_world::WriteBytes(downloads_ / "CUT.EXE", built.bytes);
    UseModule("CUT.EXE");
    ExtractPayload(FakeDialog());
    EXPECT_EQ(ReadFile(windows_ / "CUT.SCR"), std::vector<uint8_t>(a.begin(), a.begin() + 4000));
}

// An offset beyond what a seek can reach gives an empty file, not a copy of
// whatever the payload's read position was at.
TEST_F(ExtractTest, UnreachableOffsetGivesAnEmptyFile) {
    Package p;
    p.bodies = {{Pattern(100, 1), false, ""}};
    auto built = installer_world::BuildPackage(p);
    pe_builder::PutU32(built.bytes, built.payload_pos + 34, 0x80000010u);
    installer_world::WriteBytes(downloads_ / "FAR.EXE", built.bytes);
    UseModule("FAR.EXE");
    ExtractPayload(FakeDialog());
    ASSERT_TRUE(fs::exists(windows_ / "FAR.SCR"));
    EXPECT_EQ(fs::file_size(windows_ / "FAR.SCR"), 0u);
}

// An extension that would lead out of the data directory, or name a drive,
// is not used: that record is skipped, the others are installed.
TEST_F(ExtractTest, UnsafeExtensionsAreSkipped) {
    auto keep = Pattern(50, 7);
    Package p;
    p.first_file_number = 1;
    p.bodies = {{Pattern(10, 1), false, ""},
                {Pattern(10, 2), false, ""},
                {Pattern(10, 3), false, "\\.."},
                {Pattern(10, 4), false, "/../"},
                {Pattern(10, 5), false, ":X"},
                {Pattern(10, 6), false, ".."},
                {keep, false, ".OK"}};
    Install("SAFE.EXE", p);
    ExtractPayload(FakeDialog());
    EXPECT_EQ(AllFiles(), (std::set<std::string>{"downloads/SAFE.EXE", "windows/SAFE.SCR",
                                                 "windows/QUILLFEN/GLIMLOOM/SAFE/SAFE.DAT",
                                                 "windows/QUILLFEN/GLIMLOOM/SAFE/FILE0005.OK"}));
    EXPECT_EQ(ReadFile(DataDir("SAFE") / "FILE0005.OK"), keep);
}

TEST_F(ExtractTest, UnopenablePayloadWritesNothing) {
    UseModule("MISSING.EXE");
    ExtractPayload(FakeDialog());
    EXPECT_TRUE(AllFiles().empty());
}

TEST_F(ExtractTest, NoWindowsDirectoryWritesNothing) {
    Package p;
    p.bodies = {{Pattern(10, 1), false, ""}, {Pattern(10, 2), false, ""}};
    Install("NOWIN.EXE", p);
    host::Mount("C:\\", (root_ / "drive").string());
    fs::create_directories(root_ / "drive");
    fake::FailGetWindowsDirectory(true);
    ExtractPayload(FakeDialog());
    EXPECT_EQ(AllFiles(), std::set<std::string>{"downloads/NOWIN.EXE"});
}

TEST_F(ExtractTest, FailedCopyBufferEndsWithoutReading) {
    Package p;
    p.bodies = {{Pattern(10, 1), false, ""}, {Text(3000), true, ""}};
    Install("NOMEM.EXE", p);
    fake::FailLocalAlloc(true);
    ExtractPayload(FakeDialog());
    EXPECT_EQ(AllFiles(), std::set<std::string>{"downloads/NOMEM.EXE"});
}

// The payload is closed around a compressed record; when it cannot be opened
// again, nothing after that record is read or written.
TEST_F(ExtractTest, PayloadThatCannotBeReopenedEndsTheExtraction) {
    auto dat = Text(3000);
    Package p;
    p.first_file_number = 32;
    p.bodies = {{Pattern(10, 1), false, ""}, {dat, true, ""}, {Pattern(10, 3), false, ".TMP"}};
    Install("GONE.EXE", p);
    fake::FailModuleOpensAfter(1);
    ExtractPayload(FakeDialog());
    EXPECT_TRUE(fs::exists(windows_ / "GONE.SCR"));
    EXPECT_EQ(ReadFile(DataDir("GONE") / "GONE.DAT"), dat);
    EXPECT_FALSE(fs::exists(DataDir("GONE") / "FILE0032.TMP"));
}

// --- The disk-space check ----------------------------------------------------

class DiskSpaceTest : public World {
  protected:
    // A package installing exactly `bytes` (one stored record).
    void PackageOf(uint32_t bytes) {
        Package p;
        p.bodies = {{Pattern(bytes, 1), false, ""}};
        Install("SPACE.EXE", p);
    }
};

TEST_F(DiskSpaceTest, InstalledTotalCountsUnpackedSizesOfCompressedRecords) {
    Package p;
    p.bodies = {
        {Pattern(1000, 1), false, ""}, {Text(30000), true, ""}, {Pattern(24, 2), false, ""}};
    Install("SUM.EXE", p);
    fake::SetFreeBytes(uint64_t{1} << 30);
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    EXPECT_EQ(g_installed_total, 31024u);
    EXPECT_TRUE(fake::MessageBoxCalls().empty());
}

TEST_F(DiskSpaceTest, FreeEqualToTheNeedPrompts) {
    PackageOf(10 * 1024 + 1023);
    fake::SetFreeBytes(10 * 1024 + 1023);
    Answer({IDOK});
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 1u);
    const auto& m = fake::MessageBoxCalls()[0];
    EXPECT_EQ(m.text, "You will need 10 kilobytes free in your Windows directory to install this "
                      "screen saver.  It appears that you only have 10 kilobytes free on this "
                      "drive.  Would you like to continue the installation?");
    EXPECT_EQ(m.caption, "Disk Full");
    EXPECT_EQ(m.flags, 0x41u);

    Answer({IDCANCEL});
    EXPECT_EQ(CheckDiskSpace(g_instance), 0);
}

TEST_F(DiskSpaceTest, OneKilobyteMoreDoesNotPrompt) {
    PackageOf(10 * 1024);
    fake::SetFreeBytes(11 * 1024);
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    EXPECT_TRUE(fake::MessageBoxCalls().empty());
}

TEST_F(DiskSpaceTest, NeedOfZeroPromptsOnlyOnAFullDisk) {
    PackageOf(1023);
    fake::SetFreeBytes(1024);
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    EXPECT_TRUE(fake::MessageBoxCalls().empty());

    g_installed_total = 0;
    fake::SetFreeBytes(1023);
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 1u);
    EXPECT_NE(fake::MessageBoxCalls()[0].text.find("need 0 kilobytes"), std::string::npos);
    EXPECT_NE(fake::MessageBoxCalls()[0].text.find("only have 0 kilobytes"), std::string::npos);
}

TEST_F(DiskSpaceTest, UnknownSpaceOrUnopenablePayloadGoesOnSilently) {
    PackageOf(5000);
    fake::FailDiskFreeSpace(true);
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    EXPECT_EQ(g_installed_total, 5000u);

    g_installed_total = 0;
    fake::FailDiskFreeSpace(false);
    fake::SetFreeBytes(0);
    UseModule("NOTHERE.EXE");
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    EXPECT_EQ(g_installed_total, 0u);

    PackageOf(5000);
    fake::FailGetWindowsDirectory(true);
    EXPECT_EQ(CheckDiskSpace(g_instance), 1);
    EXPECT_TRUE(fake::MessageBoxCalls().empty());
}

// --- The progress box and the activation -------------------------------------

class ProgressTest : public World {
  protected:
    INT_PTR Run() {
        return DialogBoxParamA(g_instance, MAKEINTRESOURCEA(103), nullptr, ProgressDlgProc, 0);
    }
    std::string SystemIni() {
        auto bytes = ReadFile(windows_ / "system.ini");
        return std::string(bytes.begin(), bytes.end());
    }
};

TEST_F(ProgressTest, StartsItselfExtractsActivatesAndCloses) {
    auto scr = Pattern(1500, 1);
    Package p;
    p.bodies = {{scr, false, ""}, {Text(3000), true, ""}};
    Install("AuroraBorealis.exe", p);
    std::strcpy(g_saver_title, "Aurora Borealis");
    std::strcpy(g_scr_file_name, "AURORABOREALIS.SCR");
    fake::SetScreenSize(800, 600);
    fake::SetDialogSize(103, 281, 122);

    EXPECT_EQ(Run(), IDOK);
    const fake::DialogRun& run = fake::DialogRuns().back();
    EXPECT_FALSE(run.abandoned);
    EXPECT_EQ(run.window_text, "Aurora Borealis Screen Saver Installation");
    EXPECT_EQ(run.item_texts.at(1001), "Aurora Borealis Screen Saver");
    EXPECT_EQ(run.rect.left, 400 - 140);
    EXPECT_EQ(run.rect.top, 300 - 61);
    ASSERT_EQ(run.messages.size(), 2u);
    EXPECT_EQ(run.messages[0].answer, TRUE);
    EXPECT_EQ(run.messages[1].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(run.messages[1].wparam, static_cast<WPARAM>(IDOK));
    EXPECT_NE(run.messages[1].lparam, 0); // the OK button's handle
    EXPECT_EQ(run.messages[1].answer, TRUE);

    EXPECT_EQ(ReadFile(windows_ / "AURORABOREALIS.SCR"), scr);
    EXPECT_TRUE(fs::exists(DataDir("AuroraBorealis") / "AuroraBorealis.DAT"));
    // The 8.3 form of the installed saver's path.
    EXPECT_NE(SystemIni().find("[boot]"), std::string::npos);
    EXPECT_NE(SystemIni().find("SCRNSAVE.EXE=C:\\WINDOWS\\AURORA~1.SCR"), std::string::npos);
    EXPECT_TRUE(fake::ScreenSaverActive());
}

TEST_F(ProgressTest, FullLengthTitleFitsTheLabel) {
    Package p;
    p.bodies = {{Pattern(10, 1), false, ""}};
    Install("T.EXE", p);
    std::string title(32, 'W');
    std::strcpy(g_saver_title, title.c_str());
    std::strcpy(g_scr_file_name, "T.SCR");
    Run();
    EXPECT_EQ(fake::DialogRuns().back().item_texts.at(1001), title + " Screen Saver");
}

TEST_F(ProgressTest, EscapeInstallsAsOkDoes) {
    auto scr = Pattern(10, 1);
    Package p;
    p.bodies = {{scr, false, ""}};
    Install("ESC.EXE", p);
    std::strcpy(g_scr_file_name, "ESC.SCR");
    EXPECT_EQ(ProgressDlgProc(FakeDialog(), WM_COMMAND, IDCANCEL, 0), TRUE);
    EXPECT_EQ(ReadFile(windows_ / "ESC.SCR"), scr);
    EXPECT_TRUE(fake::ScreenSaverActive());
}

TEST_F(ProgressTest, MissingSaverLeavesSystemIniUntouched) {
    installer_world::WriteBytes(windows_ / "system.ini",
                                {'[', 'b', 'o', 'o', 't', ']', '\r', '\n'});
    auto before = ReadFile(windows_ / "system.ini");
    std::strcpy(g_scr_file_name, "NOSUCH.SCR");
    ActivateScreenSaver();
    EXPECT_EQ(ReadFile(windows_ / "system.ini"), before);
}

TEST_F(ProgressTest, NoWindowsDirectorySkipsTheActivation) {
    std::strcpy(g_scr_file_name, "X.SCR");
    installer_world::WriteBytes(windows_ / "X.SCR", {1});
    fake::FailGetWindowsDirectory(true);
    ActivateScreenSaver();
    EXPECT_FALSE(fs::exists(windows_ / "system.ini"));
    EXPECT_FALSE(fake::ScreenSaverActive());
}

// --- Whole runs ----------------------------------------------------------------

class SequenceTest : public World {
  protected:
    void SetUp() override {
        World::SetUp();
        fake::SetDialogUser(104, fake::PressOk);
        fake::SetFreeBytes(uint64_t{1} << 32);
    }
    Package Stars() {
        Package p;
        p.title = "Stars   ";
        p.first_file_number = 32;
        p.bodies = {
            {Pattern(1234, 1), false, ""}, {Text(10000), true, ""}, {Pattern(5, 3), false, ".TMP"}};
        return p;
    }
};

TEST_F(SequenceTest, ConfirmedRunInstallsEverythingInOrder) {
    auto package = Stars();
    Install("STARS.EXE", package);
    EXPECT_EQ(RunInstallationSequence(nullptr), -1);

    ASSERT_EQ(fake::MessageBoxCalls().size(), 2u);
    const auto& confirm = fake::MessageBoxCalls()[0];
    EXPECT_EQ(confirm.caption, "Stars Screen Saver Installation");
    EXPECT_EQ(confirm.text,
              "This program will install STARS.SCR (Stars Screen Saver) to C:\\WINDOWS "
              "and will make it your default Screen Saver.  This installation will "
              "take 11,239 bytes.");
    EXPECT_EQ(confirm.flags, 0x41u);
    const auto& done = fake::MessageBoxCalls()[1];
    EXPECT_EQ(done.caption, "Stars Screen Saver Installation");
    EXPECT_EQ(done.text, "Installation Complete!\r\n\r\nData files have also been installed in "
                         "your C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\STARS directory.");
    EXPECT_EQ(done.flags, 0x30u);

    EXPECT_EQ(fake::Events(),
              (std::vector<std::string>{
                  "message box Stars Screen Saver Installation", "cursor 32514", "dialog 103 begin",
                  "dialog 103 end", "cursor 32512", "message box Stars Screen Saver Installation",
                  "dialog 104 begin", "dialog 104 end"}));
    ASSERT_EQ(fake::DialogRuns().size(), 2u);
    EXPECT_EQ(fake::DialogRuns()[0].instance, g_instance);
    EXPECT_EQ(fake::DialogRuns()[0].owner, nullptr);
    EXPECT_EQ(fake::DialogRuns()[0].window_text, "Stars Screen Saver Installation");
    EXPECT_FALSE(fake::DialogRuns()[1].abandoned);

    EXPECT_EQ(ReadFile(windows_ / "STARS.SCR"), package.bodies[0].data);
    EXPECT_EQ(ReadFile(DataDir("STARS") / "STARS.DAT"), package.bodies[1].data);
    EXPECT_EQ(ReadFile(DataDir("STARS") / "FILE0032.TMP"), package.bodies[2].data);
    EXPECT_TRUE(fake::ScreenSaverActive());
    EXPECT_EQ(fake::StartedPrograms(), std::vector<std::string>{"STARS.SCR"});
    EXPECT_STREQ(g_scr_file_name, "STARS.SCR");
}

TEST_F(SequenceTest, CancelAtConfirmationWritesNothing) {
    Install("STARS.EXE", Stars());
    Answer({IDCANCEL});
    EXPECT_EQ(RunInstallationSequence(nullptr), -1);
    EXPECT_EQ(fake::MessageBoxCalls().size(), 1u);
    EXPECT_TRUE(fake::DialogRuns().empty());
    EXPECT_EQ(AllFiles(), std::set<std::string>{"downloads/STARS.EXE"});
    EXPECT_TRUE(fake::StartedPrograms().empty());
}

TEST_F(SequenceTest, ExistingSaverKeptOnNo) {
    Install("STARS.EXE", Stars());
    installer_world::WriteBytes(windows_ / "STARS.SCR", {9, 9, 9});
    Answer({IDNO});
    EXPECT_EQ(RunInstallationSequence(nullptr), -1);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 2u);
    EXPECT_EQ(fake::MessageBoxCalls()[1].caption, "Rename Installer");
    EXPECT_EQ(ReadFile(windows_ / "STARS.SCR"), (std::vector<uint8_t>{9, 9, 9}));
    EXPECT_FALSE(fs::exists(windows_ / "QUILLFEN"));
    EXPECT_TRUE(fake::StartedPrograms().empty());
}

TEST_F(SequenceTest, ExistingSaverReplacedOnYes) {
    auto package = Stars();
    Install("STARS.EXE", package);
    installer_world::WriteBytes(windows_ / "STARS.SCR", {9, 9, 9});
    Answer({IDYES, IDOK});
    RunInstallationSequence(nullptr);
    EXPECT_EQ(fake::MessageBoxCalls().size(), 3u);
    EXPECT_EQ(ReadFile(windows_ / "STARS.SCR"), package.bodies[0].data);
}

TEST_F(SequenceTest, DiskFullCancelStops) {
    Install("STARS.EXE", Stars());
    fake::SetFreeBytes(0);
    Answer({IDCANCEL});
    EXPECT_EQ(RunInstallationSequence(nullptr), -1);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 1u);
    EXPECT_EQ(fake::MessageBoxCalls()[0].caption, "Disk Full");
    EXPECT_TRUE(fake::DialogRuns().empty());
}

TEST_F(SequenceTest, TwoDotsInstallUnderTheFirstDotName) {
    Install("A.B.EXE", Stars());
    RunInstallationSequence(nullptr);
    EXPECT_NE(fake::MessageBoxCalls()[0].text.find("install A.SCR (Stars"), std::string::npos);
    EXPECT_NE(fake::MessageBoxCalls()[1].text.find("\\GLIMLOOM\\A.B directory."),
              std::string::npos);
    EXPECT_TRUE(fs::exists(windows_ / "A.SCR"));
    EXPECT_TRUE(fs::exists(DataDir("A.B") / "A.B.DAT"));
    EXPECT_EQ(fake::StartedPrograms(), std::vector<std::string>{"A.SCR"});
}

TEST_F(SequenceTest, BlankAndFullLengthTitles) {
    auto package = Stars();
    package.title = std::string(32, ' ');
    Install("BLANK.EXE", package);
    Answer({IDCANCEL});
    RunInstallationSequence(nullptr);
    EXPECT_EQ(fake::MessageBoxCalls()[0].caption, " Screen Saver Installation");

    package.title = std::string(32, 'Q');
    Install("FULL.EXE", package);
    Answer({IDCANCEL});
    std::memset(g_saver_title, 0, sizeof g_saver_title);
    RunInstallationSequence(nullptr);
    EXPECT_EQ(fake::MessageBoxCalls()[1].caption,
              std::string(32, 'Q') + " Screen Saver Installation");
}

// Names near the path limit: what cannot be named is not written, and the
// texts are cut to their buffers rather than overrun.
TEST_F(SequenceTest, VeryLongNamesAreCutOrRefused) {
    std::string name(200, 'n');
    auto package = Stars();
    Install(name + ".EXE", package);
    RunInstallationSequence(nullptr);
    EXPECT_EQ(ReadFile(windows_ / (std::string(200, 'N') + ".SCR")), package.bodies[0].data);
    // The data directory's name fits, its .DAT file's does not.
    EXPECT_TRUE(fs::is_directory(DataDir(name)));
    EXPECT_TRUE(fs::exists(DataDir(name) / "FILE0032.TMP"));
    EXPECT_EQ(std::distance(fs::directory_iterator(DataDir(name)), fs::directory_iterator()), 1);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 2u);
    EXPECT_NE(fake::MessageBoxCalls()[1].text.find(std::string(200, 'N') + " directory."),
              std::string::npos);

    // A Windows directory so long that nothing fits below it.
    std::string long_windows = "C:\\" + std::string(240, 'W');
    host::SetWindowsDirectory(windows_.string(), long_windows);
    RunInstallationSequence(nullptr);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 4u);
    EXPECT_EQ(fake::MessageBoxCalls()[2].text.size(),
              static_cast<size_t>(SHELL_MESSAGE_CAPACITY - 1));
    EXPECT_EQ(fake::MessageBoxCalls()[2].text.rfind("This program will install ", 0), 0u);
}

TEST_F(SequenceTest, WithoutAPayloadTheTitleIsEmptyAndTheTotalZero) {
    installer_world::WriteBytes(downloads_ / "JUNK.EXE", {'M', 'Z'});
    UseModule("JUNK.EXE");
    Answer({IDCANCEL});
    RunInstallationSequence(nullptr);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 1u);
    EXPECT_EQ(fake::MessageBoxCalls()[0].caption, " Screen Saver Installation");
    EXPECT_NE(fake::MessageBoxCalls()[0].text.find("will take 0 bytes."), std::string::npos);
}

} // namespace
