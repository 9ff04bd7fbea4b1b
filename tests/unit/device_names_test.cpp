// One answer to "is this name a device?" wherever a name is judged: the
// installer's naming (format/naming.h), the verdict on a package named after
// it, the host back end the installer's code writes through, and, on
// Windows, the system layer that keeps the tool's own outputs off devices.
// A name one of them refuses and another lets through would be a package
// that passes `glimpack test` and writes to a device when installed, or one
// that extracts on Linux and not on Windows. Built natively and, with MinGW,
// for Windows, where it runs under Wine (tests/windows) and the system layer
// is asked as well.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base/windows_names.h"
#include "format/naming.h"
#include "hostos/os.h"
#include "package/read.h"
#include "package/verdict.h"
#include "platform/host/host_world.h"

namespace {

struct Name {
    const char* windows_1252; // as the installer and the package checks hold it
    const char* utf8;         // as the tool's system layer is given it
    bool device;
};

// Devices in every spelling Windows takes, and the names next to them that
// are ordinary files.
const Name kNames[] = {
    {"CON", "CON", true},
    {"con", "con", true},
    {"Con.txt", "Con.txt", true},
    {"CON .log", "CON .log", true},
    {"NUL.tar.gz", "NUL.tar.gz", true},
    {"PRN", "PRN", true},
    {"aux", "aux", true},
    {"CONIN$", "CONIN$", true},
    {"conout$.log", "conout$.log", true},
    {"COM0", "COM0", true},
    {"COM1", "COM1", true},
    {"com9.bin", "com9.bin", true},
    {"LPT0", "LPT0", true},
    {"LPT9.EXE", "LPT9.EXE", true},
    {"COM\xB9", "COM\xC2\xB9", true},
    {"LPT\xB2", "LPT\xC2\xB2", true},
    {"lpt\xB3.dat", "lpt\xC2\xB3.dat", true},
    {"CONSOLE", "CONSOLE", false},
    {"CON1", "CON1", false},
    {"xCON", "xCON", false},
    {"C ON", "C ON", false},
    {"COM", "COM", false},
    {"LPT", "LPT", false},
    {"COM10", "COM10", false},
    {"COMA", "COMA", false},
    {"COM\xB9"
     "0",
     "COM\xC2\xB9"
     "0",
     false},
    {"COM\xBC", "COM\xC2\xBC", false}, // one quarter is no digit
    {"NULL.TXT", "NULL.TXT", false},
    {"AUXX", "AUXX", false},
    {"CONIN", "CONIN", false},
    {"CONOUT", "CONOUT", false},
    {"CONIN$$", "CONIN$$", false},
    {"STARS.SCR", "STARS.SCR", false},
};

void PrintTo(const Name& n, std::ostream* os) {
    *os << '"' << n.utf8 << '"';
}

class DeviceNames : public ::testing::TestWithParam<Name> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(hostos::MakeTempDirectory(hostos::TempDirectory() + "/glim-devices.", &dir_));
        host::Reset();
        host::SetWindowsDirectory(dir_);
    }
    void TearDown() override {
        host::Reset();
        EXPECT_TRUE(hostos::RemoveTree(dir_));
    }

    std::string dir_;
};

TEST_P(DeviceNames, EveryCheckGivesTheSameAnswer) {
    const Name& n = GetParam();
    const std::string name = n.windows_1252;

    // The installer's naming, on the name and on what Windows makes of it
    // once it has dropped trailing dots and blanks.
    EXPECT_EQ(IsWindowsDeviceName(name.data(), name.size()) != 0, n.device);
    std::string trailing = name + ". .";
    EXPECT_EQ(IsPlainWindowsName(trailing.data(), WithoutTrailingDotsAndBlanks(
                                                      trailing.data(), trailing.size())) == 0,
              n.device);

    // The verdict on a package named after it: its saver (the name up to
    // its first dot + ".SCR") would be the device. The tool is given the
    // package's name by the host, in UTF-8; the installer reads the same
    // file name in the ANSI code page; both spellings are the same device.
    for (const std::string& package_name : {name, std::string(n.utf8)}) {
        glimpack::InspectedPackage pkg;
        pkg.module_path = glimpack::ModulePathFor(package_name + ".EXE");
        pkg.records.resize(1);
        glimpack::JudgeDestinations(pkg);
        bool device = false;
        std::string problems;
        for (const glimpack::Problem& p : pkg.records[0].problems) {
            device |= p.code == glimpack::ProblemCode::kDestinationDevice;
            problems += glimpack::ProblemLine(p) + "\n";
        }
        EXPECT_EQ(device, n.device) << problems;
    }

    // The installer's code running over the host back end: a device has no
    // host path, in the Windows directory or any folder below it.
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\" + name).empty(), n.device);
    EXPECT_EQ(host::ToHostPath("C:\\WINDOWS\\" + name + "\\INSIDE.TXT").empty(), n.device);

    // The tool's own outputs, where the system has devices at all (POSIX
    // systems name none, so the layer says nothing there).
    if (!hostos::NameProblem("CON").empty()) {
        EXPECT_EQ(!hostos::NameProblem(dir_ + "/" + n.utf8).empty(), n.device);
        EXPECT_EQ(!hostos::NameProblem(dir_ + "/" + n.utf8 + "/inside.txt").empty(), n.device);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, DeviceNames, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<Name>& info) {
                             std::string id = std::to_string(info.index) + "_";
                             for (char c : std::string(info.param.utf8))
                                 id += (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                               (c >= '0' && c <= '9')
                                           ? c
                                           : '_';
                             return id;
                         });

} // namespace
