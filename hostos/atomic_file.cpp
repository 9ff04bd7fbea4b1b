#include "hostos/atomic_file.h"

#include "hostos/cleanup.h"
#include "hostos/os.h"

namespace hostos {

AtomicFile::~AtomicFile() {
    Abandon();
}

bool AtomicFile::Fail() {
    error_ = LastError();
    Abandon();
    return false;
}

bool AtomicFile::Begin(const std::string& path, bool replace) {
    Abandon();
    path_ = path;
    replace_ = replace;
    committed_ = false;
    error_ = 0;
    // Made and registered with interruptions held back: one in between
    // would leave the scratch file behind.
    HoldInterrupts hold;
    fd_ = MakeTempFile(path + ".part", &scratch_);
    if (fd_ < 0) {
        error_ = LastError();
        scratch_.clear();
        return false;
    }
    cleanup_ = RegisterScratch(scratch_, false);
    return true;
}

bool AtomicFile::Write(const void* data, size_t size) {
    if (fd_ < 0)
        return false;
    if (size != 0 && !hostos::Write(fd_, data, size))
        return Fail();
    return true;
}

bool AtomicFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (fd_ < 0)
        return false;
    if (size != 0 && !hostos::WriteAt(fd_, offset, data, size))
        return Fail();
    return true;
}

bool AtomicFile::Truncate(uint64_t size) {
    if (fd_ < 0)
        return false;
    if (!hostos::Truncate(fd_, size) || Seek(fd_, static_cast<int64_t>(size), SEEK_SET) < 0)
        return Fail();
    return true;
}

bool AtomicFile::Commit() {
    return Finish() && Publish();
}

bool AtomicFile::Finish() {
    if (fd_ < 0)
        return !scratch_.empty();
    if (!Sync(fd_))
        return Fail();
    // The scratch file is private to its owner; give it the permissions of
    // the file it stands for.
    bool permissions_set = false;
    if (!permissions_from_.empty()) {
        Status original = GetStatus(permissions_from_, true);
        permissions_set = original.kind == Kind::Regular && CopyPermissions(permissions_from_, fd_);
    }
    if (!permissions_set)
        SetDefaultPermissions(fd_);
    int fd = fd_;
    fd_ = -1;
    if (!Close(fd))
        return Fail();
    return true;
}

bool AtomicFile::Publish() {
    if (fd_ >= 0 || scratch_.empty())
        return false;
    // Only a regular file is ever replaced: renaming over a device node, a
    // FIFO or a link would swap it for our file.
    Status there = GetStatus(path_, false);
    if (there.kind != Kind::Missing && (!replace_ || there.kind != Kind::Regular)) {
        error_ = there.kind == Kind::Regular ? AlreadyExistsError() : NotRegularError();
        Abandon();
        return false;
    }
    bool placed = replace_ ? RenameReplacing(scratch_, path_) : RenameNoReplace(scratch_, path_);
    if (!placed)
        return Fail();
    ForgetScratch(cleanup_);
    cleanup_ = 0;
    scratch_.clear();
    committed_ = true;
    return true;
}

void AtomicFile::Abandon() {
    if (fd_ >= 0) {
        Close(fd_);
        fd_ = -1;
    }
    if (!scratch_.empty()) {
        RemoveFile(scratch_);
        scratch_.clear();
    }
    if (cleanup_ != 0) {
        ForgetScratch(cleanup_);
        cleanup_ = 0;
    }
}

} // namespace hostos
