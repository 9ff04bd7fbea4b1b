// Host back end: each thread's world and the mapping of Windows paths onto
// host folders.
#include <cstring>

#include "base/windows_names.h"
#include "format/naming.h"
#include "hostos/os.h"
#include "platform/host/host_state.h"
#include "platform/platform.h"

namespace host {
namespace detail {

// One per thread: the tool checks packages on several threads at once, each
// opening its own under its own name; the installer's code, which asks for
// it without any context, runs on the thread that set it up.
State& GetState() {
    thread_local State state;
    return state;
}

static Faults* g_faults = nullptr;

Faults* GetFaults() {
    return g_faults;
}

std::string NormaliseSeparators(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '/')
            c = '\\';
    return out;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && EqualsIgnoringAsciiCase(a.data(), b.data(), a.size());
}

static std::string NormalisePrefix(const std::string& prefix) {
    std::string p = NormaliseSeparators(prefix);
    while (!p.empty() && p.back() == '\\')
        p.pop_back();
    return p;
}

// A component that names one file or directory (the installer's own rule).
static bool IsPlainName(const std::string& name) {
    return IsPlainWindowsName(name.c_str(), name.size()) != 0;
}

static const MountPoint* FindMount(const std::string& path) {
    const MountPoint* best = nullptr;
    for (const MountPoint& m : GetState().mounts) {
        const std::string& p = m.prefix;
        if (path.size() < p.size() || !EqualsIgnoreCase(path.substr(0, p.size()), p))
            continue;
        if (path.size() != p.size() && path[p.size()] != '\\')
            continue; // "C:\WINDOWSX" is not under "C:\WINDOWS"
        if (!best || p.size() > best->prefix.size())
            best = &m;
    }
    return best;
}

bool TakeComponents(const std::string& path, size_t pos, bool refuse_above_root,
                    std::vector<std::string>* components) {
    size_t start = 0, count = 0;
    while (NextPathComponent(path.data(), path.size(), &pos, &start, &count)) {
        std::string name = path.substr(start, count);
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (components->empty()) {
                if (refuse_above_root)
                    return false; // would climb above the root
                continue;
            }
            components->pop_back();
            continue;
        }
        name.resize(WithoutTrailingDotsAndBlanks(name.data(), name.size()));
        components->push_back(name);
    }
    return true;
}

bool SplitWindowsPath(const std::string& windows_path, SplitPath* out) {
    std::string path = NormaliseSeparators(windows_path);
    const MountPoint* mount = FindMount(path);
    if (!mount)
        return false;
    std::vector<std::string> components;
    if (!TakeComponents(path, mount->prefix.size(), true, &components))
        return false;
    for (const std::string& name : components) {
        if (!IsPlainName(name))
            return false;
    }
    out->mount = mount;
    out->components = components;
    return true;
}

// The entry of `dir` named `name` ignoring ASCII case; of several, the one
// first in byte order, so that the answer does not depend on directory order.
bool FindEntryIgnoringCase(const std::string& dir, const std::string& name, std::string* found) {
    std::vector<std::string> names;
    if (!hostos::ListDirectory(dir, &names))
        return false;
    bool any = false;
    for (const std::string& candidate : names) {
        if (EqualsIgnoreCase(candidate, name) && (!any || candidate < *found)) {
            *found = candidate;
            any = true;
        }
    }
    return any;
}

bool ResolveWindowsPath(const char* windows_path, std::string* host_path, bool* is_module) {
    if (is_module)
        *is_module = false;
    // Windows refuses paths of MAX_PATH characters or more; so does the host,
    // so that a path too long for the installer fails here as it would there.
    if (!windows_path || std::strlen(windows_path) >= MAX_PATH)
        return false;
    State& state = GetState();
    std::string path = NormaliseSeparators(windows_path);
    if (!state.module_windows.empty() &&
        EqualsIgnoreCase(path, NormaliseSeparators(state.module_windows))) {
        *host_path = state.module_host;
        if (is_module)
            *is_module = true;
        return true;
    }
    SplitPath split;
    if (!SplitWindowsPath(path, &split))
        return false;
    *host_path = host::ResolveBelow(split.mount->host_dir, split.components);
    return !host_path->empty();
}

} // namespace detail

using detail::GetState;

void Reset() {
    GetState() = detail::State();
}

void Mount(const std::string& windows_prefix, const std::string& host_dir) {
    std::string prefix = detail::NormalisePrefix(windows_prefix);
    for (detail::MountPoint& m : GetState().mounts) {
        if (detail::EqualsIgnoreCase(m.prefix, prefix)) {
            m.host_dir = host_dir;
            return;
        }
    }
    GetState().mounts.push_back({prefix, host_dir});
}

void SetWindowsDirectory(const std::string& host_dir, const std::string& windows_path) {
    GetState().windows_dir = windows_path;
    Mount(windows_path, host_dir);
}

void SetModuleFile(const std::string& host_file, const std::string& windows_path) {
    detail::State& state = GetState();
    state.module_host = host_file;
    if (host_file.empty()) {
        state.module_windows.clear();
        return;
    }
    if (!windows_path.empty()) {
        state.module_windows = windows_path;
        return;
    }
    state.module_windows = EMULATED_MODULE_FOLDER + hostos::FileNamePart(host_file);
}

std::string ResolveBelow(const std::string& root, const std::vector<std::string>& components) {
    std::string root_real;
    if (!hostos::RealPath(root, &root_real))
        return "";
    std::string current = root;
    bool exists = true; // `current` exists, so its entries can be looked up
    for (const std::string& name : components) {
        std::string next = current + "/" + name;
        if (exists) {
            std::string found;
            hostos::Status st = hostos::GetStatus(next, false);
            auto absent = [](const hostos::Status& s) {
                return s.kind == hostos::Kind::Missing || s.kind == hostos::Kind::Error;
            };
            if (absent(st)) {
                if (detail::FindEntryIgnoringCase(current, name, &found)) {
                    next = current + "/" + found;
                    st = hostos::GetStatus(next, false);
                    if (absent(st))
                        return "";
                } else {
                    exists = false;
                }
            }
            if (exists && st.kind == hostos::Kind::Link) {
                // A link is followed only when it stays inside the root; a
                // dangling one is refused, as creating through it would write
                // wherever it points.
                std::string real;
                if (!hostos::RealPath(next, &real) || !hostos::IsWithin(real, root_real))
                    return "";
            }
        }
        current = next;
    }
    return current;
}

std::string ToHostPath(const std::string& windows_path) {
    std::string host_path;
    if (!detail::ResolveWindowsPath(windows_path.c_str(), &host_path))
        return "";
    return host_path;
}

void SetFaults(Faults* faults) {
    detail::g_faults = faults;
}

} // namespace host
