// glimpack list, test and extract over an arbitrary package. The commands may
// refuse the package but must not crash, and extraction must write nothing
// but finished files below its target: no temporary ".part" file is left,
// nothing appears beside the target, and without -d a failed extraction
// leaves no directory at all.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/host_world.h"
#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace {

int Run(const char* name, int (*body)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return glimpack::RunCommand(name, body, int(args.size()), argv.data());
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

int FuzzGlimpack(const uint8_t* data, size_t size) {
    using fuzz_support::Violation;
    if (size < 1)
        return 0;
    const std::string root = fuzz_support::WorkDirectory() + "/glimpack";
    const std::string name = fuzz_support::PackageName(data[0]);
    const bool default_target = (data[0] & 0x80) != 0;
    fuzz_support::ClearDirectory(root);
    fuzz_support::ClearDirectory(root + "/pkg");
    fuzz_support::ClearDirectory(root + "/cwd");
    const std::string package = root + "/pkg/" + name;
    fuzz_support::WriteFile(package, data + 1, size - 1);

    for (int rc : {Run("list", glimpack::CmdList, {package}),
                   Run("list", glimpack::CmdList, {"--json", package}),
                   Run("test", glimpack::CmdTest, {"-q", "--max-size", "1M", package})}) {
        if (rc != glimpack::kExitOk && rc != glimpack::kExitBadInput)
            Violation("list/test ended with exit code " + std::to_string(rc));
    }

    // Extraction: into root/win with -d, or without -d from root/cwd, where
    // it names its directory after the package.
    std::string stem = name.substr(0, name.rfind('.'));
    int rc;
    if (default_target) {
        std::string here = std::filesystem::current_path().string();
        std::filesystem::current_path(root + "/cwd");
        rc = Run("extract", glimpack::CmdExtract, {"-q", "--max-size", "1M", package});
        std::filesystem::current_path(here);
    } else {
        rc = Run("extract", glimpack::CmdExtract,
                 {"-q", "--max-size", "1M", "-d", root + "/win", package});
    }
    if (rc != glimpack::kExitOk && rc != glimpack::kExitBadInput && rc != glimpack::kExitUsage)
        Violation("extract ended with exit code " + std::to_string(rc));

    for (const std::string& entry : fuzz_support::ListTree(root)) {
        if (entry.find(".part") != std::string::npos)
            Violation("temporary file left behind: " + entry);
        bool allowed = entry == "pkg" || entry == "pkg/" + name || entry == "cwd" ||
                       entry == "win" || StartsWith(entry, "win/") ||
                       (rc == glimpack::kExitOk && StartsWith(entry, "cwd/" + stem));
        if (!allowed)
            Violation("extract wrote outside its target: " + entry);
    }
    if (rc != glimpack::kExitOk && default_target && !fuzz_support::ListTree(root + "/cwd").empty())
        Violation("failed extraction left a directory behind");

    fuzz_support::CheckNoDescriptorLeft();
    host::Reset();
    return 0;
}
