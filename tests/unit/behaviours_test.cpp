// Behaviours of the installer that look like faults but stay, because
// packages already handed out, and the people who install them, rely on
// them (docs/installer-behaviours.md lists every one with the test that pins
// it). Each runs the installer's own code on packages in a host Windows world.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "payload/extract.h"
#include "shell/shell.h"
#include "testkit/fakes/fake_control.h"
#include "testkit/packages/pe_builder.h"
#include "tests/support/stream_writer.h"
#include "tests/unit/installer_world.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/commands.h"

namespace {

using installer_world::BuiltPackage;
using installer_world::Package;
using installer_world::Pattern;
using installer_world::ReadFile;
using installer_world::Text;
using installer_world::World;
namespace fs = std::filesystem;

// File position of the unpacked_size field of record `index`.
uint32_t UnpackedSizeField(const BuiltPackage& built, uint32_t index) {
    return built.payload_pos + PAYLOAD_HEADER_SIZE + PAYLOAD_RECORD_SIZE * index + 8;
}

class InstallerBehaviour : public World {
  protected:
    void SetUp() override {
        World::SetUp();
        fake::SetDialogUser(104, fake::PressOk);
        fake::SetFreeBytes(uint64_t{1} << 40);
    }

    // Makes `built` the installer's own file, downloads/<file_name>.
    void UsePackage(const std::string& file_name, const BuiltPackage& built) {
        installer_world::WriteBytes(downloads_ / file_name, built.bytes);
        UseModule(file_name);
    }

    // glimpack extract of the installer's own file into `target`.
    int ToolExtract(const std::string& file_name, const fs::path& target) {
        std::vector<std::string> args = {"-q", "-d", target.string(),
                                         (downloads_ / file_name).string()};
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int rc = glimpack::RunCommand("extract", glimpack::CmdExtract,
                                      static_cast<int>(args.size()), argv.data());
        std::fflush(stdout);
        ::testing::internal::GetCapturedStdout();
        tool_errors_ = ::testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string tool_errors_;
};

// The confirmation shows the installed total as a signed count; the
// disk-space check compares it unsigned all the same.
TEST_F(InstallerBehaviour, TotalsOfTwoGibibytesOrMoreAreShownNegative) {
    Package p;
    p.title = "Big";
    p.bodies = {{Pattern(1000, 1), false, ""}, {Pattern(10, 2), false, ""}};
    BuiltPackage built = installer_world::BuildPackage(p);
    // Record 1 claims to unpack to the rest of 3,000,000,000 bytes.
    pe_builder::PutU32(built.bytes, UnpackedSizeField(built, 1), 3000000000u - 1000u);
    UsePackage("BIG.EXE", built);
    Answer({IDCANCEL});
    EXPECT_EQ(RunInstallationSequence(nullptr), -1);

    // 2,929,687 KB needed, 2^30 KB free: no "Disk Full" prompt.
    ASSERT_EQ(fake::MessageBoxCalls().size(), 1u);
    EXPECT_EQ(fake::MessageBoxCalls()[0].caption, "Big Screen Saver Installation");
    EXPECT_NE(
        fake::MessageBoxCalls()[0].text.find("This installation will take -1,294,967,296 bytes."),
        std::string::npos)
        << fake::MessageBoxCalls()[0].text;
}

// The progress box's result is not looked at: whatever the extraction
// managed, the run reports completion, shows the vendor box, switches the
// screen saver on and starts the saver by name.
TEST_F(InstallerBehaviour, CompletionVendorBoxAndSaverStartFollowAFailedExtraction) {
    Package p;
    p.title = "Stars";
    p.bodies = {{Pattern(1234, 1), false, ""}, {Text(10000), true, ""}};
    Install("STARS.EXE", p);
    fake::FailLocalAlloc(true); // the extraction's copy buffer: nothing is written
    EXPECT_EQ(RunInstallationSequence(nullptr), -1);

    EXPECT_EQ(AllFiles(), std::set<std::string>{"downloads/STARS.EXE"});
    ASSERT_EQ(fake::MessageBoxCalls().size(), 2u);
    EXPECT_EQ(fake::MessageBoxCalls()[1].text,
              "Installation Complete!\r\n\r\nData files have also been installed in your "
              "C:\\WINDOWS\\QUILLFEN\\GLIMLOOM\\STARS directory.");
    ASSERT_EQ(fake::DialogRuns().size(), 2u);
    EXPECT_EQ(fake::DialogRuns()[1].template_id, 104);
    EXPECT_TRUE(fake::DialogRuns()[1].ended);
    EXPECT_EQ(fake::StartedPrograms(), std::vector<std::string>{"STARS.SCR"});
    // The switch is set, but system.ini gets no entry for a file that is not there.
    EXPECT_TRUE(fake::ScreenSaverActive());
    EXPECT_FALSE(fs::exists(windows_ / "system.ini"));
}

// A failed write of a decoded file ends the process at once with exit code 0:
// no message, and none of the later steps. Run in a child process whose files
// may not grow past 20000 bytes, so that the second 16384-byte piece of the
// decoded data file cannot be written.
TEST_F(InstallerBehaviour, WriteFailureWhileDecodingEndsTheRunSilentlyWithExitCodeZero) {
    std::vector<uint8_t> scr = Pattern(1234, 1);
    std::vector<uint8_t> dat = Text(100000);
    Package p;
    p.title = "Stars";
    p.first_file_number = 32;
    p.bodies = {{scr, false, ""}, {dat, true, ""}, {Pattern(5, 3), false, ".TMP"}};
    Install("STARS.EXE", p);

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        // Every message box, and anything written to standard error, goes
        // down the pipe.
        dup2(report[1], STDERR_FILENO);
        fake::SetMessageBoxHandler([&](const std::string&, const std::string& caption, unsigned) {
            std::string line = "message box " + caption + "\n";
            (void)!write(report[1], line.data(), line.size());
            return IDOK;
        });
        std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead
        struct rlimit limit = {};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 20000;
        setrlimit(RLIMIT_FSIZE, &limit);
        RunInstallationSequence(nullptr);
        const char went_on[] = "the run went on\n";
        (void)!write(report[1], went_on, sizeof went_on - 1);
        _exit(3);
    }
    close(report[1]);
    std::string shown;
    char buffer[256];
    for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;)
        shown.append(buffer, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    EXPECT_EQ(shown, "message box Stars Screen Saver Installation\n");
    EXPECT_EQ(ReadFile(windows_ / "STARS.SCR"), scr);
    // The data file keeps what was written before the failure.
    std::vector<uint8_t> written = ReadFile(DataDir("STARS") / "STARS.DAT");
    EXPECT_GE(written.size(), 16384u);
    EXPECT_LT(written.size(), dat.size());
    EXPECT_TRUE(std::equal(written.begin(), written.end(), dat.begin()));
    EXPECT_FALSE(fs::exists(DataDir("STARS") / "FILE0032.TMP"));
    EXPECT_FALSE(fs::exists(windows_ / "system.ini"));
}

// The installer's decoder keeps its ring from one record to the next, so a
// stream that copies from ring positions 4066..4095 before writing them gets
// the previous stream's bytes; glimpack decodes every stream on its own and
// gets zeros there.
TEST_F(InstallerBehaviour, LaterStreamsReadTheEarlierStreamsLastBytesWhereTheToolReadsZeros) {
    // 4096 + 30 bytes: the ring's write position comes back round to 0, and
    // positions 4066..4095 hold the saver's last 30 bytes.
    std::vector<uint8_t> scr = Text(4126);
    testing_support::StreamWriter tail_copy;
    tail_copy.Match(30, 4095); // from (4066 - 4095 - 1) mod 4096 = 4066
    Package p;
    p.bodies = {{scr, true, ""}, {tail_copy.Finish(), false, ""}};
    BuiltPackage built = installer_world::BuildPackage(p);
    pe_builder::PutU32(built.bytes, UnpackedSizeField(built, 1), 30);
    UsePackage("TAIL.EXE", built);

    ExtractPayload(reinterpret_cast<HWND>(0x4242));
    EXPECT_EQ(ReadFile(windows_ / "TAIL.SCR"), scr);
    EXPECT_EQ(ReadFile(DataDir("TAIL") / "TAIL.DAT"),
              std::vector<uint8_t>(scr.end() - 30, scr.end()));

    fs::path target = root_ / "tool";
    ASSERT_EQ(ToolExtract("TAIL.EXE", target), glimpack::kExitOk) << tool_errors_;
    EXPECT_EQ(ReadFile(target / "TAIL.SCR"), scr);
    EXPECT_EQ(ReadFile(target / "QUILLFEN" / "GLIMLOOM" / "TAIL" / "TAIL.DAT"),
              std::vector<uint8_t>(30, 0));
}

} // namespace
