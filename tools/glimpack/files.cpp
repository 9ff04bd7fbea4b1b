#include "tools/glimpack/files.h"

#include <cstdio>
#include <cstdlib>

#include "hostos/os.h"
#include "package/errors.h"

namespace glimpack {
namespace {

std::string SystemReason() {
    return hostos::ErrorText(hostos::LastError());
}

bool Exists(const std::string& path) {
    return hostos::GetStatus(path, false).kind != hostos::Kind::Missing;
}

} // namespace

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::vector<uint8_t> data;
    if (!hostos::ReadFile(path, &data))
        Fail(path, SystemReason());
    return data;
}

AtomicOutput::AtomicOutput(const std::string& path, bool overwrite) : overwrite_(overwrite) {
    if (!overwrite_ && Exists(path))
        Fail(path, "already exists (use --overwrite to replace it)");
    if (!file_.Begin(path, overwrite_))
        Fail(path, "cannot create: " + hostos::ErrorText(file_.error()));
}

void AtomicOutput::Write(const void* data, size_t size) {
    if (!file_.Write(data, size))
        Fail(file_.path(), "write error: " + hostos::ErrorText(file_.error()));
}

void AtomicOutput::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (!file_.WriteAt(offset, data, size))
        Fail(file_.path(), "write error: " + hostos::ErrorText(file_.error()));
}

void AtomicOutput::Truncate(uint64_t size) {
    if (!file_.Truncate(size))
        Fail(file_.path(), "write error: " + hostos::ErrorText(file_.error()));
}

void AtomicOutput::Commit() {
    std::string path = file_.path();
    if (file_.Commit())
        return;
    if (!overwrite_ && hostos::IsAlreadyExists(file_.error()))
        Fail(path, "already exists (use --overwrite to replace it)");
    Fail(path, "write error: " + hostos::ErrorText(file_.error()));
}

ScratchDirectory::ScratchDirectory(const std::string& prefix, const std::string& parent) {
    std::string base = parent.empty() ? hostos::TempDirectory() : parent;
    if (!hostos::MakeTempDirectory(base + "/" + prefix + ".", &path_))
        Fail(base, "cannot create a working directory: " + SystemReason());
}

ScratchDirectory::~ScratchDirectory() {
    if (!path_.empty())
        hostos::RemoveTree(path_);
}

std::string DirectoryOf(const std::string& path) {
    std::string name = hostos::FileNamePart(path);
    std::string parent = path.substr(0, path.size() - name.size());
    return parent.empty() ? "." : parent;
}

void MakeDirectories(const std::string& path) {
    hostos::Status st = hostos::GetStatus(path, true);
    if (st.kind == hostos::Kind::Directory)
        return;
    if (st.kind != hostos::Kind::Missing)
        Fail(path, st.kind == hostos::Kind::Error ? "cannot use as a directory: " + SystemReason()
                                                  : std::string("not a directory"));
    MakeParentDirectories(path);
    if (!hostos::MakeDirectory(path) &&
        hostos::GetStatus(path, true).kind != hostos::Kind::Directory)
        Fail(path, "cannot create directory: " + SystemReason());
}

void MakeParentDirectories(const std::string& path) {
    std::string name = hostos::FileNamePart(path);
    std::string parent = path.substr(0, path.size() - name.size());
    while (parent.size() > 1 && (parent.back() == '/' || parent.back() == '\\'))
        parent.pop_back();
    if (!parent.empty() && parent != path)
        MakeDirectories(parent);
}

std::string DefaultStubPath() {
    std::string exe = hostos::ExecutablePath();
    if (!exe.empty()) {
        std::string name = hostos::FileNamePart(exe);
        std::string beside = exe.substr(0, exe.size() - name.size()) + "glimsetup.exe";
        if (hostos::GetStatus(beside, true).kind == hostos::Kind::Regular)
            return beside;
    }
    if (const char* env = std::getenv("GLIMPACK_STUB"); env && *env)
        return env;
#ifdef GLIM_DEFAULT_STUB
    return GLIM_DEFAULT_STUB;
#else
    throw ToolError("no installer stub: give --stub or set GLIMPACK_STUB");
#endif
}

} // namespace glimpack
