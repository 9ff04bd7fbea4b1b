// Every package of the hostile table through glimpack (list, test, extract)
// and through the installer's own run, each with the outcome it must have:
// a refused package gives one line naming the file and the problem, exit
// code 2 and nothing written; an accepted one extracts; and neither the tool
// nor the installer ever writes outside the directories it owns, crashes or
// hangs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/host/host_world.h"
#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"
#include "testkit/packages/hostile_packages.h"
#include "tests/hostile/run_tool.h"
#include "tests/support/problem_codes.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace hostile {
// Test names and failure messages show the case by its id.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.id;
}
} // namespace hostile

namespace {

namespace fs = std::filesystem;
using hostile::Case;
using hostile::Expect;

using hostile::Files;
using hostile::Output;
using hostile::RunTool;

// Text that a terminal would act on: control characters other than the line
// break, and the escape character above all.
bool HasControlCharacters(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\n') || u == 0x7F;
    });
}

// What the line of a refusal says before the problem: "record N: " when
// the case's first problem belongs to a record.
std::string RecordPrefix(const Case& c) {
    size_t at = c.problem.find('@');
    return at == std::string::npos ? "" : "record " + c.problem.substr(at + 1) + ": ";
}

int Lines(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.id;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class HostilePackage : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        static int counter = 0;
        root_ = fs::temp_directory_path() /
                ("glim-hostile-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(root_);
        fs::create_directories(root_ / "pkg");
        package_ = (root_ / "pkg" / GetParam().file_name).string();
        std::FILE* f = std::fopen(package_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::vector<uint8_t>& bytes = GetParam().bytes;
        if (!bytes.empty()) {
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        std::fclose(f);
    }
    void TearDown() override {
        host::Reset();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Nothing but the package and what lies below `allowed` exists.
    void ExpectOnlyPackageAnd(const std::string& allowed) {
        std::string package_entry = "pkg/" + GetParam().file_name;
        for (const std::string& f : Files(root_)) {
            bool ok = f == package_entry || (!allowed.empty() && f.rfind(allowed + "/", 0) == 0);
            EXPECT_TRUE(ok) << "written outside its directory: " << f;
            EXPECT_EQ(f.find(".part"), std::string::npos) << "temporary file left: " << f;
        }
    }

    fs::path root_;
    std::string package_;
};

TEST_P(HostilePackage, ExtractRefusesWithOneLineOrExtractsEverything) {
    const Case& c = GetParam();
    std::vector<std::string> args = {"-d", (root_ / "out").string()};
    args.insert(args.end(), c.extract_options.begin(), c.extract_options.end());
    args.push_back(package_);
    Output o = RunTool("extract", glimpack::CmdExtract, args);
    if (c.expect == Expect::Refused) {
        EXPECT_EQ(o.rc, glimpack::kExitBadInput) << o.err;
        EXPECT_EQ(Lines(o.err), 1) << o.err;
        EXPECT_EQ(o.err.rfind("glimpack: " + package_ + ": " + RecordPrefix(c), 0), 0u) << o.err;
        EXPECT_FALSE(HasControlCharacters(o.err)) << o.err;
        EXPECT_TRUE(o.out.empty()) << o.out;
        EXPECT_EQ(Files(root_ / "out"), std::vector<std::string>{});
    } else {
        EXPECT_EQ(o.rc, glimpack::kExitOk) << o.err;
        EXPECT_TRUE(o.err.empty()) << o.err;
        EXPECT_FALSE(HasControlCharacters(o.out)) << o.out;
        EXPECT_EQ(Files(root_ / "out").size(), 4u);
    }
    ExpectOnlyPackageAnd("out");
}

TEST_P(HostilePackage, TestReportsTheProblem) {
    const Case& c = GetParam();
    Output o = RunTool("test", glimpack::CmdTest, {package_});
    Output json = RunTool("test", glimpack::CmdTest, {"--json", package_});
    EXPECT_EQ(o.rc, json.rc) << o.out << o.err;
    if (c.expect == Expect::Refused) {
        EXPECT_EQ(o.rc, glimpack::kExitBadInput) << o.out << o.err;
        std::vector<std::string> codes = problem_codes::Of(json.out);
        ASSERT_FALSE(codes.empty()) << json.out;
        EXPECT_EQ(codes.front(), c.problem) << json.out;
    } else {
        EXPECT_EQ(o.rc, glimpack::kExitOk) << o.out << o.err;
        EXPECT_EQ(problem_codes::Of(json.out), std::vector<std::string>{}) << json.out;
    }
    EXPECT_FALSE(HasControlCharacters(o.out + o.err)) << o.out << o.err;
    ExpectOnlyPackageAnd("");
}

TEST_P(HostilePackage, ListShowsOrRefusesWithOneLine) {
    const Case& c = GetParam();
    for (bool json : {false, true}) {
        std::vector<std::string> args = {package_};
        if (json)
            args.insert(args.begin(), "--json");
        Output o = RunTool("list", glimpack::CmdList, args);
        if (c.list_fails) {
            // One line saying why; with --json, also the one object that
            // says it by its code.
            EXPECT_EQ(o.rc, glimpack::kExitBadInput) << o.out;
            EXPECT_EQ(Lines(o.err), 1) << o.err;
            EXPECT_EQ(o.err.rfind("glimpack: " + package_ + ": ", 0), 0u) << o.err;
            if (json)
                EXPECT_EQ(problem_codes::Of(o.out), std::vector<std::string>{c.problem}) << o.out;
            else
                EXPECT_TRUE(o.out.empty()) << o.out;
        } else if (c.expect == Expect::Refused) {
            // Shown with its problems, and refused like test refuses it.
            EXPECT_EQ(o.rc, glimpack::kExitBadInput) << o.out << o.err;
            EXPECT_TRUE(o.err.empty()) << o.err;
            if (json) {
                std::vector<std::string> codes = problem_codes::Of(o.out);
                ASSERT_FALSE(codes.empty()) << o.out;
                EXPECT_EQ(codes.front(), c.problem) << o.out;
            }
            EXPECT_NE(o.out.find(json ? "\"ok\": false" : " problems\n"), std::string::npos)
                << o.out;
        } else {
            EXPECT_EQ(o.rc, glimpack::kExitOk) << o.err;
        }
        EXPECT_FALSE(HasControlCharacters(o.out + o.err)) << o.out << o.err;
    }
    ExpectOnlyPackageAnd("");
}

// One verdict: list, test and extract accept or refuse each package alike,
// and name the same problem.
TEST_P(HostilePackage, ListTestAndExtractAgree) {
    const Case& c = GetParam();
    std::vector<std::string> limits = c.extract_options;
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), limits.begin(), limits.end());
        args.push_back(package_);
        return args;
    };
    Output list = RunTool("list", glimpack::CmdList, with({}));
    Output test = RunTool("test", glimpack::CmdTest, with({"-q"}));
    Output extract =
        RunTool("extract", glimpack::CmdExtract, with({"-q", "-d", (root_ / "out").string()}));
    EXPECT_EQ(list.rc, test.rc) << list.out << list.err << test.out << test.err;
    EXPECT_EQ(test.rc, extract.rc) << test.out << test.err << extract.err;
    // extract's one line names first what test names first, in the same words.
    if (c.expect == Expect::Refused) {
        Output json = RunTool("test", glimpack::CmdTest, with({"--json"}));
        std::smatch first;
        std::regex text(R"re("problems": \[\{"code": "[^"]*", "text": "((?:[^"\\]|\\.)*)")re");
        ASSERT_TRUE(std::regex_search(json.out, first, text)) << json.out;
        const std::string quoted = first[1].str();
        std::string said; // the JSON string's text
        for (size_t i = 0; i < quoted.size(); i++)
            said += quoted[i] == '\\' && i + 1 < quoted.size() ? quoted[++i] : quoted[i];
        EXPECT_NE(extract.err.find(RecordPrefix(c) + said), std::string::npos)
            << extract.err << json.out;
    }
}

// The whole installation through the host back end, in a child process so
// that a crash, a hang (ended by an alarm) or the installer's silent exit on
// a write error cannot take the test program with it. The child's own checks
// (fuzz/installer_fuzz.cpp) abort it when anything is written outside the
// Windows and data directories.
TEST_P(HostilePackage, InstallerEndsAndWritesOnlyWhereItShould) {
    const Case& c = GetParam();
    int selector = 0;
    for (int s = 0; s < 8; ++s)
        if (fuzz_support::PackageName(uint8_t(s)) == c.file_name)
            selector = s;
    std::vector<uint8_t> input{uint8_t(selector)};
    input.insert(input.end(), c.bytes.begin(), c.bytes.end());
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        FuzzInstallerExtract(input.data(), input.size());
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status))
        << "ended by signal " << WTERMSIG(status) << (WTERMSIG(status) == SIGALRM ? " (hung)" : "");
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostilePackage, ::testing::ValuesIn(hostile::AllCases()), CaseName);

} // namespace
