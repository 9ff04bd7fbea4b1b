// Replays every checked-in input of a fuzz target through it: the inputs that
// once broke it (tests/regress/TARGET/) and its corpus (fuzz/corpus/TARGET/).
// A target aborts on a broken property, so each input runs in a child process
// and the test reports which input failed and how.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"payload_walk", FuzzPayloadWalk},   {"decoder", FuzzDecoder},
    {"differential", FuzzDifferential},  {"glimpack", FuzzGlimpack},
    {"installer", FuzzInstallerExtract}, {"finder", FuzzFinder},
};

void PrintTo(const Target& t, std::ostream* os) {
    *os << t.name;
}

class Replay : public ::testing::TestWithParam<Target> {};

TEST_P(Replay, SavedInputsPass) {
    int replayed = 0;
    std::vector<fs::path> dirs = {fs::path(GLIM_REGRESS_DIR) / GetParam().name};
    // Under Valgrind (cmake/static-checks.sh) the corpus would take an hour;
    // the sanitized build replays it on every test run.
    if (!std::getenv("GLIM_REPLAY_REGRESS_ONLY"))
        dirs.push_back(fs::path(GLIM_FUZZ_CORPUS_DIR) / GetParam().name);
    for (const fs::path& dir : dirs) {
        std::error_code ec;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
            std::fflush(nullptr);
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                // The commands' messages about a bad input are expected; keep
                // the test log to the failures.
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
    }
    // Every target has a checked-in corpus; none found means a broken checkout
    // or a renamed target, not a pass.
    if (dirs.size() > 1) {
        EXPECT_GT(replayed, 0) << "no inputs for " << GetParam().name;
    }
    RecordProperty("replayed", replayed);
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name);
                         });

// The targets' leak check counts the target's own handles only: those that
// lead into its work directory, not the descriptors the fuzzer or the
// sanitizers hold elsewhere.
TEST(DescriptorCheck, SeesOnlyFilesOfTheWorkDirectory) {
    const std::string dir = fuzz_support::WorkDirectory();
    const std::string file = dir + "/held.bin";
    fuzz_support::WriteFile(file, nullptr, 0);
    EXPECT_TRUE(fuzz_support::DescriptorsUnder(dir).empty());

    int elsewhere = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(elsewhere, 0);
    EXPECT_TRUE(fuzz_support::DescriptorsUnder(dir).empty());

    int held = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    std::vector<std::string> open_now = fuzz_support::DescriptorsUnder(dir);
    ASSERT_EQ(open_now.size(), 1u);
    EXPECT_EQ(open_now[0], "fd " + std::to_string(held) + " -> " + file);

    close(held);
    close(elsewhere);
    EXPECT_TRUE(fuzz_support::DescriptorsUnder(dir).empty());
}

} // namespace
