// Extraction into a target that runs out of room or cannot be written: a
// small tmpfs (mounted here when the tests run as root; skipped otherwise)
// and a read-only directory. Each must end with exit code 2 and one line
// naming the problem, and leave no partial file behind.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/host_world.h"
#include "testkit/packages/hostile_packages.h"
#include "tests/hostile/run_tool.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace {

namespace fs = std::filesystem;

using hostile::Files;
using hostile::Output;

Output Extract(std::vector<std::string> args) {
    return hostile::RunTool("extract", glimpack::CmdExtract, std::move(args));
}

int Lines(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

class ConfinedTarget : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        root_ = fs::temp_directory_path() /
                ("glim-confined-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(root_);
        fs::create_directories(root_ / "target");
        target_ = (root_ / "target").string();
    }
    void TearDown() override {
        if (mounted_)
            umount2(target_.c_str(), MNT_DETACH);
        host::Reset();
        chmod(target_.c_str(), 0755);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string WritePackage(const std::vector<uint8_t>& bytes) {
        std::string path = (root_ / "STARS.EXE").string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        return path;
    }

    // Mounts a tmpfs of `options` on the target; false (with the reason in
    // `why`) when this process may not mount.
    bool MountTmpfs(const std::string& options, std::string* why) {
        if (geteuid() != 0) {
            *why = "needs root to mount a small tmpfs";
            return false;
        }
        if (mount("tmpfs", target_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            *why = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
            return false;
        }
        mounted_ = true;
        return true;
    }

    void ExpectOneLineAndNoPartialFile(const Output& o, const std::string& problem) {
        EXPECT_EQ(o.rc, glimpack::kExitBadInput) << o.err;
        EXPECT_EQ(Lines(o.err), 1) << o.err;
        EXPECT_EQ(o.err.rfind("glimpack: ", 0), 0u) << o.err;
        EXPECT_NE(o.err.find(problem), std::string::npos) << o.err;
        for (const std::string& f : Files(root_))
            EXPECT_EQ(f.find(".part"), std::string::npos) << "partial file left: " << f;
    }

    fs::path root_;
    std::string target_;
    bool mounted_ = false;
};

// A package of many one-byte files: its byte total passes the free-space
// check, but every file takes a whole page of the tmpfs.
std::vector<uint8_t> ManySmallFiles(int count) {
    hostile::PackageSpec spec = hostile::StandardSpec();
    for (int i = 0; i < count; ++i)
        spec.bodies.push_back(hostile::Stored({uint8_t(i)}, ".TXT"));
    return hostile::Assemble(spec).bytes;
}

TEST_F(ConfinedTarget, DiskFullDuringExtractionRemovesThePartialFile) {
    std::string why;
    if (!MountTmpfs("size=64k,mode=0755", &why))
        GTEST_SKIP() << why;
    std::string package = WritePackage(ManySmallFiles(60));
    Output o = Extract({"-q", "-d", target_, package});
    ExpectOneLineAndNoPartialFile(o, "No space left on device");
    // What was finished before the disk filled up is whole.
    for (const std::string& f : Files(target_)) {
        if (f.find("FILE") != std::string::npos && f.find(".TXT") != std::string::npos) {
            EXPECT_EQ(fs::file_size(fs::path(target_) / f), 1u) << f;
        }
    }
}

TEST_F(ConfinedTarget, RunningOutOfInodesIsReportedToo) {
    std::string why;
    if (!MountTmpfs("size=1m,nr_inodes=8,mode=0755", &why))
        GTEST_SKIP() << why;
    std::string package = WritePackage(ManySmallFiles(20));
    Output o = Extract({"-q", "-d", target_, package});
    ExpectOneLineAndNoPartialFile(o, "No space left on device");
}

TEST_F(ConfinedTarget, PackageLargerThanTheFreeSpaceIsRefusedBeforeWriting) {
    std::string why;
    if (!MountTmpfs("size=1m,mode=0755", &why))
        GTEST_SKIP() << why;
    // A sound package that simply does not fit: 2 MiB stored in a 1 MiB file
    // system. The free-space check stops it before the first byte.
    hostile::PackageSpec spec = hostile::StandardSpec();
    spec.bodies.push_back(hostile::Stored(std::vector<uint8_t>(2u << 20, 0x5A), ".BIN"));
    std::string package = WritePackage(hostile::Assemble(spec).bytes);
    Output o = Extract({"-q", "-d", target_, package});
    ExpectOneLineAndNoPartialFile(o, "not enough free space");
    EXPECT_TRUE(Files(target_).empty());
}

TEST_F(ConfinedTarget, ReadOnlyTargetIsReportedAndLeftEmpty) {
    std::string package = WritePackage(hostile::Assemble(hostile::StandardSpec()).bytes);
    std::string problem;
    if (geteuid() == 0) {
        // Root writes through permission bits, so make the file system itself
        // read-only.
        std::string why;
        if (!MountTmpfs("size=1m,mode=0755", &why))
            GTEST_SKIP() << why;
        ASSERT_EQ(mount("tmpfs", target_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m"), 0)
            << std::strerror(errno);
        problem = "Read-only file system";
    } else {
        ASSERT_EQ(chmod(target_.c_str(), 0555), 0);
        problem = "Permission denied";
    }
    Output o = Extract({"-q", "-d", target_, package});
    ExpectOneLineAndNoPartialFile(o, problem);
    EXPECT_TRUE(Files(target_).empty());
}

} // namespace
