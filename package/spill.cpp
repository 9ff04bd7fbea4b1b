#include "package/spill.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "hostos/os.h"
#include "package/errors.h"

namespace glimpack {
namespace {

// Memory is taken in blocks, so that a spool holds what it was given and
// not what a growing buffer would round it up to.
constexpr size_t kBlock = 64 * 1024;

class ScratchSpool : public encoder::Spool {
  public:
    ScratchSpool(const std::string& directory, size_t memory)
        : directory_(directory), memory_(memory) {}
    ~ScratchSpool() override {
        if (fd_ >= 0)
            hostos::Close(fd_);
    }
    ScratchSpool(const ScratchSpool&) = delete;
    ScratchSpool& operator=(const ScratchSpool&) = delete;

    void Write(const uint8_t* data, size_t size) override {
        while (size > 0 && (directory_.empty() || held_ < memory_)) {
            if (blocks_.empty() || blocks_.back().size() == kBlock) {
                blocks_.emplace_back();
                blocks_.back().reserve(kBlock);
            }
            std::vector<uint8_t>& block = blocks_.back();
            size_t n = std::min(size, kBlock - block.size());
            if (!directory_.empty())
                n = std::min(n, memory_ - held_);
            block.insert(block.end(), data, data + n);
            held_ += n;
            data += n;
            size -= n;
        }
        if (size == 0)
            return;
        if (fd_ < 0) {
            fd_ = hostos::MakeScratchFile(directory_);
            if (fd_ < 0)
                Fail(directory_, "cannot make a scratch file: " + Reason());
        }
        if (!hostos::Write(fd_, data, size))
            Fail(directory_, "cannot write a scratch file: " + Reason());
    }

    void CopyTo(encoder::Sink& out) override {
        for (const std::vector<uint8_t>& block : blocks_)
            out.Write(block.data(), block.size());
        if (fd_ < 0)
            return;
        if (hostos::Seek(fd_, 0, SEEK_SET) != 0)
            Fail(directory_, "cannot read a scratch file: " + Reason());
        std::vector<uint8_t> buffer(kBlock);
        for (;;) {
            long n = hostos::Read(fd_, buffer.data(), buffer.size());
            if (n < 0)
                Fail(directory_, "cannot read a scratch file: " + Reason());
            if (n == 0)
                break;
            out.Write(buffer.data(), static_cast<size_t>(n));
        }
    }

  private:
    static std::string Reason() { return hostos::ErrorText(hostos::LastError()); }

    std::string directory_;
    size_t memory_;
    std::vector<std::vector<uint8_t>> blocks_;
    size_t held_ = 0;
    int fd_ = -1;
};

} // namespace

std::unique_ptr<encoder::Spool> ScratchSpoolStore::NewSpool() {
    return std::make_unique<ScratchSpool>(directory_, memory_);
}

} // namespace glimpack
