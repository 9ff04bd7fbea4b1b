// Host back end, internal: each thread's world behind host_world.h and the
// path resolution shared by the emulated Windows calls.
#ifndef GLIM_PLATFORM_HOST_HOST_STATE_H
#define GLIM_PLATFORM_HOST_HOST_STATE_H

#include <string>
#include <vector>

#include "format/naming.h"
#include "platform/host/host_world.h"

namespace host {
namespace detail {

struct MountPoint {
    std::string prefix;   // normalised: "\" separators, no trailing "\" ("C:", "C:\WINDOWS")
    std::string host_dir; // as given
};

struct State {
    std::vector<MountPoint> mounts;
    std::string windows_dir = EMULATED_WINDOWS_DIRECTORY;
    std::string module_windows; // empty: no module file set
    std::string module_host;
};

State& GetState();
// The fakes' failures, or nullptr.
Faults* GetFaults();

// Replaces "/" by "\".
std::string NormaliseSeparators(const std::string& path);
bool EqualsIgnoreCase(const std::string& a, const std::string& b);

// A Windows path taken apart: the mount it lies under and its components below
// the mount root, with "." dropped, ".." applied and trailing dots and blanks
// removed as Windows does. Fails for a path under no mount, one that climbs
// above its mount root, or one with a component that is not a plain name.
struct SplitPath {
    const MountPoint* mount = nullptr;
    std::vector<std::string> components;
};
bool SplitWindowsPath(const std::string& windows_path, SplitPath* out);

// Appends to `components` those of `path` from `pos` on, as Windows reads
// them: empty ones and "." dropped, ".." taking the last one back (or, at the
// root, refused with refuse_above_root, else ignored), trailing dots and
// blanks removed. Names are not judged here. Returns false when refused.
bool TakeComponents(const std::string& path, size_t pos, bool refuse_above_root,
                    std::vector<std::string>* components);

// The entry of `dir` named `name` ignoring ASCII case; of several, the one
// first in byte order.
bool FindEntryIgnoringCase(const std::string& dir, const std::string& name, std::string* found);

// Host path for a Windows path: the installer's own file for its exact module
// path, otherwise the mounted folder plus each component matched without
// regard to case. Returns false when the path is refused or would lead outside
// its mount (through a symbolic link). `is_module` tells whether the answer is
// the installer's own file (which is never opened for writing).
bool ResolveWindowsPath(const char* windows_path, std::string* host_path,
                        bool* is_module = nullptr);

} // namespace detail
} // namespace host

#endif
