// The shell's texts, checks and dialogs, run through the host back end.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "base/text.h"
#include "package/text.h"
#include "payload/self.h"
#include "platform/host/host_world.h"
#include "shell/shell.h"
#include "testkit/fakes/fake_control.h"
#include "tests/unit/installer_world.h"

namespace {

using installer_world::World;
namespace fs = std::filesystem;

std::string Thousands(int32_t v) {
    char out[SHELL_THOUSANDS_MIN_CAPACITY];
    return FormatThousands(v, out);
}

TEST(FormatThousandsTest, GroupsDigitsInThrees) {
    EXPECT_EQ(Thousands(0), "0");
    EXPECT_EQ(Thousands(7), "7");
    EXPECT_EQ(Thousands(999), "999");
    EXPECT_EQ(Thousands(1000), "1,000");
    EXPECT_EQ(Thousands(100000), "100,000");
    EXPECT_EQ(Thousands(1234567), "1,234,567");
    EXPECT_EQ(Thousands(2147483647), "2,147,483,647");
}

TEST(FormatThousandsTest, NegativeValuesKeepTheSignOutsideTheGroups) {
    EXPECT_EQ(Thousands(-123), "-123");
    EXPECT_EQ(Thousands(-1234), "-1,234");
    // The longest text of all fits the documented minimum.
    EXPECT_EQ(Thousands(INT32_MIN), "-2,147,483,648");
}

// The tool groups the numbers it shows (sizes past 4 GiB too) as the
// installer does.
TEST(FormatThousandsTest, TheToolGroupsAsTheInstallerDoes) {
    for (int32_t v : {0, 9, 10, 999, 1000, 9999, 10000, 999999, 1000000, 2147483647})
        EXPECT_EQ(glimpack::WithThousands(uint64_t(v)), Thousands(v));
    EXPECT_EQ(glimpack::WithThousands(UINT64_MAX), "18,446,744,073,709,551,615");
    char out[8];
    EXPECT_EQ(std::string(out, WriteGroupedDigits("4321", 4, out)), "1,234");
}

TEST(TextHelpersTest, AppendCutsWhereTheBufferIsFull) {
    char buf[8] = "abc";
    EXPECT_EQ(AppendText(buf, sizeof buf, "de"), 1);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(AppendText(buf, sizeof buf, "fghij"), 0);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(AppendText(buf, sizeof buf, "x"), 0);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(CopyText(buf, sizeof buf, "0123456789"), 0);
    EXPECT_STREQ(buf, "0123456");
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(AppendText(unterminated, sizeof unterminated, "e"), 0);
    EXPECT_STREQ(unterminated, "abc");
}

std::string Trimmed(std::string s) {
    char buf[64] = {};
    std::memcpy(buf, s.data(), s.size());
    TrimSaverTitle(buf);
    return buf;
}

TEST(SequenceTextTest, TitleLosesTrailingBlanksOnly) {
    EXPECT_EQ(Trimmed("Stars   "), "Stars");
    EXPECT_EQ(Trimmed("Night Sky"), "Night Sky");
    EXPECT_EQ(Trimmed("    "), "");
    EXPECT_EQ(Trimmed(""), "");
    EXPECT_EQ(Trimmed(" Lead"), " Lead");
    EXPECT_EQ(Trimmed("Tab\t"), "Tab\t");
}

TEST(SequenceTextTest, Caption) {
    char out[SHELL_CAPTION_CAPACITY];
    EXPECT_EQ(BuildCaption("Stars", out, sizeof out), 1);
    EXPECT_STREQ(out, "Stars Screen Saver Installation");
    BuildCaption("", out, sizeof out);
    EXPECT_STREQ(out, " Screen Saver Installation");
    std::string title(32, 'T');
    BuildCaption(title.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), title + " Screen Saver Installation");
    // A title far longer than any payload holds is cut, not overrun.
    std::string huge(400, 'H');
    EXPECT_EQ(BuildCaption(huge.c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::strlen(out), sizeof out - 1);
}

TEST(SequenceTextTest, ConfirmationTextOfTheExample) {
    char out[SHELL_MESSAGE_CAPACITY];
    EXPECT_EQ(BuildConfirmationText("STARS.SCR", "Stars", "C:\\Windows", 1234567, out, sizeof out),
              1);
    EXPECT_STREQ(out, "This program will install STARS.SCR (Stars Screen Saver) to C:\\WINDOWS and "
                      "will make it your default Screen Saver.  This installation will take "
                      "1,234,567 bytes.");
    BuildConfirmationText("A.SCR", "", "C:\\WIN", 0, out, sizeof out);
    EXPECT_STREQ(out, "This program will install A.SCR ( Screen Saver) to C:\\WIN and will make it "
                      "your default Screen Saver.  This installation will take 0 bytes.");
}

TEST(SequenceTextTest, ConfirmationTextIsCutToItsBuffer) {
    char out[SHELL_MESSAGE_CAPACITY + 16];
    std::memset(out, 'Z', sizeof out);
    std::string scr(255, 'S');
    std::string dir = "C:\\" + std::string(250, 'd');
    EXPECT_EQ(
        BuildConfirmationText(scr.c_str(), "Stars", dir.c_str(), 5, out, SHELL_MESSAGE_CAPACITY),
        0);
    EXPECT_EQ(std::strlen(out), static_cast<size_t>(SHELL_MESSAGE_CAPACITY - 1));
    EXPECT_EQ(out[SHELL_MESSAGE_CAPACITY], 'Z');
}

TEST(SequenceTextTest, CompletionTextNamesTheDataDirectory) {
    char out[SHELL_MESSAGE_CAPACITY];
    EXPECT_EQ(BuildCompletionText("C:\\WINDOWS", "C:\\DOWNLOADS\\Stars.exe", out, sizeof out), 1);
    EXPECT_STREQ(out, "Installation Complete!\r\n\r\nData files have also been installed in your "
                      "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\STARS directory.");
    // Several dots: the data directory keeps all but the last part.
    BuildCompletionText("C:\\WINDOWS", "C:\\DL\\a.b.exe", out, sizeof out);
    EXPECT_NE(std::string(out).find("C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\A.B directory."),
              std::string::npos);
    // A Windows directory with its own trailing backslash gets no second one.
    BuildCompletionText("C:\\", "C:\\DL\\stars.exe", out, sizeof out);
    EXPECT_NE(std::string(out).find(" your C:\\QUILLFEN\\GLIMLOOM\\STARS directory."),
              std::string::npos);
    // No dot at all: the whole last component names it.
    BuildCompletionText("C:\\WINDOWS", "C:\\DL\\SETUP", out, sizeof out);
    EXPECT_NE(std::string(out).find("\\GLIMLOOM\\SETUP directory."), std::string::npos);
}

// --- Free space ------------------------------------------------------------

class FreeSpaceTest : public World {};

TEST_F(FreeSpaceTest, ExtendedQueryInWholeKilobytes) {
    fake::SetFreeBytes(5u * 1024 * 1024 + 1023);
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 5u * 1024);
    EXPECT_EQ(fake::OpenLibraryCount(), 0);
    // Beyond 4 TiB only the low 32 bits of the kilobyte count remain.
    fake::SetFreeBytes((uint64_t{1} << 42) + 3 * 1024);
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 3u);
}

TEST_F(FreeSpaceTest, FallsBackToTheOldQuery) {
    fake::SetFreeBytes(10u * 1024 * 1024);
    fake::HideDiskFreeSpaceEx(true);
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 10u * 1024);
    EXPECT_EQ(fake::OpenLibraryCount(), 0);
    fake::HideDiskFreeSpaceEx(false);
    fake::FailLoadLibrary(true);
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 10u * 1024);
    EXPECT_EQ(fake::OpenLibraryCount(), 0);
}

TEST_F(FreeSpaceTest, UnknownFreeSpace) {
    fake::FailDiskFreeSpace(true);
    EXPECT_EQ(GetFreeKilobytes("C:\\WINDOWS"), 0xFFFFFFFFu);
    EXPECT_EQ(fake::OpenLibraryCount(), 0);
    // A long path is taken by its first 32 characters only; no overrun.
    std::string longer = "C:\\" + std::string(300, 'x');
    EXPECT_EQ(GetFreeKilobytes(longer.c_str()), 0xFFFFFFFFu);
}

// --- The existing-saver check ---------------------------------------------

class ExistingSaverTest : public World {
  protected:
    void Existing(const std::string& name) { installer_world::WriteBytes(windows_ / name, {1, 2}); }
};

TEST_F(ExistingSaverTest, NoExistingSaverGoesOnSilently) {
    UseModule("aurora.exe");
    EXPECT_EQ(CheckExistingSaver(g_instance), 1);
    EXPECT_TRUE(fake::MessageBoxCalls().empty());
}

TEST_F(ExistingSaverTest, YesReplaces) {
    UseModule("aurora.exe");
    Existing("AURORA.SCR");
    Answer({IDYES});
    EXPECT_EQ(CheckExistingSaver(g_instance), 1);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 1u);
    const auto& q = fake::MessageBoxCalls()[0];
    EXPECT_EQ(q.text, "There is already a screen saver by the same name (aurora.SCR) installed on "
                      "your system.  Would you like to replace it?");
    EXPECT_EQ(q.caption, "Replace Screen Saver?");
    EXPECT_EQ(q.flags, 0x24u);
    // Only No stops.
    Answer({IDCANCEL});
    EXPECT_EQ(CheckExistingSaver(g_instance), 1);
}

TEST_F(ExistingSaverTest, NoStopsWithRenameAdvice) {
    UseModule("aurora.exe");
    Existing("AURORA.SCR");
    Answer({IDNO});
    EXPECT_EQ(CheckExistingSaver(g_instance), 0);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 2u);
    const auto& advice = fake::MessageBoxCalls()[1];
    EXPECT_EQ(advice.text, "If you would like to change the name of the .SCR file that would be "
                           "installed on your system, simply change the installers file name "
                           "(aurora.EXE) and run it again.");
    EXPECT_EQ(advice.caption, "Rename Installer");
    EXPECT_EQ(advice.flags, 0x40u);

    // The advice says ".EXE" whatever the installer's real extension.
    UseModule("stars.bin");
    Existing("STARS.SCR");
    Answer({IDNO});
    EXPECT_EQ(CheckExistingSaver(g_instance), 0);
    EXPECT_NE(fake::MessageBoxCalls().back().text.find("(stars.EXE)"), std::string::npos);
}

TEST_F(ExistingSaverTest, TwoDotsTestTheLastDotName) {
    UseModule("MY.SAVER.EXE");
    Existing("MY.SCR");
    EXPECT_EQ(CheckExistingSaver(g_instance), 1);
    EXPECT_TRUE(fake::MessageBoxCalls().empty());

    Existing("MY.SAVER.SCR");
    Answer({IDNO});
    EXPECT_EQ(CheckExistingSaver(g_instance), 0);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 2u);
    EXPECT_NE(fake::MessageBoxCalls()[0].text.find("(MY.SAVER.SCR)"), std::string::npos);
    EXPECT_NE(fake::MessageBoxCalls()[1].text.find("(MY.SAVER.EXE)"), std::string::npos);
}

TEST_F(ExistingSaverTest, WindowsDirectoryWithTrailingBackslash) {
    host::SetWindowsDirectory(windows_.string(), "C:\\");
    UseModule("aurora.exe");
    Existing("AURORA.SCR");
    Answer({IDYES});
    EXPECT_EQ(CheckExistingSaver(g_instance), 1);
    EXPECT_EQ(fake::MessageBoxCalls().size(), 1u);
}

TEST_F(ExistingSaverTest, FailingQueriesGoOnSilently) {
    UseModule("aurora.exe");
    Existing("AURORA.SCR");
    fake::FailGetModuleFileName(true);
    EXPECT_EQ(CheckExistingSaver(g_instance), 1);
    fake::FailGetModuleFileName(false);
    fake::FailGetWindowsDirectory(true);
    EXPECT_EQ(CheckExistingSaver(g_instance), 1);
    EXPECT_TRUE(fake::MessageBoxCalls().empty());
}

// --- The dialogs -------------------------------------------------------------

class VendorDialogTest : public World {
  protected:
    INT_PTR Run() {
        return DialogBoxParamA(g_instance, MAKEINTRESOURCEA(104), nullptr, VendorDlgProc, 0);
    }
};

TEST_F(VendorDialogTest, CentredOnTheScreen) {
    fake::SetScreenSize(800, 600);
    fake::SetDialogSize(104, 301, 251);
    fake::SetDialogUser(104, fake::PressOk);
    EXPECT_EQ(Run(), IDOK);
    const fake::DialogRun& run = fake::DialogRuns().back();
    EXPECT_EQ(run.rect.left, 250); // 400 - 150
    EXPECT_EQ(run.rect.top, 175);  // 300 - 125
    EXPECT_EQ(run.rect.right - run.rect.left, 301);
    EXPECT_EQ(run.rect.bottom - run.rect.top, 251);
    EXPECT_EQ(run.messages.front().answer, TRUE);

    fake::SetScreenSize(640, 480);
    Run();
    EXPECT_EQ(fake::DialogRuns().back().rect.left, 170); // 320 - 150
    EXPECT_EQ(fake::DialogRuns().back().rect.top, 115);  // 240 - 125
}

TEST_F(VendorDialogTest, EscapeAndCloseBoxEndItAsOkDoes) {
    fake::SetDialogUser(104, fake::PressEscape);
    EXPECT_EQ(Run(), IDCANCEL);
    EXPECT_FALSE(fake::DialogRuns().back().abandoned);
    fake::SetDialogUser(104, fake::PressCloseBox);
    EXPECT_EQ(Run(), IDCANCEL);
    EXPECT_TRUE(fake::DialogRuns().back().ended);
}

TEST_F(VendorDialogTest, NotificationCodeInTheHighWordIsIgnored) {
    int presses = 0;
    fake::SetDialogUser(104, [&](HWND dialog) {
        if (presses++ == 0)
            PostMessageA(dialog, WM_COMMAND, (1u << 16) | IDOK, 0);
        else
            fake::PressOk(dialog);
    });
    EXPECT_EQ(Run(), IDOK);
    const fake::DialogRun& run = fake::DialogRuns().back();
    ASSERT_EQ(run.messages.size(), 3u);
    EXPECT_EQ(run.messages[1].answer, FALSE);
    EXPECT_EQ(run.messages[2].answer, TRUE);
}

TEST(DialogProcedureTest, UnhandledMessagesAnswerFalse) {
    HWND none = nullptr;
    EXPECT_EQ(VendorDlgProc(none, WM_COMMAND, 0, 0), FALSE);
    EXPECT_EQ(VendorDlgProc(none, WM_COMMAND, 3, 0), FALSE);
    EXPECT_EQ(VendorDlgProc(none, WM_CLOSE, 0, 0), FALSE);
    // The progress box does its work only for the whole wParam 1 or 2.
    EXPECT_EQ(ProgressDlgProc(none, WM_COMMAND, 0, 0), FALSE);
    EXPECT_EQ(ProgressDlgProc(none, WM_COMMAND, 3, 0), FALSE);
    EXPECT_EQ(ProgressDlgProc(none, WM_COMMAND, (1u << 16) | IDOK, 0), FALSE);
    EXPECT_EQ(ProgressDlgProc(none, WM_CLOSE, 0, 0), FALSE);
    EXPECT_EQ(ProgressDlgProc(none, WM_DESTROY, 0, 0), FALSE);
}

} // namespace
