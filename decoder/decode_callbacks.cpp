// The engine over caller-supplied callbacks, for the package tool and the
// tests. Unlike the installer's path it keeps its state per call (ring tail
// zero, so results never depend on an earlier decode), takes the full
// unsigned 32-bit unpacked size, and reports a refusing sink instead of
// ending the process. The callbacks must not throw: this code is built
// without exception support.
#include <string.h>

#include "decoder/decode_engine.h"
#include "decoder/decoder.h"

namespace {

struct CallbackSource {
    DecodeSourceFn fn;
    void* context;
    uint8_t buffer[DECODER_STREAM_BUFFER];
    size_t available;
    size_t position;
    uint64_t supplied; // bytes the callback has handed over
    int exhausted;     // the callback gave nothing although bytes were owed

    const uint8_t* Buffered(size_t* count) {
        *count = available - position;
        return buffer + position;
    }
    void Consume(size_t count) { position += count; }
    int Fetch(uint32_t stored_left) {
        if (position == available) {
            if (exhausted)
                return 0;
            size_t want = stored_left < DECODER_STREAM_BUFFER ? stored_left : DECODER_STREAM_BUFFER;
            size_t got = fn(context, buffer, want);
            if (got > want)
                got = want;
            position = 0;
            available = got;
            supplied += got;
            if (got == 0) {
                // Missing bytes read as zero, like bytes past the stored size.
                exhausted = 1;
                return 0;
            }
        }
        return buffer[position++];
    }
};

struct CallbackSink {
    DecodeSinkFn fn;
    void* context;
    uint32_t unpacked_size;
    uint32_t delivered;  // bytes the callback accepted
    uint64_t feed_limit; // bytes the window may take before the decode gives up; 0: no limit
    const CallbackSource* source;
    int gave_up;

    int GivesUp(uint64_t bytes_fed) {
        if (feed_limit == 0)
            return gave_up;
        // A source that ends before the stored size (a pipe, whose length
        // was not known) holds the stream to the bytes it gave.
        uint64_t limit = feed_limit;
        if (source->exhausted && source->supplied + DECODE_GIVE_UP_SLACK < limit)
            limit = source->supplied + DECODE_GIVE_UP_SLACK;
        if (bytes_fed > limit)
            gave_up = 1;
        return gave_up;
    }

    int PutBlock(const uint8_t* data, size_t size) {
        // The surplus of a last match that runs past the end is not output.
        uint32_t owed = unpacked_size - delivered;
        if (size > owed)
            size = owed;
        if (size == 0)
            return 1;
        if (!fn(context, data, size))
            return 0;
        delivered += (uint32_t)size;
        return 1;
    }
};

struct MemorySource {
    const uint8_t* data;
    size_t left;
};

size_t ReadMemory(void* context, uint8_t* buffer, size_t capacity) {
    MemorySource* m = (MemorySource*)context;
    size_t n = m->left < capacity ? m->left : capacity;
    if (n != 0) {
        memcpy(buffer, m->data, n);
        m->data += n;
        m->left -= n;
    }
    return n;
}

int WriteMemory(void* context, const uint8_t* data, size_t size) {
    uint8_t** cursor = (uint8_t**)context;
    memcpy(*cursor, data, size);
    *cursor += size;
    return 1;
}

// Everything one decode needs (about 50 KB), kept on the caller's stack so
// that decodes never share anything.
struct CallbackDecode {
    DecoderState state;
    DecodeWindow window;
    CallbackSource source;
    CallbackSink sink;
};

} // namespace

namespace {

int Decode(DecodeSourceFn source, void* source_context, uint32_t stored_size, DecodeSinkFn sink,
           void* sink_context, uint32_t unpacked_size, int give_up, DecodeReport* report) {
    CallbackDecode decode;
    CallbackDecode* job = &decode;
    // The window needs no clearing: the history comes from the ring.
    memset(&job->state, 0, sizeof job->state);
    memset(&job->source, 0, sizeof job->source);
    memset(&job->sink, 0, sizeof job->sink);
    job->source.fn = source;
    job->source.context = source_context;
    job->sink.fn = sink;
    job->sink.context = sink_context;
    job->sink.unpacked_size = unpacked_size;
    // The window reads up to eight bytes ahead of the items; a sound stream's
    // items end within its stored bytes.
    if (give_up)
        job->sink.feed_limit = (uint64_t)stored_size + DECODE_GIVE_UP_SLACK;
    job->sink.source = &job->source;

    ResetBitReader(&job->state, stored_size);
    int stopped = 0;
    if (unpacked_size != 0) {
        ResetCodeAndRing(&job->state);
        DecodeItems(&job->state, &job->window, job->source, job->sink, unpacked_size, &stopped);
    }
    int gave_up = job->sink.gave_up;

    if (report != NULL) {
        uint64_t bits = BitsConsumed(&job->state);
        // With a short source the bytes it never gave were zero bits as well.
        uint64_t real_bytes = job->source.exhausted ? job->source.supplied : stored_size;
        uint64_t bytes_reached = (bits + 7) / 8;
        report->produced = job->sink.delivered;
        report->bits_consumed = bits;
        report->ran_out_of_input = bits > real_bytes * 8 || gave_up ? 1 : 0;
        report->stored_bytes_unused =
            bytes_reached < stored_size ? (uint32_t)(stored_size - bytes_reached) : 0;
        report->sink_stopped = stopped && !gave_up;
        report->short_input = job->source.exhausted;
        report->gave_up = gave_up;
    }
    return stopped && !gave_up ? 0 : 1;
}

} // namespace

int DecodeWithCallbacks(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                        DecodeSinkFn sink, void* sink_context, uint32_t unpacked_size,
                        DecodeReport* report) {
    return Decode(source, source_context, stored_size, sink, sink_context, unpacked_size, 0,
                  report);
}

int DecodeUntilExhausted(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                         DecodeSinkFn sink, void* sink_context, uint32_t unpacked_size,
                         DecodeReport* report) {
    return Decode(source, source_context, stored_size, sink, sink_context, unpacked_size, 1,
                  report);
}

uint64_t MaxUnpackedSize(uint32_t stored_size) {
    // The cheapest item per byte it produces is a match of 30 bytes whose
    // length symbol has a 1-bit code: 1 bit, 3 bits of the shortest distance
    // prefix and 6 plain bits, 3 bytes a bit. A last match may run past the
    // end, but only to the unpacked size.
    return (uint64_t)stored_size * 8 * 3;
}

void DecodeBuffer(const uint8_t* in, uint32_t stored_size, uint8_t* out, uint32_t unpacked_size,
                  DecodeReport* report) {
    MemorySource source = {in, stored_size};
    uint8_t* cursor = out;
    DecodeWithCallbacks(ReadMemory, &source, stored_size, WriteMemory, &cursor, unpacked_size,
                        report);
}
