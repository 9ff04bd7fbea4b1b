// A scratch folder per test and a way to run glimpack commands in-process
// with their output captured.
#ifndef GLIM_TESTS_SUPPORT_TOOL_FIXTURE_H
#define GLIM_TESTS_SUPPORT_TOOL_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "platform/host/host_world.h"
#include "testkit/packages/pe_builder.h"
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

// Sets an environment variable for the rest of the process ("" clears it as
// far as glimpack is concerned), with the one call POSIX systems and the
// Windows runtime share.
inline void SetEnvironment(const std::string& name, const std::string& value) {
    static std::list<std::string> kept; // putenv keeps the very string
    kept.push_back(name + "=" + value);
    ::putenv(kept.back().data());
}

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
