// glimpack compress / decompress: raw streams without any package around
// them, for checking this format against other implementations of it.
#include <cstdint>
#include <cstdio>
#include <exception>
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

namespace glimpack {
namespace {

const CommandText kCompressText = {
    "compress", "IN OUT",
    "Compresses IN into the raw stream OUT (no header: keep the size of IN to\n"
    "decompress it) and prints the sizes."};

const CommandText kDecompressText = {
    "decompress", "--size N IN OUT",
    "Decodes the raw stream IN into OUT, which gets exactly N bytes (the size the\n"
    "stream was made from; the stream does not record it). A stream that runs out\n"
    "before N bytes is an error, and OUT is not written."};

struct Files {
    std::string in;
    std::string out;
};

Files TakeFiles(const std::vector<std::string>& operands) {
    if (operands.size() > 2)
        throw UsageError("too many files given");
    if (operands.size() < 2)
        throw UsageError(operands.empty() ? "no input and output file given"
                                          : "no output file given");
    return Files{operands[0], operands[1]};
}

// The compressed stream going to the output file.
class OutputSink : public encoder::Sink {
  public:
    explicit OutputSink(AtomicOutput* out) : out_(out) {}
    void Write(const uint8_t* data, size_t size) override { out_->Write(data, size); }

  private:
    AtomicOutput* out_;
};

std::string TooLargeToCompress() {
    return "too large for a compressed stream (at most " + std::to_string(encoder::kMaxInputSize) +
           " bytes)";
}

// The decoder's source over the input file. The decoder cannot pass an
// exception through, so a read error ends its input and is thrown again
// once it has returned.
struct FileSource {
    FileInput* in;
    std::exception_ptr error;
};

size_t ReadFromFile(void* context, uint8_t* buffer, size_t capacity) {
    FileSource* src = static_cast<FileSource*>(context);
    if (src->error)
        return 0;
    try {
        return src->in->Read(buffer, capacity);
    } catch (...) {
        src->error = std::current_exception();
        return 0;
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

    hostos::InstallInterruptCleanup();
    FileInput in(files.in, files.in);
    if (in.Size() && *in.Size() > encoder::kMaxInputSize)
        Fail(files.in, TooLargeToCompress());

    // The input is read and the stream written as they go; Best's candidate
    // streams spill into scratch files beside the output.
    AtomicOutput out(files.out, overwrite, {files.in});
    OutputSink sink(&out);
    ScratchSpoolStore spools(DirectoryOf(files.out));
    encoder::StreamResult r = encoder::CompressStream(in, sink, mode, spools);
    if (r.too_large)
        Fail(files.in, TooLargeToCompress());
    out.Commit();
    if (!quiet) {
        double ratio =
            r.input_size == 0 ? 0.0 : 100.0 * double(r.output_size) / double(r.input_size);
        std::printf("%s: %llu bytes -> %s: %llu bytes (%.1f%%)\n", files.in.c_str(),
                    static_cast<unsigned long long>(r.input_size), files.out.c_str(),
                    static_cast<unsigned long long>(r.output_size), ratio);
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

    hostos::InstallInterruptCleanup();
    FileInput in(files.in, files.in);
    if (in.Size() && *in.Size() > UINT32_MAX)
        Fail(files.in, "too large for a compressed stream");
    // A pipe's length is known only at its end: the decoder reads until then.
    const uint64_t stored = in.Size().value_or(UINT32_MAX);

    AtomicOutput out(files.out, overwrite, {files.in});
    FileSource source{&in, nullptr};
    DecodeReport report = DecodeToSink(ReadFromFile, &source, static_cast<uint32_t>(stored),
                                       static_cast<uint32_t>(size),
                                       [&](const uint8_t* data, size_t n) { out.Write(data, n); });
    if (source.error)
        std::rethrow_exception(source.error);
    // A stream that has used its stored bytes cannot give the rest of --size:
    // what would follow is decoded zero bits, not data.
    if (report.ran_out_of_input)
        Fail(files.in, "the stream runs out after " + WithThousands(report.produced) +
                           " bytes, short of the " + WithThousands(size) +
                           " asked for (a cut stream, or the wrong --size?)");
    out.Commit();
    if (report.stored_bytes_unused && !quiet)
        std::fprintf(stderr,
                     "glimpack: warning: %s: %s bytes of the stream were left unread (a larger "
                     "--size?)\n",
                     files.in.c_str(), WithThousands(report.stored_bytes_unused).c_str());
    return kExitOk;
}

} // namespace glimpack
