// The decoder over arbitrary streams, unpacked sizes and stored sizes, on
// both of its paths: the tool's callbacks and the installer's stdio streams.
// Output is bounded (unpacked sizes up to 64 KiB) and must come out at exactly
// the unpacked size; the source must never be asked for more than the stored
// size or in pieces larger than the stream buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "payload/decode_job.h"
#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"

namespace {

constexpr uint32_t kMaxUnpacked = 1u << 16;

uint32_t U32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Source {
    const uint8_t* data;
    size_t left;
    uint64_t asked; // bytes asked for, all calls together
    uint64_t given;
};

size_t Fetch(void* context, uint8_t* buffer, size_t capacity) {
    Source* s = static_cast<Source*>(context);
    if (capacity > DECODER_STREAM_BUFFER)
        fuzz_support::Violation("source asked for more than one stream buffer");
    s->asked += capacity;
    size_t n = capacity < s->left ? capacity : s->left;
    std::memcpy(buffer, s->data, n);
    s->data += n;
    s->left -= n;
    s->given += n;
    return n;
}

struct Sink {
    std::vector<uint8_t> bytes;
    uint32_t limit;
};

int Put(void* context, const uint8_t* data, size_t size) {
    Sink* s = static_cast<Sink*>(context);
    if (size > DECODER_STREAM_BUFFER || s->bytes.size() + size > s->limit)
        fuzz_support::Violation("sink given more than the unpacked size");
    s->bytes.insert(s->bytes.end(), data, data + size);
    return 1;
}

// The installer's path: fmemopen over the stream, open_memstream for the
// output, the process-wide engine and streams.
size_t InstallerDecode(const uint8_t* whole, size_t whole_size, int32_t unpacked, uint32_t stored) {
    std::FILE* in = fmemopen(const_cast<uint8_t*>(whole), whole_size, "rb");
    if (!in)
        fuzz_support::Violation("fmemopen failed");
    std::fseek(in, 8, SEEK_SET);
    char* out_bytes = nullptr;
    size_t out_size = 0;
    std::FILE* out = open_memstream(&out_bytes, &out_size);
    if (!out)
        fuzz_support::Violation("open_memstream failed");
    ResetInputStream();
    ResetOutputStream();
    DecodeStream(in, out, unpacked, stored);
    std::fclose(out);
    std::fclose(in);
    std::free(out_bytes);
    return out_size;
}

} // namespace

int FuzzDecoder(const uint8_t* data, size_t size) {
    using fuzz_support::Violation;
    if (size < 8)
        return 0;
    uint32_t raw_unpacked = U32(data);
    uint32_t stored = U32(data + 4);
    const uint8_t* stream = data + 8;
    size_t stream_size = size - 8;

    if (raw_unpacked & 0x80000000u) {
        // Negative as the installer's signed count: it produces nothing.
        if (InstallerDecode(data, size, int32_t(raw_unpacked), stored) != 0)
            Violation("a negative unpacked size produced output");
        return 0;
    }
    // Sizes from the seeds (below 64 KiB) are kept; mutated ones mostly
    // become small, so that the fuzzer spends its time on many streams
    // rather than on a few long ones.
    uint32_t unpacked = raw_unpacked < kMaxUnpacked ? raw_unpacked : raw_unpacked & 0x3FF;

    Source source{stream, stream_size, 0, 0};
    Sink sink{{}, unpacked};
    sink.bytes.reserve(unpacked);
    DecodeReport report{};
    int done = DecodeWithCallbacks(Fetch, &source, stored, Put, &sink, unpacked, &report);
    if (!done || report.sink_stopped)
        Violation("decode stopped although the sink took everything");
    if (sink.bytes.size() != unpacked || report.produced != unpacked)
        Violation("decoded " + std::to_string(sink.bytes.size()) + " bytes, unpacked size is " +
                  std::to_string(unpacked));
    if (source.given > stored)
        Violation("source read past the stored size");
    if (report.stored_bytes_unused > stored)
        Violation("more stored bytes unused than there are");

    // Memory to memory into a buffer of exactly the unpacked size: any write
    // beyond it is an overflow the sanitizer sees.
    std::vector<uint8_t> direct(unpacked);
    uint32_t usable = stored < stream_size ? stored : uint32_t(stream_size);
    DecodeBuffer(stream, usable, direct.data(), unpacked, nullptr);
    if (usable == stored && direct != sink.bytes)
        Violation("DecodeBuffer and DecodeWithCallbacks disagree");

    size_t installed = InstallerDecode(data, size, int32_t(unpacked), stored);
    if (installed != unpacked)
        Violation("installer decode wrote " + std::to_string(installed) +
                  " bytes, unpacked size is " + std::to_string(unpacked));
    return 0;
}
