#include "package/build.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "base/ascii.h"
#include "format/naming.h"
#include "hostos/os.h"
#include "package/errors.h"
#include "package/problems.h"
#include "package/stub.h"
#include "package/text.h"

namespace glimpack {

std::string PackageTitle(const std::string& utf8, const std::string& subject) {
    std::string problem;
    std::optional<std::string> converted = Utf8ToWindows1252(utf8, &problem);
    if (!converted)
        Refuse(subject, ProblemCode::kTitleNotWindows1252, {problem});
    if (converted->size() > PAYLOAD_TITLE_SIZE)
        Refuse(subject, ProblemCode::kTitleTooLong, {std::to_string(converted->size())});
    return *converted;
}

uint16_t ParseFirstFileNumber(const std::string& text, const std::string& subject) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError(subject + " needs a decimal number, not \"" +
                         EscapeForDisplay(text, true) + "\"");
    size_t digits = text.find_first_not_of('0');
    std::string significant = digits == std::string::npos ? "0" : text.substr(digits);
    if (significant.size() > 5 || std::stoul(significant) > 65535)
        Fail(subject, text + " is over 65535");
    return static_cast<uint16_t>(std::stoul(significant));
}

namespace {

// Stored bodies are copied in pieces of this size.
constexpr size_t kCopyBlock = 256 * 1024;

// The package as written so far, and its size.
class Writer : public encoder::Sink {
  public:
    explicit Writer(PackageOutput* out) : out_(out) {}
    void Write(const uint8_t* data, size_t size) override {
        out_->Write(data, size);
        size_ += size;
    }
    void WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
        out_->WriteAt(offset, data, size);
    }
    void Truncate(uint64_t size) {
        out_->Truncate(size);
        size_ = size;
    }
    uint64_t size() const { return size_; }

  private:
    PackageOutput* out_;
    uint64_t size_ = 0;
};

[[noreturn]] void FailTooLarge(const std::string& output, uint64_t size) {
    Refuse(output, ProblemCode::kPackageTooLarge,
           {std::to_string(size), std::to_string(PACKAGE_MAX_SIZE)});
}

// An input read once, with a copy of what was read kept for storing it.
class CopyingSource : public encoder::Source {
  public:
    CopyingSource(encoder::Source* in, encoder::Spool* copy) : in_(in), copy_(copy) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        size_t n = in_->Read(buffer, capacity);
        if (copy_ && n)
            copy_->Write(buffer, n);
        return n;
    }

  private:
    encoder::Source* in_;
    encoder::Spool* copy_;
};

// Copies what is left of `in` to `out`; `before` bytes of the body are
// already there. Returns the body's size.
uint64_t CopyStored(const std::string& name, encoder::Source& in, Writer& out, uint64_t before) {
    std::vector<uint8_t> buffer(kCopyBlock);
    uint64_t size = before;
    for (;;) {
        size_t n = in.Read(buffer.data(), buffer.size());
        if (n == 0)
            return size;
        size += n;
        if (size > PACKAGE_MAX_SIZE)
            Refuse(name, ProblemCode::kInputTooLarge);
        out.Write(buffer.data(), n);
    }
}

struct Body {
    uint64_t stored_size;
    uint32_t unpacked_size; // 0: stored
};

// An input as the build reads it: the bytes counted for the progress report,
// and a file that grows past the limit (a pipe that does not end, a file
// still being written) refused as soon as it does.
class CountedInput : public InputSource {
  public:
    using Report = std::function<void(uint64_t bytes)>;
    CountedInput(InputSource* in, std::string name, uint64_t limit, Report report)
        : in_(in), name_(std::move(name)), limit_(limit), report_(std::move(report)) {}

    size_t Read(uint8_t* buffer, size_t capacity) override {
        size_t n = in_->Read(buffer, capacity);
        read_ += n;
        if (read_ > limit_)
            Refuse(name_, ProblemCode::kInputGrewOverLimit,
                   {Count(limit_), limit_ < PACKAGE_MAX_SIZE ? " (see --max-size)"
                                                             : " of what a package can hold"});
        if (report_ && n)
            report_(read_);
        return n;
    }
    std::optional<uint64_t> Size() const override { return in_->Size(); }
    bool Rewindable() const override { return in_->Rewindable(); }
    void Rewind() override {
        in_->Rewind();
        read_ = 0;
    }

  private:
    InputSource* in_;
    std::string name_;
    uint64_t limit_;
    Report report_;
    uint64_t read_ = 0;
};

// Writes the body of `in` at the end of `out`: compressed, straight into the
// package, unless that does not make it smaller, in which case the bytes
// written are cut off again and the file is stored (ties are stored).
Body WriteBody(const PackOptions& options, const std::string& name, InputSource& in, Writer& out,
               ScratchSpoolStore& spools) {
    const uint64_t start = out.size();
    const std::optional<uint64_t> size = in.Size();
    uint64_t stored = 0;
    if (options.store || (size && *size > encoder::kMaxInputSize)) {
        stored = CopyStored(name, in, out, 0);
    } else {
        // A file that cannot be read twice is kept aside while it is
        // compressed, in case it has to be stored.
        std::unique_ptr<encoder::Spool> copy;
        if (!in.Rewindable())
            copy = spools.NewSpool();
        CopyingSource source(&in, copy.get());
        // Of a file whose size is known, only a stream shorter than the file
        // is any use; the encoder gives up as soon as none can be.
        const uint64_t limit = size && *size > 0 ? *size - 1 : encoder::kNoLimit;
        encoder::StreamResult r = encoder::CompressStream(source, out, options.mode, spools, limit);
        if (!r.over_limit && !r.too_large && r.output_size < r.input_size)
            return Body{r.output_size, static_cast<uint32_t>(r.input_size)};
        out.Truncate(start);
        if (copy) {
            if (r.input_size > PACKAGE_MAX_SIZE)
                Refuse(name, ProblemCode::kInputTooLarge);
            copy->CopyTo(out);
            stored = CopyStored(name, in, out, r.input_size);
        } else {
            in.Rewind();
            stored = CopyStored(name, in, out, 0);
        }
    }
    if (stored == 0)
        Refuse(name, ProblemCode::kInputEmpty);
    return Body{stored, 0};
}

} // namespace

void MemoryOutput::Write(const uint8_t* data, size_t size) {
    bytes.insert(bytes.end(), data, data + size);
}

void MemoryOutput::WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
    if (offset > bytes.size() || size > bytes.size() - offset)
        throw std::out_of_range("MemoryOutput::WriteAt past the end");
    std::copy(data, data + size, bytes.begin() + static_cast<ptrdiff_t>(offset));
}

void MemoryOutput::Truncate(uint64_t size) {
    if (size < bytes.size())
        bytes.resize(size);
}

void CheckInputSize(const std::string& path, uint64_t size, uint64_t limit) {
    if (size == 0)
        Refuse(path, ProblemCode::kInputEmpty);
    if (size > limit) {
        if (limit < PACKAGE_MAX_SIZE)
            Refuse(path, ProblemCode::kInputOverLimit, {Count(size), Count(limit)});
        Refuse(path, ProblemCode::kInputTooLarge);
    }
}

void ExtensionFromFileName(const std::string& path, char extension[PAYLOAD_EXTENSION_SIZE]) {
    std::memset(extension, 0, PAYLOAD_EXTENSION_SIZE);
    std::string name = hostos::FileNamePart(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return;
    std::string ext = name.substr(dot);
    for (char& c : ext)
        c = UpperAscii(c);
    // The installer's own rule on what may follow the dot, checked first so
    // that a character it refuses is named as such (a byte of UTF-8 is not a
    // character of the extension).
    for (size_t i = 1; i < ext.size(); i++) {
        if (!IsExtensionCharacter(static_cast<unsigned char>(ext[i])))
            Refuse(path, ProblemCode::kExtensionCharacter,
                   {QuotedName(ext), EXTENSION_PUNCTUATION});
    }
    if (ext.size() == 1)
        Refuse(path, ProblemCode::kExtensionEmpty);
    if (ext.size() > PAYLOAD_EXTENSION_SIZE)
        Refuse(path, ProblemCode::kExtensionTooLong,
               {QuotedName(ext), std::to_string(ext.size() - 1)});
    // The record's field is NUL-padded, and not terminated when 4 bytes long.
    std::memcpy(extension, ext.data(), ext.size()); // NOLINT(bugprone-not-null-terminated-result)
}

void BuildPackage(const PackOptions& options, PackageOutput& output) {
    if (options.inputs.size() < 2)
        throw UsageError("a package needs a saver (--scr) and a data file (--dat)");
    if (options.title_1252.size() > PAYLOAD_TITLE_SIZE)
        Refuse(options.output, ProblemCode::kTitleTooLong,
               {std::to_string(options.title_1252.size())});

    // Every input is opened before anything is written. A regular file is
    // opened again when its body is written, so that a package of many files
    // does not hold them all open; anything else (a pipe) stays open, since
    // opening it again would not give the same bytes.
    const size_t count = options.inputs.size();
    std::vector<std::shared_ptr<InputSource>> sources(count);
    std::vector<std::optional<uint64_t>> sizes(count);
    for (size_t i = 0; i < count; i++) {
        const PackInput& input = options.inputs[i];
        sources[i] = input.source;
        if (!sources[i]) {
            auto file = std::make_shared<FileInput>(input.path, input.path);
            if (!file->Rewindable())
                sources[i] = file;
            sizes[i] = file->Size();
        } else {
            sizes[i] = sources[i]->Size();
        }
    }
    const std::vector<uint8_t>& stub = options.stub;
    StubLayout layout = CheckStubLayout(options.stub_path, stub);
    const uint64_t limit = options.max_input_size != 0
                               ? std::min<uint64_t>(options.max_input_size, PACKAGE_MAX_SIZE)
                               : PACKAGE_MAX_SIZE;
    uint64_t total = 0;
    for (size_t i = 0; i < count; i++) {
        if (sizes[i])
            CheckInputSize(options.inputs[i].path, *sizes[i], limit);
        total += sizes[i].value_or(0);
    }

    Writer out(&output);
    const uint32_t payload_pos = layout.location.payload_pos;
    out.Write(stub.data(), payload_pos);

    PayloadHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.title, options.title_1252.data(), options.title_1252.size());
    header.first_file_number = options.first_number;
    uint8_t bytes[PAYLOAD_HEADER_SIZE];
    EncodePayloadHeader(&header, bytes);
    out.Write(bytes, sizeof bytes);

    // The record table, zeros until the bodies are written; the last record
    // stays zero and ends the table.
    std::vector<uint8_t> table(PAYLOAD_RECORD_SIZE * (count + 1), 0);
    const uint64_t table_pos = out.size();
    out.Write(table.data(), table.size());

    ScratchSpoolStore spools(options.scratch_directory);
    uint64_t done = 0;
    for (size_t i = 0; i < count; i++) {
        const PackInput& input = options.inputs[i];
        // The installer reads positions as signed 32-bit numbers.
        if (out.size() > PACKAGE_MAX_SIZE)
            FailTooLarge(options.output, out.size());
        const uint64_t offset = out.size();
        std::shared_ptr<InputSource> file = std::move(sources[i]);
        if (!file)
            file = std::make_shared<FileInput>(input.path, input.path);
        // Progress counts the input's bytes as they are read; a file that is
        // read a second time (stored after all) does not count twice.
        uint64_t counted = 0;
        CountedInput in(file.get(), input.path, limit, [&](uint64_t read) {
            if (read <= counted || !options.progress)
                return;
            counted = read;
            options.progress(done + counted, std::max(done + counted, total));
        });
        Body body = WriteBody(options, input.path, in, out, spools);
        file.reset();

        PayloadRecord record;
        std::memset(&record, 0, sizeof record);
        record.offset = static_cast<uint32_t>(offset);
        record.stored_size = static_cast<uint32_t>(body.stored_size);
        record.unpacked_size = body.unpacked_size;
        std::memcpy(record.extension, input.extension, PAYLOAD_EXTENSION_SIZE);
        EncodePayloadRecord(&record, &table[PAYLOAD_RECORD_SIZE * i]);
        done += InstalledSize(&record);
    }
    const uint64_t payload_end = out.size();
    if (payload_end > PACKAGE_MAX_SIZE)
        FailTooLarge(options.output, payload_end);

    // The Windows loader refuses a file that ends inside a section's raw
    // data; the payload starts inside that of .rsrc, so fill up to its end.
    if (payload_end < layout.rsrc_raw_end) {
        std::vector<uint8_t> zeros(layout.rsrc_raw_end - payload_end, 0);
        out.Write(zeros.data(), zeros.size());
    }
    out.WriteAt(table_pos, table.data(), table.size());
}

} // namespace glimpack
