// glimpack compress / decompress: raw streams without any package around
// them, for checking this format against other implementations of it.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "encoder/encoder.h"
#include "hostos/cleanup.h"
#include "package/decode.h"
#include "package/errors.h"
#include "package/input.h"
#include "package/spill.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"
#include "tools/glimpack/progress.h"

namespace glimpack {
namespace {

const CommandText kCompressText = {
    "compress", "IN OUT",
    "Compresses IN into the raw stream OUT (no header: keep the size of IN to\n"
    "decompress it) and prints the sizes. IN or OUT may be - for standard input\n"
    "or output; a stream is not written to a terminal."};

const CommandText kDecompressText = {
    "decompress", "--size N IN OUT",
    "Decodes the raw stream IN into OUT, which gets exactly N bytes (the size the\n"
    "stream was made from; the stream does not record it). A stream that runs out\n"
    "before N bytes is an error, and OUT is not written. IN or OUT may be - for\n"
    "standard input or output; what went to standard output before an error\n"
    "cannot be taken back, but the exit code says it is not whole."};

// "-" for standard input or output, as other archive and compression tools
// take it. A file really named "-" is still reached as ./-.
const char kStandard[] = "-";

struct Files {
    std::string in;
    std::string out;
    // How messages name them.
    std::string in_shown() const { return in == kStandard ? "standard input" : in; }
    std::string out_shown() const { return out == kStandard ? "standard output" : out; }
};

Files TakeFiles(const std::vector<std::string>& operands) {
    if (operands.size() > 2)
        throw UsageError("too many files given");
    if (operands.size() < 2)
        throw UsageError(operands.empty() ? "no input and output file given"
                                          : "no output file given");
    return Files{operands[0], operands[1]};
}

std::unique_ptr<FileInput> OpenInput(const Files& files) {
    if (files.in == kStandard)
        return std::make_unique<FileInput>(FileInput::StandardInputTag{}, files.in_shown());
    return std::make_unique<FileInput>(files.in, files.in);
}

// Where OUT goes: a new file, put in place only once whole, or standard
// output, written as the bytes come (a pipe cannot take them back, so a
// failure there is reported after some bytes went out).
class Output : public encoder::Sink {
  public:
    Output(const Files& files, bool overwrite) : shown_(files.out_shown()) {
        if (files.out == kStandard) {
            hostos::SetBinaryOutput(1);
            return;
        }
        std::vector<std::string> inputs;
        if (files.in != kStandard)
            inputs.push_back(files.in);
        file_ = std::make_unique<AtomicOutput>(files.out, overwrite, inputs);
        directory_ = DirectoryOf(files.out);
    }
    void Write(const uint8_t* data, size_t size) override {
        if (file_)
            file_->Write(data, size);
        else
            WriteOutput(data, size);
    }
    void Commit() {
        if (file_)
            file_->Commit();
        else
            FlushOutput();
    }
    bool standard() const { return !file_; }
    // Where scratch files go: beside the output, else the temporary folder.
    std::string scratch_directory() const {
        return directory_.empty() ? hostos::TempDirectory() : directory_;
    }

  private:
    std::string shown_;
    std::string directory_;
    std::unique_ptr<AtomicOutput> file_;
};

std::string TooLargeToCompress() {
    return "too large for a compressed stream (at most " + std::to_string(encoder::kMaxInputSize) +
           " bytes)";
}

// The input as the encoder reads it, counted for the progress line.
class ProgressSource : public encoder::Source {
  public:
    ProgressSource(FileInput* in, Progress* progress, std::string label)
        : in_(in), progress_(progress), label_(std::move(label)) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        size_t n = in_->Read(buffer, capacity);
        progress_->Add(n, label_);
        return n;
    }

  private:
    FileInput* in_;
    Progress* progress_;
    std::string label_;
};

// The decoder's source over the input file. The decoder cannot pass an
// exception through, so a read error ends its input and is thrown again
// once it has returned.
struct FileSource {
    FileInput* in;
    std::exception_ptr error;
    uint64_t delivered = 0; // bytes handed to the decoder
};

size_t ReadFromFile(void* context, uint8_t* buffer, size_t capacity) {
    FileSource* src = static_cast<FileSource*>(context);
    if (src->error)
        return 0;
    try {
        size_t n = src->in->Read(buffer, capacity);
        src->delivered += n;
        return n;
    } catch (...) {
        src->error = std::current_exception();
        return 0;
    }
}

// Reads what is left of a stream whose size was not known beforehand (a
// pipe), to learn how many of its bytes the decode left unread. Returns the
// stream's whole size, or fails once it is more than a stream can be.
uint64_t DrainRest(FileSource& source, const std::string& shown) {
    std::vector<uint8_t> buffer(64 * 1024);
    uint64_t total = source.delivered;
    for (;;) {
        size_t n = source.in->Read(buffer.data(), buffer.size());
        if (n == 0)
            return total;
        total += n;
        if (total > UINT32_MAX)
            Fail(shown, "too large for a compressed stream");
    }
}

} // namespace

int CmdCompress(int argc, char** argv) {
    encoder::Mode mode = encoder::Mode::Default;
    bool overwrite = false, quiet = false;
    std::vector<std::string> operands;
    if (!ParseCommandLine(
            kCompressText, argc, argv,
            {Option{{"--best"},
                    "",
                    "slower, smallest output",
                    [&](const std::string&) { mode = encoder::Mode::Best; }},
             Option{{"--greedy"},
                    "",
                    "the plain longest-match parse (for comparison)",
                    [&](const std::string&) { mode = encoder::Mode::Greedy; }},
             Flag({"--overwrite"}, "replace OUT if it exists (default: refuse)", &overwrite),
             Flag({"-q", "--quiet"}, "print nothing but errors", &quiet)},
            &operands))
        return kExitOk;
    Files files = TakeFiles(operands);
    if (files.out == kStandard)
        RefuseTerminalOutput("a compressed stream is");

    std::unique_ptr<FileInput> in = OpenInput(files);
    if (in->Size() && *in->Size() > encoder::kMaxInputSize)
        Fail(files.in_shown(), TooLargeToCompress());

    // The input is read and the stream written as they go; Best's candidate
    // streams spill into scratch files beside the output.
    Output out(files, overwrite);
    ScratchSpoolStore spools(out.scratch_directory());
    encoder::StreamResult r;
    {
        Progress progress(in->Size().value_or(0), quiet);
        ProgressSource source(in.get(), &progress,
                              "compressing " + EscapeForDisplay(files.in_shown(), false));
        r = encoder::CompressStream(source, out, mode, spools);
    }
    if (r.too_large)
        Fail(files.in_shown(), TooLargeToCompress());
    out.Commit();
    if (!quiet) {
        // The sizes go where the stream does not.
        double ratio =
            r.input_size == 0 ? 0.0 : 100.0 * double(r.output_size) / double(r.input_size);
        Print(out.standard() ? stderr : stdout, "%s: %s bytes -> %s: %s bytes (%.1f%%)\n",
              EscapeForDisplay(files.in_shown(), false).c_str(),
              WithThousands(r.input_size).c_str(),
              EscapeForDisplay(files.out_shown(), false).c_str(),
              WithThousands(r.output_size).c_str(), ratio);
    }
    return kExitOk;
}

int CmdDecompress(int argc, char** argv) {
    bool overwrite = false, quiet = false;
    std::string size_text;
    std::vector<std::string> operands;
    if (!ParseCommandLine(
            kDecompressText, argc, argv,
            {Value({"--size"}, "N", "bytes to produce (suffix K, M or G for binary\nmultiples)",
                   &size_text),
             Flag({"--overwrite"}, "replace OUT if it exists (default: refuse)", &overwrite),
             Flag({"-q", "--quiet"}, "print nothing but errors", &quiet)},
            &operands))
        return kExitOk;
    bool have_size = !size_text.empty();
    uint64_t size = have_size ? ParseSize("--size", size_text) : 0;
    if (size > UINT32_MAX)
        throw UsageError("option '--size': " + std::to_string(size) + " is over the limit of " +
                         std::to_string(UINT32_MAX));
    if (!have_size)
        throw UsageError("--size N is required: a raw stream does not record its size");
    Files files = TakeFiles(operands);
    if (files.out == kStandard)
        RefuseTerminalOutput("decoded bytes are");

    std::unique_ptr<FileInput> in = OpenInput(files);
    if (in->Size() && *in->Size() > UINT32_MAX)
        Fail(files.in_shown(), "too large for a compressed stream");
    // A pipe's length is known only at its end: the decoder reads until then.
    const bool known = in->Size().has_value();
    const uint64_t stored = in->Size().value_or(UINT32_MAX);

    Output out(files, overwrite);
    FileSource source{in.get(), nullptr};
    DecodeReport report;
    {
        Progress progress(size, quiet);
        std::string label = "decompressing " + EscapeForDisplay(files.in_shown(), false);
        report = DecodeToSink(ReadFromFile, &source, static_cast<uint32_t>(stored),
                              static_cast<uint32_t>(size), [&](const uint8_t* data, size_t n) {
                                  out.Write(data, n);
                                  progress.Add(n, label);
                              });
    }
    if (source.error)
        std::rethrow_exception(source.error);
    // A stream that has used its stored bytes cannot give the rest of --size:
    // what would follow is decoded zero bits, not data.
    if (report.ran_out_of_input)
        Fail(files.in_shown(), "the stream runs out after " + WithThousands(report.produced) +
                                   " bytes, short of the " + WithThousands(size) +
                                   " asked for (a cut stream, or the wrong --size?)");
    uint64_t unused = report.stored_bytes_unused;
    if (!known) {
        uint64_t whole = DrainRest(source, files.in_shown());
        uint64_t reached = (report.bits_consumed + 7) / 8;
        unused = whole > reached ? whole - reached : 0;
    }
    out.Commit();
    if (unused && !quiet)
        Print(stderr,
              "glimpack: warning: %s: %s bytes of the stream were left unread (a larger "
              "--size?)\n",
              EscapeForDisplay(files.in_shown(), false).c_str(), WithThousands(unused).c_str());
    return kExitOk;
}

} // namespace glimpack
