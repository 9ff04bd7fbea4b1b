#include "package/input.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "hostos/os.h"
#include "package/errors.h"

namespace glimpack {

FileInput::FileInput(const std::string& path, const std::string& name) : name_(name) {
    fd_ = hostos::OpenRead(path);
    if (fd_ < 0)
        Fail(name_, hostos::ErrorText(hostos::LastError()));
    TakeStatus();
}

FileInput::FileInput(StandardInputTag, const std::string& name)
    : name_(name), fd_(0), owned_(false) {
    hostos::SetBinaryOutput(0);
    TakeStatus();
}

void FileInput::TakeStatus() {
    hostos::Status st = hostos::GetStatus(fd_);
    if (st.kind == hostos::Kind::Directory) {
        // Say what reading it says ("Is a directory"), before any output.
        uint8_t byte = 0;
        long n = hostos::Read(fd_, &byte, 1);
        const int error = hostos::LastError();
        if (owned_)
            hostos::Close(fd_);
        fd_ = -1;
        Fail(name_, n < 0 ? hostos::ErrorText(error) : std::string("is a directory"));
    }
    // A regular file (standard input redirected from one included) can be
    // read again from where it started.
    if (st.kind == hostos::Kind::Regular) {
        int64_t at = hostos::Seek(fd_, 0, SEEK_CUR);
        if (at >= 0 && uint64_t(at) <= st.size) {
            start_ = uint64_t(at);
            size_ = st.size - start_;
        }
    }
}

FileInput::~FileInput() {
    if (fd_ >= 0 && owned_)
        hostos::Close(fd_);
}

size_t FileInput::Read(uint8_t* buffer, size_t capacity) {
    long n = hostos::Read(fd_, buffer, capacity);
    if (n < 0)
        Fail(name_, "read error: " + hostos::ErrorText(hostos::LastError()));
    return static_cast<size_t>(n);
}

void FileInput::Rewind() {
    if (!size_ || hostos::Seek(fd_, int64_t(start_), SEEK_SET) != int64_t(start_))
        Fail(name_, "cannot read it a second time: " + hostos::ErrorText(hostos::LastError()));
}

size_t MemoryInput::Read(uint8_t* buffer, size_t capacity) {
    const size_t n = std::min(capacity, data_.size() - next_);
    if (n)
        std::memcpy(buffer, data_.data() + next_, n);
    next_ += n;
    return n;
}

} // namespace glimpack
