// glimpack compress / decompress: raw streams without any package around
// them, for checking this format against other implementations of it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "encoder/encoder.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"

namespace glimpack {
namespace {

const char kCompressHelp[] =
    "Usage: glimpack compress [--best | --greedy] [--overwrite] [-q] IN OUT\n"
    "\n"
    "Compresses IN into the raw stream OUT (no header: keep the size of IN to\n"
    "decompress it) and prints the sizes.\n"
    "\n"
    "  --best       slower, smallest output\n"
    "  --greedy     the plain longest-match parse (for comparison)\n"
    "  --overwrite  replace OUT if it exists (default: refuse)\n"
    "  -q           print nothing but errors\n";

const char kDecompressHelp[] =
    "Usage: glimpack decompress --size N [--overwrite] IN OUT\n"
    "\n"
    "Decodes the raw stream IN into OUT, which gets exactly N bytes (the size\n"
    "the stream was made from; the stream does not record it).\n"
    "\n"
    "  --size N     bytes to produce (suffix K, M or G for binary multiples)\n"
    "  --overwrite  replace OUT if it exists (default: refuse)\n";

struct Files {
    std::string in;
    std::string out;
};

void TakeFile(Files* f, const std::string& arg) {
    if (f->in.empty())
        f->in = arg;
    else if (f->out.empty())
        f->out = arg;
    else
        throw UsageError("too many files given");
}

void CheckFiles(const Files& f) {
    if (f.out.empty())
        throw UsageError(f.in.empty() ? "no input and output file given" : "no output file given");
}

bool IsOption(const std::string& a) {
    return a.size() > 1 && a[0] == '-';
}

// The decoder is built without exceptions, so write errors come back through
// the sink's return value and are raised again once it has returned.
struct FileSink {
    AtomicOutput* out;
    std::string error;
};

int WriteToOutput(void* context, const uint8_t* data, size_t size) {
    FileSink* sink = static_cast<FileSink*>(context);
    try {
        sink->out->Write(data, size);
        return 1;
    } catch (const std::exception& e) {
        sink->error = e.what();
        return 0;
    }
}

struct MemorySource {
    const std::vector<uint8_t>* data;
    size_t next = 0;
};

size_t ReadFromMemory(void* context, uint8_t* buffer, size_t capacity) {
    MemorySource* src = static_cast<MemorySource*>(context);
    size_t n = std::min(capacity, src->data->size() - src->next);
    if (n)
        std::memcpy(buffer, src->data->data() + src->next, n);
    src->next += n;
    return n;
}

} // namespace

int CmdCompress(int argc, char** argv) {
    Files files;
    encoder::Mode mode = encoder::Mode::Default;
    bool overwrite = false;
    bool quiet = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kCompressHelp, stdout);
            return kExitOk;
        } else if (a == "--best") {
            mode = encoder::Mode::Best;
        } else if (a == "--greedy") {
            mode = encoder::Mode::Greedy;
        } else if (a == "--overwrite") {
            overwrite = true;
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (IsOption(a)) {
            throw UsageError("unknown option '" + a + "'");
        } else {
            TakeFile(&files, a);
        }
    }
    CheckFiles(files);

    std::vector<uint8_t> data = ReadWholeFile(files.in);
    if (data.size() > encoder::kMaxInputSize)
        Fail(files.in, "too large for a compressed stream (at most " +
                           std::to_string(encoder::kMaxInputSize) + " bytes)");
    std::vector<uint8_t> packed = encoder::Compress(data.data(), data.size(), mode);

    AtomicOutput out(files.out, overwrite);
    out.Write(packed.data(), packed.size());
    out.Commit();
    if (!quiet) {
        double ratio = data.empty() ? 0.0 : 100.0 * double(packed.size()) / double(data.size());
        std::printf("%s: %zu bytes -> %s: %zu bytes (%.1f%%)\n", files.in.c_str(), data.size(),
                    files.out.c_str(), packed.size(), ratio);
    }
    return kExitOk;
}

int CmdDecompress(int argc, char** argv) {
    Files files;
    bool overwrite = false;
    bool have_size = false;
    uint64_t size = 0;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kDecompressHelp, stdout);
            return kExitOk;
        } else if (a == "--size") {
            size = ParseSize(a, i + 1 < argc ? argv[++i] : nullptr);
            if (size > UINT32_MAX)
                throw UsageError("--size: " + std::to_string(size) + " is over the limit of " +
                                 std::to_string(UINT32_MAX));
            have_size = true;
        } else if (a == "--overwrite") {
            overwrite = true;
        } else if (IsOption(a)) {
            throw UsageError("unknown option '" + a + "'");
        } else {
            TakeFile(&files, a);
        }
    }
    if (!have_size)
        throw UsageError("--size N is required: a raw stream does not record its size");
    CheckFiles(files);

    std::vector<uint8_t> packed = ReadWholeFile(files.in);
    if (packed.size() > UINT32_MAX)
        Fail(files.in, "too large for a compressed stream");

    AtomicOutput out(files.out, overwrite);
    FileSink sink{&out, {}};
    MemorySource source{&packed};
    DecodeReport report;
    if (!DecodeWithCallbacks(ReadFromMemory, &source, static_cast<uint32_t>(packed.size()),
                             WriteToOutput, &sink, static_cast<uint32_t>(size), &report))
        throw ToolError(sink.error.empty() ? files.out + ": write error" : sink.error);
    out.Commit();
    // The format cannot tell a short stream from a long one, but needing bits
    // beyond its end means the stream or the size is wrong.
    if (report.ran_out_of_input)
        std::fprintf(stderr,
                     "glimpack: warning: %s: the stream ended before %llu bytes were decoded "
                     "(truncated stream or wrong --size?)\n",
                     files.in.c_str(), static_cast<unsigned long long>(size));
    return kExitOk;
}

} // namespace glimpack
