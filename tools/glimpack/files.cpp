#include "tools/glimpack/files.h"

#include <cstdio>

#include "hostos/cleanup.h"
#include "hostos/os.h"
#include "package/errors.h"

namespace glimpack {
namespace {

std::string SystemReason() {
    return hostos::ErrorText(hostos::LastError());
}

} // namespace

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::vector<uint8_t> data;
    if (!hostos::ReadFile(path, &data))
        Fail(path, SystemReason());
    return data;
}

std::string DescribeNotRegular(hostos::Kind kind) {
    switch (kind) {
    case hostos::Kind::Directory:
        return "is a directory";
    case hostos::Kind::Link:
        return "is a symbolic link, junction or other reparse point (glimpack does not write "
               "through links)";
    case hostos::Kind::Other:
        return "is a device or other special file (glimpack writes only regular files)";
    default:
        return "cannot be looked at: " + SystemReason();
    }
}

void CheckOutputPath(const std::string& output, bool overwrite,
                     const std::vector<std::string>& inputs) {
    if (std::string problem = hostos::NameProblem(output); !problem.empty())
        Fail(output, problem);
    hostos::Status there = hostos::GetStatus(output, false);
    if (there.kind == hostos::Kind::Missing)
        return;
    if (there.kind != hostos::Kind::Regular)
        Fail(output, DescribeNotRegular(there.kind));
    for (const std::string& input : inputs) {
        if (hostos::SameFile(there, hostos::GetStatus(input, true)))
            Fail(output,
                 "is the same file as the input " + input + "; writing it would destroy the input");
    }
    if (!overwrite)
        Fail(output, "already exists (use --overwrite to replace it)");
}

AtomicOutput::AtomicOutput(const std::string& path, bool overwrite,
                           const std::vector<std::string>& inputs)
    : overwrite_(overwrite) {
    CheckOutputPath(path, overwrite, inputs);
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
    Finish();
    Publish();
}

void AtomicOutput::Finish() {
    if (!file_.Finish())
        Fail(file_.path(), "write error: " + hostos::ErrorText(file_.error()));
}

void AtomicOutput::Publish() {
    std::string path = file_.path();
    if (file_.Publish())
        return;
    if (file_.error() == hostos::NotRegularError())
        Fail(path, DescribeNotRegular(hostos::GetStatus(path, false).kind));
    if (hostos::IsAlreadyExists(file_.error()))
        Fail(path, "already exists (use --overwrite to replace it)");
    Fail(path, "write error: " + hostos::ErrorText(file_.error()));
}

ScratchDirectory::ScratchDirectory(const std::string& prefix, const std::string& parent) {
    std::string base = parent.empty() ? hostos::TempDirectory() : parent;
    // Made and registered with interruptions held back, so that no
    // interruption comes between the two.
    hostos::HoldInterrupts hold;
    if (!hostos::MakeTempDirectory(base + "/" + prefix + ".", &path_))
        Fail(base, "cannot create a working directory: " + SystemReason());
    cleanup_ = hostos::RegisterScratch(path_, true);
}

ScratchDirectory::~ScratchDirectory() {
    if (!path_.empty())
        hostos::RemoveTree(path_);
    hostos::ForgetScratch(cleanup_);
}

std::string DirectoryOf(const std::string& path) {
    std::string parent = hostos::DirectoryPart(path);
    return parent.empty() ? "." : parent;
}

MadeDirectories::~MadeDirectories() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it)
        hostos::RemoveDirectory(*it);
}

void MadeDirectories::Make(const std::string& path) {
    MakeDirectories(path, [this](const std::string& made) { made_.push_back(made); });
}

std::string ParentDirectory(const std::string& path) {
    std::string parent = hostos::DirectoryPart(path);
    while (parent.size() > 1 && (parent.back() == '/' || parent.back() == '\\'))
        parent.pop_back();
    return parent == path ? std::string() : parent;
}

void MakeDirectories(const std::string& path, const std::function<void(const std::string&)>& made) {
    if (std::string problem = hostos::NameProblem(path); !problem.empty())
        Fail(path, problem);
    hostos::Status st = hostos::GetStatus(path, true);
    if (st.kind == hostos::Kind::Directory)
        return;
    if (st.kind != hostos::Kind::Missing)
        Fail(path, st.kind == hostos::Kind::Error ? "cannot use as a directory: " + SystemReason()
                                                  : std::string("not a directory"));
    std::string parent = ParentDirectory(path);
    if (!parent.empty())
        MakeDirectories(parent, made);
    // Made and reported at once, so that a clean-up registered by `made`
    // cannot miss a folder an interruption leaves behind.
    hostos::HoldInterrupts hold;
    if (hostos::MakeDirectory(path)) {
        if (made)
            made(path);
        return;
    }
    // The reason is the system's answer to the making, taken before anything
    // else can overwrite it.
    const int error = hostos::LastError();
    if (hostos::GetStatus(path, true).kind != hostos::Kind::Directory)
        Fail(path, "cannot create directory: " + hostos::ErrorText(error));
}

std::string DefaultStubPath() {
    // The user's own choice first, then where an installed or unpacked
    // glimpack keeps its stub, then the one it was built with.
    if (std::string env = hostos::Environment("GLIMPACK_STUB"); !env.empty())
        return env;
    std::string exe = hostos::ExecutablePath();
    if (!exe.empty()) {
        std::string dir = hostos::DirectoryPart(exe);
        for (const char* place : {"glimsetup.exe", "../share/glimpack/glimsetup.exe"}) {
            std::string candidate = dir + place;
            if (hostos::GetStatus(candidate, true).kind == hostos::Kind::Regular)
                return candidate;
        }
    }
#ifdef GLIM_DEFAULT_STUB
    if (hostos::GetStatus(GLIM_DEFAULT_STUB, true).kind == hostos::Kind::Regular)
        return GLIM_DEFAULT_STUB;
#endif
    throw ToolError("no installer stub found: give --stub STUB or set GLIMPACK_STUB");
}

} // namespace glimpack
