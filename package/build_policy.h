// What a package must pass on its way to being published, the same for
// `glimpack pack` and the page's build: its names before any input is read,
// and the verdict `test` gives before the finished package appears under its
// name. So nothing builds a package that test, extract or the installer
// would refuse.
#ifndef GLIM_PACKAGE_BUILD_POLICY_H
#define GLIM_PACKAGE_BUILD_POLICY_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/build.h"
#include "package/read.h"

namespace glimpack {

// The inputs of the package `output` (its file name decides what the
// installer installs): the saver, the data file and one per name in
// `data_files`, with their extensions set and nothing else. Every
// destination they would have is judged as the verdict on the finished
// package will judge it, and nothing is read. Throws ToolError naming the
// data file whose extension cannot be used, or `output` with the first
// destination refused ("record 0: destination ...").
std::vector<PackInput> PlanInputs(const std::string& output, uint16_t first_number,
                                  const std::vector<std::string>& data_files);

// Reports checking progress: bytes of contents just checked, of `total`.
using CheckProgress = std::function<void(uint64_t bytes, uint64_t total)>;

// The verdict test gives, on the package just built at `built_path`, read as
// the installer will see it under the file name of `output`. Throws ToolError
// naming `output` unless it passes.
void CheckBuiltPackage(const std::string& built_path, const std::string& output,
                       const Limits& limits, const CheckProgress& progress = nullptr);

// Where a package is built: a PackageOutput that, once everything is
// written, can be read back as a file under a name of its own (a scratch
// file beside the final one, a file of the page's own file system).
class PackTarget : public PackageOutput {
  public:
    // Makes what was written readable; returns the path to read it at.
    virtual std::string Finish() = 0;
};

// The pack flow after the names are planned, the same for `glimpack pack`
// and the page: builds the package described by `options` into `target`,
// finishes it and gives it the verdict test gives (CheckBuiltPackage), so
// that nothing is published that test would refuse. Throws ToolError
// (naming options.output) on any failure; publishing is the caller's.
void BuildCheckedPackage(const PackOptions& options, PackTarget& target, const Limits& limits,
                         const CheckProgress& check_progress = nullptr);

} // namespace glimpack

#endif
