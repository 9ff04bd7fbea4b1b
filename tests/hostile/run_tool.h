// What the hostile-input tests share: running a glimpack command in-process
// with its output captured, and listing what a run left in a directory.
#ifndef GLIM_TESTS_HOSTILE_RUN_TOOL_H
#define GLIM_TESTS_HOSTILE_RUN_TOOL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/glimpack/cli.h"
#include "tools/glimpack/files.h"

namespace hostile {

struct Output {
    int rc = -1;
    std::string out, err;
};

inline Output RunTool(const char* name, int (*body)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Output o;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    o.rc = glimpack::RunCommand(name, body, int(args.size()), argv.data());
    std::fflush(stdout);
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
}

// Every regular file below `root`, relative to it, sorted.
inline std::vector<std::string> Files(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file())
            files.push_back(fs::relative(it->path(), root).generic_string());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace hostile

#endif
