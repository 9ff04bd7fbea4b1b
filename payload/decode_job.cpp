// The installer's decode: one process-wide engine state over the buffered
// stdio streams of streams.cpp, and the job for one payload record.
#include "payload/decode_job.h"

#include "decoder/decode_engine.h"
#include "format/naming.h"
#include "payload/self.h"

namespace {

// One decode runs at a time. Being static, the ring's last 30 positions are
// zero in a fresh process and keep the previous stream's bytes afterwards.
// Both are zero-initialised so that they cost nothing in the file (.bss).
DecoderState g_decoder;
DecodeWindow g_window;

// Takes ReadPtr's bytes through a local view of its buffer, so that the
// engine's eight-byte refills cost no call; the bytes taken are handed back
// to ReadPtr's count (Sync) before it is asked for a byte itself, when the
// view runs short, and when the stream ends.
struct FileSource {
    FILE* file;
    const uint8_t* ready;
    size_t ready_count;
    size_t taken;

    void Sync() {
        if (taken != 0)
            InputConsume(taken);
        taken = 0;
        ready_count = 0;
    }
    int Fetch(uint32_t stored_left) {
        Sync();
        return ReadPtr(file, stored_left);
    }
    const uint8_t* Buffered(size_t* count) {
        if (ready_count < 8) {
            Sync();
            ready = InputBuffered(&ready_count);
        }
        *count = ready_count;
        return ready;
    }
    void Consume(size_t count) {
        ready += count;
        ready_count -= count;
        taken += count;
    }
};

struct FileSink {
    FILE* file;
    int32_t total;
    // WriteBlock ends the process itself on a write failure.
    int PutBlock(const uint8_t* data, size_t size) {
        WriteBlock(file, data, size, total);
        return 1;
    }
    // The installer always decodes to the unpacked size.
    int GivesUp(uint64_t) const { return 0; }
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
    FileSource source = {in, 0, 0, 0};
    FileSink sink = {out, unpacked_size};
    int stopped = 0;
    uint64_t count =
        DecodeItems(&g_decoder, &g_window, source, sink, (uint32_t)unpacked_size, &stopped);
    source.Sync();
    return (int32_t)(uint32_t)count;
}

int DecodeFileFromSelf(HINSTANCE module, uint32_t offset, int32_t unpacked_size,
                       uint32_t stored_size, const char* output_path) {
    ResetInputStream();
    ResetOutputStream();
    char self_path[GLIM_PATH_CAPACITY];
    if (!FetchModulePath(module, self_path, sizeof self_path))
        return 0;

    FILE* in = PlatOpenFile(self_path, "rb");
    if (in == NULL)
        return 0;
    if (fseek(in, (long)offset, SEEK_SET) != 0) {
        fclose(in);
        return 0;
    }
    FILE* out = PlatOpenFile(output_path, "wb");
    if (out == NULL) {
        fclose(in);
        return 0;
    }
    DecodeStream(in, out, unpacked_size, stored_size);
    fclose(out);
    fclose(in);
    return 1;
}
