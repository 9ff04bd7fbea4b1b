// Where the bytes of a package's file come from while it is built: a file
// read in pieces, or memory. The build reads each input as it writes its
// body, and a second time when compressing it did not pay and it is stored
// after all.
#ifndef GLIM_PACKAGE_INPUT_H
#define GLIM_PACKAGE_INPUT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "encoder/encoder.h"

namespace glimpack {

// Read errors are ToolErrors naming the input.
class InputSource : public encoder::Source {
  public:
    // How many bytes the source will give, when that is known beforehand.
    virtual std::optional<uint64_t> Size() const { return std::nullopt; }
    // Whether Rewind can start the input over.
    virtual bool Rewindable() const { return false; }
    // Starts over from the first byte.
    virtual void Rewind() {}
};

// A file, open from construction on. A regular file can be read twice; a
// pipe or device cannot, and its size is only known at its end.
class FileInput : public InputSource {
  public:
    // Opens `path`; problems are ToolErrors naming `name`.
    FileInput(const std::string& path, const std::string& name);
    // Standard input, read as bytes (never closed here).
    struct StandardInputTag {};
    FileInput(StandardInputTag, const std::string& name);
    ~FileInput() override;
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    size_t Read(uint8_t* buffer, size_t capacity) override;
    std::optional<uint64_t> Size() const override { return size_; }
    bool Rewindable() const override { return size_.has_value(); }
    void Rewind() override;

  private:
    void TakeStatus();

    std::string name_;
    int fd_ = -1;
    bool owned_ = true;
    uint64_t start_ = 0;           // where reading began (standard input may be part-read)
    std::optional<uint64_t> size_; // of what is left from there; regular files only
};

// Bytes in memory (a copy of them).
class MemoryInput : public InputSource {
  public:
    explicit MemoryInput(std::vector<uint8_t> data) : data_(std::move(data)) {}
    size_t Read(uint8_t* buffer, size_t capacity) override;
    std::optional<uint64_t> Size() const override { return data_.size(); }
    bool Rewindable() const override { return true; }
    void Rewind() override { next_ = 0; }

  private:
    std::vector<uint8_t> data_;
    size_t next_ = 0;
};

} // namespace glimpack

#endif
