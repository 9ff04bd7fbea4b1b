// A scratch folder per test and a way to run glimpack commands in-process
// with their output captured.
#ifndef GLIM_TESTS_SUPPORT_TOOL_FIXTURE_H
#define GLIM_TESTS_SUPPORT_TOOL_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/host_world.h"
#include "tests/support/pe_builder.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/files.h"

namespace tool_fixture {

inline std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(size);
    for (uint8_t& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

// An input that has no size and cannot be read twice: the read end of a
// pipe, named by /dev/fd, that a thread fills with `bytes`.
class PipeInput {
  public:
    explicit PipeInput(std::vector<uint8_t> bytes) {
        std::signal(SIGPIPE, SIG_IGN); // a reader that gives up is not a crash
        int fds[2] = {-1, -1};
        EXPECT_EQ(::pipe(fds), 0);
        read_ = fds[0];
        writer_ = std::thread([fd = fds[1], bytes = std::move(bytes)] {
            for (size_t at = 0; at < bytes.size();) {
                ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
                if (n <= 0)
                    break;
                at += static_cast<size_t>(n);
            }
            ::close(fd);
        });
    }
    // Closing the read end ends a write that no one reads.
    ~PipeInput() {
        ::close(read_);
        writer_.join();
    }
    PipeInput(const PipeInput&) = delete;
    PipeInput& operator=(const PipeInput&) = delete;
    std::string path() const { return "/dev/fd/" + std::to_string(read_); }

  private:
    int read_ = -1;
    std::thread writer_;
};

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               (std::string("glimpack_test_") + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        host::Reset();
        std::filesystem::remove_all(dir_);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string Put(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
        pe_builder::WriteFile(Path(name), bytes);
        return Path(name);
    }

    // Runs one glimpack command body as main() would, capturing its output.
    int Run(const char* name, int (*body)(int, char**), std::vector<std::string> args,
            std::string* out = nullptr, std::string* err = nullptr) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int rc = glimpack::RunCommand(name, body, static_cast<int>(args.size()), argv.data());
        std::fflush(stdout);
        std::string o = ::testing::internal::GetCapturedStdout();
        std::string e = ::testing::internal::GetCapturedStderr();
        if (out)
            *out = o;
        if (err)
            *err = e;
        return rc;
    }

    std::filesystem::path dir_;
};

} // namespace tool_fixture

#endif
