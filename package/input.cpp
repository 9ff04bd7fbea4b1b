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
    hostos::Status st = hostos::GetStatus(fd_);
    if (st.kind == hostos::Kind::Directory) {
        // Say what reading it says ("Is a directory"), before any output.
        uint8_t byte = 0;
        long n = hostos::Read(fd_, &byte, 1);
        const int error = hostos::LastError();
        hostos::Close(fd_);
        fd_ = -1;
        Fail(name_, n < 0 ? hostos::ErrorText(error) : std::string("is a directory"));
    }
    if (st.kind == hostos::Kind::Regular)
        size_ = st.size;
}

FileInput::~FileInput() {
    if (fd_ >= 0)
        hostos::Close(fd_);
}

size_t FileInput::Read(uint8_t* buffer, size_t capacity) {
    long n = hostos::Read(fd_, buffer, capacity);
    if (n < 0)
        Fail(name_, "read error: " + hostos::ErrorText(hostos::LastError()));
    return static_cast<size_t>(n);
}

void FileInput::Rewind() {
    if (!size_ || hostos::Seek(fd_, 0, SEEK_SET) != 0)
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
