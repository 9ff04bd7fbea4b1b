// Replays every saved input below tests/regress/TARGET/ through its fuzz
// target. A target aborts on a broken property, so each input runs in a
// child process and the test reports which input failed and how.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/targets.h"

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"payload_walk", FuzzPayloadWalk},   {"decoder", FuzzDecoder},
    {"differential", FuzzDifferential},  {"glimpack", FuzzGlimpack},
    {"installer", FuzzInstallerExtract},
};

void PrintTo(const Target& t, std::ostream* os) {
    *os << t.name;
}

class Replay : public ::testing::TestWithParam<Target> {};

TEST_P(Replay, SavedInputsPass) {
    fs::path dir = fs::path(GLIM_REGRESS_DIR) / GetParam().name;
    if (!fs::is_directory(dir))
        GTEST_SKIP() << "no saved inputs for " << GetParam().name;
    int replayed = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        std::fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The commands' messages about a bad input are expected; keep the
            // test log to the failures.
            if (!std::freopen("/dev/null", "w", stdout))
                _exit(3);
            alarm(120);
            GetParam().run(bytes.data(), bytes.size());
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << entry.path() << ": "
            << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                    : "exit code " + std::to_string(WEXITSTATUS(status)));
        ++replayed;
    }
    RecordProperty("replayed", replayed);
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
