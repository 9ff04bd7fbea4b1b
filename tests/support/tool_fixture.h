// A scratch folder per test and a way to run glimpack commands in-process
// with their output captured.
#ifndef GLIM_TESTS_SUPPORT_TOOL_FIXTURE_H
#define GLIM_TESTS_SUPPORT_TOOL_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

// A named pipe at `path` that a thread fills with `bytes` once a reader
// opens it: an input that has no size and cannot be read twice.
class PipeWriter {
  public:
    PipeWriter(const std::string& path, std::vector<uint8_t> bytes)
        : path_(path), bytes_(std::move(bytes)) {
        std::signal(SIGPIPE, SIG_IGN); // a reader that stops early is not a crash
        made_ = ::mkfifo(path_.c_str(), 0600) == 0;
        EXPECT_TRUE(made_) << path_;
        if (made_)
            thread_ = std::thread([this] { Fill(); });
    }
    // Waits for the thread, which gives up if no reader ever came.
    ~PipeWriter() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        ::unlink(path_.c_str());
    }
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;

  private:
    void Fill() {
        int fd = -1;
        // Opening for writing without a reader fails at once (ENXIO) rather
        // than blocking, so the thread can be told to give up.
        while (fd < 0 && !stop_) {
            fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                std::this_thread::yield();
        }
        if (fd < 0)
            return;
        ::fcntl(fd, F_SETFL, 0);
        for (size_t at = 0; at < bytes_.size();) {
            ssize_t n = ::write(fd, bytes_.data() + at, bytes_.size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        ::close(fd);
    }

    std::string path_;
    std::vector<uint8_t> bytes_;
    bool made_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
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
