// What only Windows has: names that reach a device in every folder, ":"
// that selects a stream of another file, names compared without regard to
// case, trailing dots and blanks that Windows drops, and file names that are
// not even valid UTF-16. The Windows build's half of the system layer's
// tests (tests/unit/hostos_test.cpp is the half for every system).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hostos/os.h"

namespace {

class WindowsNames : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(hostos::MakeTempDirectory(hostos::TempDirectory() + "/glim-names.", &dir_));
    }
    void TearDown() override { EXPECT_TRUE(hostos::RemoveTree(dir_)); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        EXPECT_TRUE(hostos::ListDirectory(dir_, &names));
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
};

TEST_F(WindowsNames, DeviceNamesAreDevicesInEveryFolder) {
    for (std::string name :
         {"CON", "con", "NUL.txt", "PRN", "AUX .log", "COM1", "com9.lzs", "LPT1", "LPT9.EXE",
          "COM\xc2\xb9", "CONIN$", "CONOUT$", "CON/inside", "\\\\.\\PhysicalDrive0"}) {
        std::string path = name.compare(0, 2, "\\\\") == 0 ? name : Path(name);
        SCOPED_TRACE(path);
        EXPECT_NE(hostos::NameProblem(path).find("device"), std::string::npos);
        EXPECT_EQ(hostos::GetStatus(path, false).kind, hostos::Kind::Other);
        EXPECT_LT(hostos::CreateNew(path), 0);
        EXPECT_EQ(hostos::ErrorText(hostos::LastError()), hostos::NameProblem(path));
        EXPECT_LT(hostos::OpenRead(path), 0);
        EXPECT_FALSE(hostos::MakeDirectory(path));
    }
    for (std::string name : {"CONSOLE", "COM10", "NULL.TXT", "xCON", "COM", "LPT", "AUXX"})
        EXPECT_EQ(hostos::NameProblem(Path(name)), "") << name;
    // Nothing of those names was made, and nothing was renamed onto one.
    EXPECT_TRUE(Names().empty());
    std::string file = Path("data.bin");
    int fd = hostos::CreateNew(file);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(hostos::Close(fd));
    EXPECT_FALSE(hostos::RenameNoReplace(file, Path("PRN.txt")));
    EXPECT_FALSE(hostos::RenameReplacing(file, Path("nul")));
    EXPECT_EQ(Names(), std::vector<std::string>{"data.bin"});
}

TEST_F(WindowsNames, AColonPastTheDriveNamesAStreamNotAFile) {
    for (const std::string& path : {Path("file.txt:stream"), Path("x:y/z"),
                                    std::string("C:\\dir\\name:$DATA"), Path("a:b:$DATA")}) {
        SCOPED_TRACE(path);
        EXPECT_NE(hostos::NameProblem(path).find("stream"), std::string::npos);
        EXPECT_LT(hostos::CreateNew(path), 0);
        EXPECT_FALSE(hostos::MakeDirectory(path));
    }
    // A drive, also one without a folder after it, is no stream.
    for (const std::string& path : {std::string("C:\\dir\\name"), std::string("C:name"),
                                    std::string("\\\\?\\C:\\dir"), std::string("c:/dir/name")})
        EXPECT_EQ(hostos::NameProblem(path), "") << path;
    // Writing "file.txt:stream" would have made file.txt.
    EXPECT_TRUE(Names().empty());
}

TEST_F(WindowsNames, NamesCompareWithoutRegardToCase) {
    ASSERT_TRUE(hostos::MakeDirectory(Path("Folder")));
    int fd = hostos::CreateNew(Path("FOLDER/File.TXT"));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(hostos::Close(fd));
    EXPECT_EQ(hostos::GetStatus(Path("folder/file.txt"), false).kind, hostos::Kind::Regular);
    EXPECT_LT(hostos::CreateNew(Path("folder/FILE.txt")), 0);
    EXPECT_TRUE(hostos::IsAlreadyExists(hostos::LastError()));
    EXPECT_TRUE(hostos::IsWithin("C:\\Games\\Stars\\STARS.SCR", "c:\\games"));
    EXPECT_TRUE(hostos::IsWithin("C:/Games/Stars", "C:\\GAMES\\stars\\"));
    EXPECT_FALSE(hostos::IsWithin("C:\\Games2", "C:\\Games"));
}

// Windows drops them from every name a program gives; with the "\\?\" form
// used below this layer they would make names other programs cannot open.
TEST_F(WindowsNames, TrailingDotsAndBlanksAreDroppedAsWindowsDrops) {
    int fd = hostos::CreateNew(Path("name. ."));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(hostos::Close(fd));
    EXPECT_EQ(Names(), std::vector<std::string>{"name"});
    EXPECT_EQ(hostos::GetStatus(Path("name"), false).kind, hostos::Kind::Regular);
}

TEST_F(WindowsNames, SystemErrorTextsAreOneClauseEach) {
    EXPECT_LT(hostos::OpenRead(Path("missing")), 0);
    std::string text = hostos::ErrorText(hostos::LastError());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_NE(hostos::ErrorText(hostos::NotRegularError()).find("regular"), std::string::npos);
}

// cmd.exe leaves "*.EXE" to the program: the matches of a pattern in the
// last component, sorted by name without regard to case, with the folder
// part kept as it was written.
TEST_F(WindowsNames, PatternsExpandToTheNamesTheyMatch) {
    for (const char* name : {"b.exe", "A.EXE", "C.EXE.txt", "ab.exe"}) {
        int fd = hostos::CreateNew(Path(name));
        ASSERT_GE(fd, 0) << name;
        EXPECT_TRUE(hostos::Close(fd));
    }
    ASSERT_TRUE(hostos::MakeDirectory(Path("sub.exe")));
    std::vector<std::string> found;
    ASSERT_TRUE(hostos::ExpandPattern(Path("*.EXE"), &found));
    EXPECT_EQ(found, (std::vector<std::string>{Path("A.EXE"), Path("ab.exe"), Path("b.exe"),
                                               Path("sub.exe")}));
    ASSERT_TRUE(hostos::ExpandPattern(Path("?.exe"), &found));
    EXPECT_EQ(found, (std::vector<std::string>{Path("A.EXE"), Path("b.exe")}));
    std::string backslashed = dir_ + "\\a?.EXE";
    ASSERT_TRUE(hostos::ExpandPattern(backslashed, &found));
    EXPECT_EQ(found, (std::vector<std::string>{dir_ + "\\ab.exe"}));
    // No match, and a pattern in a folder's name: nothing, as cmd.exe finds.
    ASSERT_TRUE(hostos::ExpandPattern(Path("*.ZIP"), &found));
    EXPECT_TRUE(found.empty());
    ASSERT_TRUE(hostos::ExpandPattern(Path("s*/*"), &found));
    EXPECT_TRUE(found.empty());
}

} // namespace
