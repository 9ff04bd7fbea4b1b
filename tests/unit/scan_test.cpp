// What glimpack scan names on its own: the folder each package found is
// extracted into, which must be one name every system can make, leading
// nowhere but below the folder given.
#include <gtest/gtest.h>

#include <string>

#include "tools/glimpack/scan.h"

namespace {

using glimpack::SafeFolderName;

TEST(ScanFolderName, OneNameThatLeadsNowhereElse) {
    struct Case {
        const char* location;
        const char* name;
    } cases[] = {
        {"col/cd.iso!SHARE/PACKS.ZIP!COMET.EXE", "col_cd.iso!SHARE_PACKS.ZIP!COMET.EXE"},
        {"/srv/disk.img@4097", "_srv_disk.img@4097"},
        {"C:\\COL\\A.EXE", "C__COL_A.EXE"},
        {"../../etc/passwd", "___.._etc_passwd"},
        {"..", "__"},
        {".hidden", "_hidden"},
        {"a<b>c|d?e*f\"g", "a_b_c_d_e_f_g"},
        {"tab\there\x7f", "tab_here_"},
        {"ends with dots. .", "ends with dots___"},
        {"CON", "_CON"},
        {"nul.txt", "_nul.txt"},
        {"COM1.EXE", "_COM1.EXE"},
        {"CONSOLE.EXE", "CONSOLE.EXE"},
        {"", "_"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SafeFolderName(c.location), c.name) << c.location;
}

TEST(ScanFolderName, ALongLocationKeepsItsEndAndWholeCharacters) {
    std::string location = std::string(300, 'x') + "!\xC3\xA9t\xC3\xA9.EXE@12345";
    std::string name = SafeFolderName(location);
    EXPECT_LE(name.size(), glimpack::kSafeFolderNameBytes);
    EXPECT_EQ(name.substr(name.size() - 16), "!\xC3\xA9t\xC3\xA9.EXE@12345");
    // Cut where a character starts, never inside one: 100 euro signs are
    // 300 bytes, and byte 100 is inside the 34th.
    std::string euros;
    for (int i = 0; i < 100; ++i)
        euros += "\xE2\x82\xAC";
    name = SafeFolderName(euros);
    EXPECT_EQ(name.size(), 198u);
    EXPECT_EQ(name.substr(0, 3), "\xE2\x82\xAC");
}

} // namespace
