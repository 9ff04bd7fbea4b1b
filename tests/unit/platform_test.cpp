// The host back end: the Windows path space on host folders, the file and
// directory calls, the module name, short names, the profile writer, free
// space, the system library and the message-box script.
#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/host/host_world.h"
#include "platform/platform.h"
#include "testkit/fakes/fake_control.h"

namespace fs = std::filesystem;

namespace {

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        root_ = fs::temp_directory_path() /
                ("glim_platform_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(root_);
        fs::create_directories(root_ / "win");
        fs::create_directories(root_ / "outside");
        win_ = (root_ / "win").string();
        fake::Reset();
        host::SetWindowsDirectory(win_);
    }
    void TearDown() override {
        fake::Reset();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    static void WriteFile(const fs::path& path, const std::string& data) {
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out << data;
    }
    static std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path root_;
    std::string win_;
};

// --- path mapping -----------------------------------------------------------

TEST_F(PlatformTest, ComponentsResolveIgnoringCase) {
    WriteFile(root_ / "win" / "System" / "Stars.scr", "x");
    EXPECT_EQ(host::ToHostPath("c:/windows/SYSTEM\\stars.SCR"), win_ + "/System/Stars.scr");
    // A missing name keeps the spelling given, ready to be created.
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\System\\New.txt"), win_ + "/System/New.txt");
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\Missing\\New.txt"), win_ + "/Missing/New.txt");
    // The exact name wins over one that differs only in case.
    WriteFile(root_ / "win" / "a", "lower");
    WriteFile(root_ / "win" / "A", "upper");
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\a"), win_ + "/a");
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\A"), win_ + "/A");
    // Doubled separators, "." and trailing dots and blanks are ignored as on Windows.
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\\\.\\system\\STARS.SCR. "),
              win_ + "/System/Stars.scr");
}

TEST_F(PlatformTest, LongestMountPrefixWins) {
    fs::create_directories(root_ / "drive");
    host::Mount("C:\\", (root_ / "drive").string());
    EXPECT_EQ(host::ToHostPath("c:\\Windows\\x"), win_ + "/x");
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS"), win_);
    EXPECT_EQ(host::ToHostPath("C:\\other\\x"), (root_ / "drive" / "other" / "x").string());
    // A prefix matches whole components only.
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWSX\\x"), (root_ / "drive" / "WINDOWSX" / "x").string());
}

TEST_F(PlatformTest, PathsOutsideEveryMountAreRefused) {
    const char* refused[] = {
        "D:\\x",                     // unmounted drive
        "C:\\WINDOWSX\\x",           // not under C:\WINDOWS
        "relative\\x",               // no drive
        "C:\\WINDOWS\\..\\x",        // climbs above the mount root
        "C:\\WINDOWS\\a\\..\\..\\x", // the same, further down
        "C:\\WINDOWS\\a:b",          // alternate stream
        "C:\\WINDOWS\\a*b",          // wildcard
        "C:\\WINDOWS\\NUL.TXT",      // device
        "C:\\WINDOWS\\...",          // no name left
    };
    for (const char* path : refused) {
        SCOPED_TRACE(path);
        EXPECT_EQ(host::ToHostPath(path), "");
        EXPECT_EQ(_lopen(path, OF_READ | OF_SHARE_DENY_NONE), HFILE_ERROR);
        EXPECT_EQ(_lcreat(path, 0), HFILE_ERROR);
        EXPECT_FALSE(CreateDirectoryA(path, nullptr));
        EXPECT_EQ(PlatOpenFile(path, "wb"), nullptr);
        EXPECT_EQ(PlatPathExists(path), 0);
    }
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\a\\..\\x"), win_ + "/x");
    // Windows' limit on path length holds here too.
    std::string longest = "C:\\WINDOWS\\" + std::string(MAX_PATH - 12, 'a');
    EXPECT_EQ(host::ToHostPath(longest), win_ + "/" + std::string(MAX_PATH - 12, 'a'));
    EXPECT_EQ(_lcreat((longest + "b").c_str(), 0), HFILE_ERROR);
    EXPECT_FALSE(fs::exists(root_ / "x"));
    EXPECT_TRUE(fs::is_empty(root_ / "outside"));
}

TEST_F(PlatformTest, SymbolicLinksLeavingTheMountAreRefused) {
    fs::create_directory_symlink(root_ / "outside", root_ / "win" / "out");
    fs::create_symlink(root_ / "outside" / "planted", root_ / "win" / "dangling");
    fs::create_directories(root_ / "win" / "real");
    fs::create_directory_symlink(root_ / "win" / "real", root_ / "win" / "inside");

    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\out\\f"), "");
    EXPECT_EQ(_lcreat("C:\\WINDOWS\\OUT\\f", 0), HFILE_ERROR);
    EXPECT_EQ(_lcreat("C:\\WINDOWS\\dangling", 0), HFILE_ERROR);
    EXPECT_EQ(PlatOpenFile("C:\\WINDOWS\\Dangling", "wb"), nullptr);
    EXPECT_TRUE(fs::is_empty(root_ / "outside"));

    HFILE f = _lcreat("C:\\WINDOWS\\inside\\f", 0);
    ASSERT_NE(f, HFILE_ERROR);
    _lclose(f);
    EXPECT_TRUE(fs::exists(root_ / "win" / "real" / "f"));
}

// --- file handles and directories -------------------------------------------

TEST_F(PlatformTest, FileHandlesCreateWriteSeekAndRead) {
    HFILE out = _lcreat("C:\\WINDOWS\\Data.bin", 0);
    ASSERT_NE(out, HFILE_ERROR);
    EXPECT_EQ(_lwrite(out, "hello world", 11), 11u);
    EXPECT_EQ(_lwrite(out, "", 0), 0u); // writes nothing, cuts nothing
    EXPECT_EQ(_lclose(out), 0);
    EXPECT_EQ(ReadFile(root_ / "win" / "Data.bin"), "hello world");

    HFILE in = _lopen("c:\\windows\\DATA.BIN", OF_READ | OF_SHARE_DENY_NONE);
    ASSERT_NE(in, HFILE_ERROR);
    EXPECT_EQ(_llseek(in, 6, FILE_BEGIN), 6);
    EXPECT_EQ(_llseek(in, -2, FILE_CURRENT), 4);
    EXPECT_EQ(_llseek(in, 1, FILE_CURRENT), 5);
    char buffer[32] = {};
    EXPECT_EQ(_lread(in, buffer, sizeof buffer), 6u);
    EXPECT_STREQ(buffer, " world");
    EXPECT_EQ(_lread(in, buffer, sizeof buffer), 0u); // end of file
    EXPECT_EQ(_llseek(in, 0, FILE_END), 11);
    EXPECT_EQ(_llseek(in, -1, FILE_BEGIN), -1);
    // Opened for reading only.
    EXPECT_EQ(_lwrite(in, "x", 1), UINT(HFILE_ERROR));
    EXPECT_EQ(_lclose(in), 0);
    EXPECT_EQ(_lread(in, buffer, 1), UINT(-1)); // closed handle
}

TEST_F(PlatformTest, CreateTruncatesAndOpenRefusesMissingFilesAndDirectories) {
    WriteFile(root_ / "win" / "OLD.TXT", "old contents");
    HFILE f = _lcreat("C:\\WINDOWS\\old.txt", 0);
    ASSERT_NE(f, HFILE_ERROR);
    _lwrite(f, "new", 3);
    _lclose(f);
    EXPECT_EQ(ReadFile(root_ / "win" / "OLD.TXT"), "new");
    EXPECT_FALSE(fs::exists(root_ / "win" / "old.txt"));

    EXPECT_EQ(_lopen("C:\\WINDOWS\\missing.txt", 64), HFILE_ERROR);
    EXPECT_EQ(_lopen("C:\\WINDOWS", 64), HFILE_ERROR);
    EXPECT_EQ(_lcreat("C:\\WINDOWS\\NoSuchDir\\f", 0), HFILE_ERROR);
    EXPECT_EQ(PlatOpenFile("C:\\WINDOWS", "rb"), nullptr);
}

TEST_F(PlatformTest, DirectoriesAndExistence) {
    EXPECT_TRUE(CreateDirectoryA("C:\\WINDOWS\\QUILLFEN", nullptr));
    EXPECT_FALSE(CreateDirectoryA("c:\\windows\\quillfen", nullptr)); // exists already
    EXPECT_TRUE(CreateDirectoryA("C:\\WINDOWS\\quillfen\\GLIMLOOM\\", nullptr));
    EXPECT_TRUE(fs::is_directory(root_ / "win" / "QUILLFEN" / "GLIMLOOM"));
    EXPECT_FALSE(CreateDirectoryA("C:\\WINDOWS\\A\\B", nullptr)); // parent missing

    EXPECT_EQ(PlatPathExists("C:\\WINDOWS\\QUILLFEN"), 1);
    EXPECT_EQ(PlatPathExists("C:\\WINDOWS\\STARS.SCR"), 0);
    WriteFile(root_ / "win" / "Stars.scr", "x");
    EXPECT_EQ(PlatPathExists("C:\\WINDOWS\\STARS.SCR"), 1);

    FILE* out = PlatOpenFile("C:\\WINDOWS\\QUILLFEN\\glimloom\\f.dat", "wb");
    ASSERT_NE(out, nullptr);
    fputs("stdio", out);
    fclose(out);
    EXPECT_EQ(ReadFile(root_ / "win" / "QUILLFEN" / "GLIMLOOM" / "f.dat"), "stdio");
}

// --- module file and Windows directory --------------------------------------

TEST_F(PlatformTest, ModuleFileIsReadableUnderItsWindowsName) {
    WriteFile(root_ / "pkg" / "Aurora.exe", "MZ package");
    host::SetModuleFile((root_ / "pkg" / "Aurora.exe").string());
    char name[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, MAX_PATH), 22u);
    EXPECT_STREQ(name, "C:\\PACKAGES\\Aurora.exe");

    HFILE f = _lopen("c:\\packages\\AURORA.EXE", 64);
    ASSERT_NE(f, HFILE_ERROR);
    char buffer[16] = {};
    EXPECT_EQ(_lread(f, buffer, sizeof buffer), 10u);
    EXPECT_STREQ(buffer, "MZ package");
    _lclose(f);
    FILE* s = PlatOpenFile(name, "rb");
    ASSERT_NE(s, nullptr);
    fclose(s);
    EXPECT_EQ(PlatPathExists(name), 1);

    // The running program's file is never written.
    EXPECT_EQ(_lcreat(name, 0), HFILE_ERROR);
    EXPECT_EQ(PlatOpenFile(name, "wb"), nullptr);
    EXPECT_EQ(PlatOpenFile(name, "r+b"), nullptr);
    EXPECT_EQ(ReadFile(root_ / "pkg" / "Aurora.exe"), "MZ package");
    // Nothing else under C:\PACKAGES exists.
    EXPECT_EQ(_lopen("C:\\PACKAGES\\Other.exe", 64), HFILE_ERROR);

    host::SetModuleFile((root_ / "pkg" / "Aurora.exe").string(), "D:\\Down\\STARS.EXE");
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, MAX_PATH), 17u);
    EXPECT_STREQ(name, "D:\\Down\\STARS.EXE");
}

TEST_F(PlatformTest, ModuleFileNameTruncatesAndFails) {
    char name[16];
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, sizeof name), 0u); // none set
    host::SetModuleFile("/somewhere/STARS.EXE");
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, 5), 5u);
    EXPECT_STREQ(name, "C:\\P");
    EXPECT_EQ(name[5], '#');
    // Exactly the length: no room for the terminator, so still truncated.
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, 15), 15u);
    EXPECT_STREQ(name, "C:\\PACKAGES\\ST");
    fake::FailGetModuleFileName(true);
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, sizeof name), 0u);
}

TEST_F(PlatformTest, WindowsDirectoryAnswersLikeWindows) {
    char dir[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(dir, MAX_PATH), 10u);
    EXPECT_STREQ(dir, "C:\\WINDOWS");
    std::memset(dir, '#', sizeof dir);
    EXPECT_EQ(GetWindowsDirectoryA(dir, 10), 11u); // size needed, buffer untouched
    EXPECT_EQ(dir[0], '#');
    fake::FailGetWindowsDirectory(true);
    EXPECT_EQ(GetWindowsDirectoryA(dir, MAX_PATH), 0u);
    fake::FailGetWindowsDirectory(false);
    host::SetWindowsDirectory(win_, "D:\\WINNT\\");
    EXPECT_EQ(GetWindowsDirectoryA(dir, MAX_PATH), 9u);
    EXPECT_STREQ(dir, "D:\\WINNT\\");
    EXPECT_EQ(host::ToHostPath("D:\\WINNT\\x"), win_ + "/x");
}

// --- short names ------------------------------------------------------------

TEST_F(PlatformTest, ShortPathNames) {
    WriteFile(root_ / "win" / "Long Saver Name.scr", "x");
    WriteFile(root_ / "win" / "QUILLFEN" / "Aurora Borealis" / "FILE0032.bmp", "x");
    WriteFile(root_ / "win" / "STARS.SCR", "x");
    char out[MAX_PATH];
    EXPECT_EQ(GetShortPathNameA("C:\\WINDOWS\\long saver name.SCR", out, MAX_PATH), 23u);
    EXPECT_STREQ(out, "C:\\WINDOWS\\LONGSA~1.SCR");
    GetShortPathNameA("C:/WINDOWS/QUILLFEN/Aurora Borealis/FILE0032.bmp", out, MAX_PATH);
    EXPECT_STREQ(out, "C:\\WINDOWS\\QUILLFEN\\AURORA~1\\FILE0032.bmp");
    GetShortPathNameA("C:\\WINDOWS\\STARS.SCR", out, MAX_PATH);
    EXPECT_STREQ(out, "C:\\WINDOWS\\STARS.SCR");

    // A missing file has no short name and leaves the buffer alone.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(GetShortPathNameA("C:\\WINDOWS\\MISSING.SCR", out, MAX_PATH), 0u);
    EXPECT_EQ(GetShortPathNameA("E:\\STARS.SCR", out, MAX_PATH), 0u);
    EXPECT_EQ(out[0], '#');
    // Too small: the size needed, nothing written.
    EXPECT_EQ(GetShortPathNameA("C:\\WINDOWS\\STARS.SCR", out, 20), 21u);
    EXPECT_EQ(out[0], '#');
}

// --- profile files ----------------------------------------------------------

TEST_F(PlatformTest, ProfileWriterCreatesFileAndSection) {
    EXPECT_TRUE(
        WritePrivateProfileStringA("boot", "SCRNSAVE.EXE", "C:\\WINDOWS\\STARS.SCR", "system.ini"));
    EXPECT_EQ(ReadFile(root_ / "win" / "system.ini"),
              "[boot]\r\nSCRNSAVE.EXE=C:\\WINDOWS\\STARS.SCR\r\n");
    EXPECT_TRUE(WritePrivateProfileStringA("drivers", "wave", "x.drv", "system.ini"));
    EXPECT_EQ(ReadFile(root_ / "win" / "system.ini"),
              "[boot]\r\nSCRNSAVE.EXE=C:\\WINDOWS\\STARS.SCR\r\n\r\n[drivers]\r\nwave=x.drv\r\n");
}

TEST_F(PlatformTest, ProfileWriterAddsKeyToExistingSectionKeepingOtherLines) {
    WriteFile(root_ / "win" / "SYSTEM.INI",
              "; comment\n[Boot]\nshell=Explorer.exe\n\n[drivers]\nwave=x.drv\n");
    EXPECT_TRUE(
        WritePrivateProfileStringA("boot", "SCRNSAVE.EXE", "C:\\WINDOWS\\STARS.SCR", "system.ini"));
    EXPECT_FALSE(fs::exists(root_ / "win" / "system.ini")); // the existing file was edited
    EXPECT_EQ(ReadFile(root_ / "win" / "SYSTEM.INI"),
              "; comment\r\n[Boot]\r\nshell=Explorer.exe\r\nSCRNSAVE.EXE=C:\\WINDOWS\\STARS.SCR\r\n"
              "\r\n[drivers]\r\nwave=x.drv\r\n");
}

TEST_F(PlatformTest, ProfileWriterReplacesKeyInPlace) {
    WriteFile(root_ / "win" / "system.ini",
              "[boot]\r\nscrnsave.exe=C:\\OLD.SCR\r\nshell=Explorer.exe\r\n[Other]\r\n"
              "SCRNSAVE.EXE=untouched\r\n");
    EXPECT_TRUE(WritePrivateProfileStringA("BOOT", "SCRNSAVE.EXE", "C:\\NEW.SCR", "SYSTEM.INI"));
    EXPECT_EQ(ReadFile(root_ / "win" / "system.ini"),
              "[boot]\r\nscrnsave.exe=C:\\NEW.SCR\r\nshell=Explorer.exe\r\n[Other]\r\n"
              "SCRNSAVE.EXE=untouched\r\n");
}

TEST_F(PlatformTest, ProfileWriterDeletesAndRefuses) {
    const std::string original = "[boot]\r\na=1\r\nb=2\r\n[x]\r\nc=3\r\n";
    WriteFile(root_ / "win" / "system.ini", original);
    EXPECT_FALSE(WritePrivateProfileStringA("boot", "a", "1\r\n[evil]", "system.ini"));
    EXPECT_EQ(ReadFile(root_ / "win" / "system.ini"), original);

    EXPECT_TRUE(WritePrivateProfileStringA("boot", "A", nullptr, "system.ini"));
    EXPECT_EQ(ReadFile(root_ / "win" / "system.ini"), "[boot]\r\nb=2\r\n[x]\r\nc=3\r\n");
    EXPECT_TRUE(WritePrivateProfileStringA("boot", nullptr, nullptr, "system.ini"));
    EXPECT_EQ(ReadFile(root_ / "win" / "system.ini"), "[x]\r\nc=3\r\n");

    // A full path is taken as it is; an unmounted one is refused.
    EXPECT_TRUE(WritePrivateProfileStringA("s", "k", "v", "C:\\WINDOWS\\other.ini"));
    EXPECT_EQ(ReadFile(root_ / "win" / "other.ini"), "[s]\r\nk=v\r\n");
    EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", "D:\\other.ini"));
    fake::Reset(); // the Windows directory is no longer mounted
    EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", "system.ini"));
}

// --- free space and the system library --------------------------------------

TEST_F(PlatformTest, FreeSpaceOverrideAndClusterCap) {
    fake::SetFreeBytes(uint64_t(10) << 30);
    ULARGE_INTEGER caller, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExA("C:\\", &caller, &total, &free));
    EXPECT_EQ(caller.QuadPart, uint64_t(10) << 30);
    DWORD sectors = 0, bytes = 0, free_clusters = 0, total_clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("C:\\", &sectors, &bytes, &free_clusters, &total_clusters));
    EXPECT_EQ(sectors, 8u);
    EXPECT_EQ(bytes, 512u);
    EXPECT_EQ(free_clusters, (uint64_t(10) << 30) / 4096);

    fake::SetFreeBytes(uint64_t(1) << 45); // 2^33 clusters
    ASSERT_TRUE(GetDiskFreeSpaceA("C:\\", &sectors, &bytes, &free_clusters, &total_clusters));
    EXPECT_EQ(free_clusters, 0xFFFFFFFFu);

    fake::FailDiskFreeSpace(true);
    EXPECT_FALSE(GetDiskFreeSpaceExA("C:\\", &caller, &total, &free));
    EXPECT_FALSE(GetDiskFreeSpaceA("C:\\", &sectors, &bytes, &free_clusters, &total_clusters));
}

TEST_F(PlatformTest, FreeSpaceFromTheMountedFolder) {
    struct statvfs vfs;
    ASSERT_EQ(statvfs(win_.c_str(), &vfs), 0);
    const uint64_t expected = uint64_t(vfs.f_bavail) * vfs.f_frsize;
    ULARGE_INTEGER caller;
    // "C:\" itself is not mounted; it stands for the drive of C:\WINDOWS.
    ASSERT_TRUE(GetDiskFreeSpaceExA("C:\\", &caller, nullptr, nullptr));
    // Other writers share the disk; allow for their activity.
    EXPECT_NEAR(double(caller.QuadPart), double(expected), 1e9);
    ASSERT_TRUE(GetDiskFreeSpaceExA("c:\\windows\\", &caller, nullptr, nullptr));
    EXPECT_FALSE(GetDiskFreeSpaceExA("D:\\", &caller, nullptr, nullptr));
    DWORD sectors, bytes, free_clusters, total_clusters;
    EXPECT_FALSE(GetDiskFreeSpaceA("D:\\", &sectors, &bytes, &free_clusters, &total_clusters));
}

TEST_F(PlatformTest, SystemLibraryLookupAndCounting) {
    using FreeSpaceEx = BOOL (*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    fake::SetFreeBytes(12345);
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(LoadLibraryA("kernel32.dll"), kernel);
    EXPECT_EQ(fake::OpenLibraryCount(), 2);
    FARPROC proc = GetProcAddress(kernel, "GetDiskFreeSpaceExA");
    ASSERT_NE(proc, nullptr);
    ULARGE_INTEGER caller, total, free;
    auto fn = reinterpret_cast<FreeSpaceEx>(reinterpret_cast<void (*)(void)>(proc));
    ASSERT_TRUE(fn("C:\\", &caller, &total, &free));
    EXPECT_EQ(caller.QuadPart, 12345u);
    EXPECT_EQ(GetProcAddress(kernel, "NoSuchFunction"), nullptr);
    fake::HideDiskFreeSpaceEx(true);
    EXPECT_EQ(GetProcAddress(kernel, "GetDiskFreeSpaceExA"), nullptr);
    EXPECT_TRUE(FreeLibrary(kernel));
    EXPECT_TRUE(FreeLibrary(kernel));
    EXPECT_FALSE(FreeLibrary(kernel)); // freed once too often
    EXPECT_EQ(fake::OpenLibraryCount(), 0);

    EXPECT_EQ(LoadLibraryA("USER32.DLL"), nullptr);
    fake::FailLoadLibrary(true);
    EXPECT_EQ(LoadLibraryA("KERNEL32.DLL"), nullptr);
    EXPECT_EQ(fake::OpenLibraryCount(), 0);
}

// --- message boxes and the rest ---------------------------------------------

TEST_F(PlatformTest, MessageBoxScriptAndRecord) {
    fake::QueueMessageBoxAnswer(IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Replace?", "Replace Screen Saver?", 0x24), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Again?", "Q", MB_YESNO), IDYES); // queue empty: default
    EXPECT_EQ(MessageBoxA(nullptr, "Space", "Disk Full", 0x41), IDOK);
    ASSERT_EQ(fake::MessageBoxCalls().size(), 3u);
    EXPECT_EQ(fake::MessageBoxCalls()[0].text, "Replace?");
    EXPECT_EQ(fake::MessageBoxCalls()[0].caption, "Replace Screen Saver?");
    EXPECT_EQ(fake::MessageBoxCalls()[0].flags, 0x24u);
    EXPECT_EQ(fake::MessageBoxCalls()[0].answer, IDNO);

    // A handler takes precedence over queued answers.
    fake::QueueMessageBoxAnswer(IDOK);
    fake::SetMessageBoxHandler([](const std::string& text, const std::string&, unsigned) {
        return text == "Cancel me" ? IDCANCEL : IDOK;
    });
    EXPECT_EQ(MessageBoxA(nullptr, "Cancel me", "Disk Full", 0x41), IDCANCEL);
    EXPECT_EQ(fake::MessageBoxCalls().back().answer, IDCANCEL);
}

TEST_F(PlatformTest, ActivationProgramStartAndReset) {
    EXPECT_FALSE(fake::ScreenSaverActive());
    EXPECT_TRUE(SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, nullptr, SPIF_UPDATEINIFILE));
    EXPECT_TRUE(fake::ScreenSaverActive());
    EXPECT_EQ(WinExec("STARS.SCR", SW_SHOW), 33u);
    ASSERT_EQ(fake::StartedPrograms().size(), 1u);
    EXPECT_EQ(fake::StartedPrograms()[0], "STARS.SCR");
    EXPECT_EQ(GetWindowLongA(nullptr, GWL_HINSTANCE), 0x400000);
    void* block = LocalAlloc(LMEM_FIXED, 2048);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0, 2048);
    EXPECT_EQ(LocalFree(block), nullptr);

    host::SetModuleFile("/x/STARS.EXE");
    MessageBoxA(nullptr, "t", "c", MB_OK);
    fake::Reset();
    EXPECT_FALSE(fake::ScreenSaverActive());
    EXPECT_TRUE(fake::StartedPrograms().empty());
    EXPECT_TRUE(fake::MessageBoxCalls().empty());
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\x"), "");
    char name[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(nullptr, name, MAX_PATH), 0u);
}

} // namespace
