// The installer's decode: one process-wide engine state over the buffered
// stdio streams of streams.cpp.
#include "decoder/decoder.h"

#include "decoder/decode_engine.h"

namespace {

// One decode runs at a time. Being static, the ring's last 30 positions are
// zero in a fresh process and keep the previous stream's bytes afterwards.
// Both are zero-initialised so that they cost nothing in the file (.bss).
DecoderState g_decoder;
DecodeWindow g_window;

struct FileSource {
    FILE* file;
    int Fetch(uint32_t stored_left) { return ReadPtr(file, stored_left); }
    const uint8_t* Buffered(size_t* count) { return InputBuffered(count); }
    void Consume(size_t count) { InputConsume(count); }
};

struct FileSink {
    FILE* file;
    int32_t total;
    // WriteBlock ends the process itself on a write failure.
    int PutBlock(const uint8_t* data, size_t size) {
        WriteBlock(file, data, size, total);
        return 1;
    }
};

} // namespace

int32_t DecodeStream(FILE* in, FILE* out, int32_t unpacked_size, uint32_t stored_size) {
    ResetBitReader(&g_decoder, stored_size);
    if (unpacked_size == 0)
        return 0;
    ResetCodeAndRing(&g_decoder);
    // Existing packages never carry such sizes and the tool refuses them; the
    // installer has always produced nothing for them.
    if (unpacked_size < 0)
        return 0;
    FileSource source = {in};
    FileSink sink = {out, unpacked_size};
    int stopped = 0;
    uint64_t count =
        DecodeItems(&g_decoder, &g_window, source, sink, (uint32_t)unpacked_size, &stopped);
    return (int32_t)(uint32_t)count;
}
