// Helpers shared by the fuzz targets and by the replay of the regression
// inputs: a private scratch directory per process, file writing, and the
// checks every target makes after each input (no descriptor leaked, nothing
// written where it does not belong).
#ifndef GLIM_TESTKIT_FUZZ_TARGETS_FUZZ_SUPPORT_H
#define GLIM_TESTKIT_FUZZ_TARGETS_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_support {

// A directory of this process's own below $TMPDIR (or /tmp), made on first
// use and removed at exit.
const std::string& WorkDirectory();

void WriteFile(const std::string& path, const uint8_t* data, size_t size);
// Removes everything below `dir`, keeping `dir` itself (made when missing).
void ClearDirectory(const std::string& dir);
// Paths of every file and directory below `root`, relative to it, "/"
// separated, sorted.
std::vector<std::string> ListTree(const std::string& root);

// Reports a broken property and aborts, so that the fuzzer keeps the input.
[[noreturn]] void Violation(const std::string& what);

// This process's open descriptors that lead to `dir` or below it, as
// "fd N -> PATH". Every file a target opens lies in its own work directory,
// while libFuzzer's and the sanitizers' descriptors never do, so this counts
// exactly the target's own handles, whatever else the process holds.
std::vector<std::string> DescriptorsUnder(const std::string& dir);
// Aborts naming every descriptor still open below the work directory.
void CheckNoDescriptorLeft();

// File name of the package for a selector byte: ordinary names, names with
// several dots or none, a name of 250 characters, one that yields no base
// name at all.
std::string PackageName(uint8_t selector);

} // namespace fuzz_support

#endif
