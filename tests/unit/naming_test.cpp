// Destination names the installer derives from its own file name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "format/naming.h"

namespace {

std::string Scr(const char* module) {
    char out[GLIM_PATH_CAPACITY];
    return BuildScrFileName(module, out, sizeof out) ? out : "<refused>";
}

std::string Base(const char* module) {
    char out[GLIM_PATH_CAPACITY];
    return GetInstallerBaseName(module, out, sizeof out) ? out : "<refused>";
}

PayloadRecord WithExtension(const char* ext) {
    PayloadRecord r{};
    r.stored_size = 1;
    // The field is NUL-padded, not terminated when full (r starts zeroed).
    std::memcpy(r.extension, ext, std::min(std::strlen(ext), size_t(PAYLOAD_EXTENSION_SIZE)));
    return r;
}

std::string Destination(uint32_t index, const char* ext, uint16_t first,
                        const char* windows = "C:\\WINDOWS",
                        const char* module = "C:\\DL\\Stars.exe") {
    PayloadRecord r = WithExtension(ext);
    char out[GLIM_PATH_CAPACITY];
    return BuildRecordDestination(index, &r, first, windows, module, out, sizeof out) ? out
                                                                                      : "<refused>";
}

TEST(Naming, ScrNameCutsAtTheFirstDotAndUpperCases) {
    EXPECT_EQ(Scr("C:\\DOWNLOADS\\stars.exe"), "STARS.SCR");
    EXPECT_EQ(Scr("C:\\DL\\A.B.EXE"), "A.SCR");
    EXPECT_EQ(Scr("C:\\DL\\NODOT"), "NODOT.SCR");
    EXPECT_EQ(Scr("C:\\DL.X\\Stars"), "STARS.SCR"); // a dot in a folder does not count
    EXPECT_EQ(Scr("Plain.exe"), "PLAIN.SCR");       // no backslash at all
}

TEST(Naming, BaseNameCutsAtTheLastDotAndKeepsCase) {
    EXPECT_EQ(Base("C:\\DL\\Aurora.exe"), "Aurora");
    EXPECT_EQ(Base("C:\\DL\\A.B.EXE"), "A.B");
    EXPECT_EQ(Base("C:\\DL\\NODOT"), "NODOT");
    EXPECT_EQ(Base("C:\\DL.NEW\\Stars"), "Stars");
}

TEST(Naming, BaseNameThatWouldNameAFolderItselfIsRefused) {
    // "...EXE" would give "..", the parent of GLIMLOOM.
    EXPECT_EQ(Base("C:\\DL\\...EXE"), "<refused>");
    EXPECT_EQ(Base("C:\\DL\\..EXE"), "<refused>");
    EXPECT_EQ(Base("C:\\DL\\.EXE"), "<refused>");
    EXPECT_EQ(Base("C:\\DL\\ . .EXE"), "<refused>");
    EXPECT_EQ(Destination(1, "", 0, "C:\\WINDOWS", "C:\\DL\\...EXE"), "<refused>");
    EXPECT_EQ(Destination(2, ".BMP", 0, "C:\\WINDOWS", "C:\\DL\\...EXE"), "<refused>");
}

TEST(Naming, DestinationsOfTheThreeRoles) {
    EXPECT_EQ(Destination(0, ".SCR", 32), "C:\\WINDOWS\\STARS.SCR");
    EXPECT_EQ(Destination(1, ".DAT", 32), "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\Stars.DAT");
    EXPECT_EQ(Destination(2, ".BMP", 32), "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\FILE0032.BMP");
    EXPECT_EQ(Destination(3, ".WAV", 32), "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\FILE0033.WAV");
    // Record 0's whole path is upper-cased, the others keep their case.
    EXPECT_EQ(Destination(0, "", 0, "c:\\windows", "C:\\DL\\a.b.exe"), "C:\\WINDOWS\\A.SCR");
    EXPECT_EQ(Destination(1, "", 0, "c:\\windows", "C:\\DL\\a.b.exe"),
              "c:\\windows\\QUILLFEN\\GLIMLOOM\\a.b\\a.b.DAT");
}

TEST(Naming, TrailingBackslashOnTheWindowsDirectoryIsNotDoubled) {
    EXPECT_EQ(Destination(0, "", 0, "C:\\"), "C:\\STARS.SCR");
    EXPECT_EQ(Destination(2, ".X", 0, "C:\\"), "C:\\QUILLFEN\\GLIMLOOM\\Stars\\FILE0000.X");
    char dir[GLIM_PATH_CAPACITY];
    EXPECT_EQ(BuildDataDirectory("D:\\WIN\\", "C:\\Stars.exe", dir, sizeof dir), 1);
    EXPECT_STREQ(dir, "D:\\WIN\\QUILLFEN\\GLIMLOOM\\Stars");
}

TEST(Naming, FileNumbersArePaddedToFourDigitsAndNeverWrap) {
    EXPECT_EQ(Destination(2, "", 32), "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\FILE0032");
    EXPECT_EQ(Destination(2, ".TXT", 12345),
              "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\FILE12345.TXT");
    EXPECT_EQ(Destination(2, ".MID", 0), "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\FILE0000.MID");
    // first_file_number is unsigned 16-bit; the sum goes on past 65535.
    EXPECT_EQ(Destination(2, "", 65535), "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\FILE65535");
    EXPECT_EQ(Destination(5, "", 65535), "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\Stars\\FILE65538");
    EXPECT_EQ(Destination(0xFFFFFFFFu, "", 65535), "<refused>");
}

TEST(Naming, SafeExtensions) {
    for (const char* ext : {"", ".TMP", ".BMP", ".WAV", ".MID", ".TXT", ".JPG", ".AVI", ".X",
                            ".jpg", ".A_1", ".{}~"}) {
        char field[4] = {};
        std::strncpy(field, ext, 4);
        EXPECT_TRUE(IsSafeExtension(field)) << ext;
    }
    // Only the text up to the first NUL counts.
    const char after_nul[4] = {'.', 'A', '\0', '\\'};
    EXPECT_TRUE(IsSafeExtension(after_nul));
}

TEST(Naming, UnsafeExtensions) {
    for (const char* ext :
         {".",   "..",   "...",   ".\\A",   "./A",   ".A:B", "\\AB", "/",   "ABC",  ".A.", ". ",
          ".A ", ". . ", ".\x01", ".A\x7F", ".\xE9", ".A*",  ".A?",  ".<>", ".A\"", ".A|"}) {
        char field[4] = {};
        std::strncpy(field, ext, 4);
        EXPECT_FALSE(IsSafeExtension(field)) << ext;
    }
    const char four_dots[4] = {'.', '.', '.', '.'};
    EXPECT_FALSE(IsSafeExtension(four_dots));
    EXPECT_EQ(Destination(2, ".\\..", 0), "<refused>");
}

TEST(Naming, ResultsThatDoNotFitAreRefusedNotCut) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(BuildScrFileName("C:\\LONGNAME1.EXE", out, 14), 1); // "LONGNAME1.SCR" + NUL
    EXPECT_STREQ(out, "LONGNAME1.SCR");
    EXPECT_EQ(BuildScrFileName("C:\\LONGNAME12.EXE", out, 14), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(GetInstallerBaseName("C:\\ABCD.EXE", out, 4), 0);
    EXPECT_EQ(GetInstallerBaseName("C:\\ABCD.EXE", out, 5), 1);

    std::string windows(240, 'W');
    PayloadRecord r = WithExtension(".BMP");
    char path[GLIM_PATH_CAPACITY];
    // 240 + "\QUILLFEN\GLIMLOOM\" (19) + "Stars" = 264: too long.
    EXPECT_EQ(BuildRecordDestination(2, &r, 0, windows.c_str(), "C:\\Stars.exe", path, sizeof path),
              0);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(BuildRecordDestination(0, &r, 0, windows.c_str(), "C:\\Stars.exe", path, sizeof path),
              1);
    EXPECT_EQ(BuildScrFileName("C:\\A.EXE", out, 0), 0); // nothing written at all
}

TEST(Naming, AppendBackslash) {
    char path[8] = "C:\\WIN";
    EXPECT_EQ(AppendBackslash(path, sizeof path), 1);
    EXPECT_STREQ(path, "C:\\WIN\\");
    EXPECT_EQ(AppendBackslash(path, sizeof path), 1);
    EXPECT_STREQ(path, "C:\\WIN\\");
    char full[7] = "C:\\WIN";
    EXPECT_EQ(AppendBackslash(full, sizeof full), 0);
    EXPECT_STREQ(full, "");
}

} // namespace
