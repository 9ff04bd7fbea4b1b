// Decoding of the compressed stream format, bytes in and bytes out: the
// engine over caller-supplied callbacks, and memory to memory. The
// installer's own streams over its file live with the installer (payload/),
// on the same engine (decoder/decode_engine.h).
#ifndef GLIM_DECODER_DECODER_H
#define GLIM_DECODER_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include "decoder/code_tree.h"

#define DECODER_STREAM_BUFFER 16384

// Each call has its own engine state, with ring positions 4066..4095 starting
// as zero, so the result depends on the stream alone. The callbacks must not
// throw (this library is built without exception support).

// Supplies up to `capacity` compressed bytes; returns how many (0: none left).
typedef size_t (*DecodeSourceFn)(void* context, uint8_t* buffer, size_t capacity);
// Takes `size` decoded bytes; returns 0 to stop decoding (a write failure).
typedef int (*DecodeSinkFn)(void* context, const uint8_t* data, size_t size);

struct DecodeReport {
    uint32_t produced;            // bytes given to the sink (exactly unpacked_size unless stopped)
    uint64_t bits_consumed;       // bits the items took from the stream
    int ran_out_of_input;         // items needed bits past the stored bytes, or past what a
                                  // short source gave (zero bits were used)
    uint32_t stored_bytes_unused; // whole stored bytes no item reached
    int sink_stopped;             // the sink returned 0
    int short_input;              // the source gave fewer than stored_size bytes
    int gave_up;                  // DecodeUntilExhausted stopped a stream that ran out
};

// How far past its stored bytes a stream may feed the bit window before
// DecodeUntilExhausted gives up: the window reads up to eight bytes ahead of
// the items, and a sound stream's items end within its stored bytes.
#define DECODE_GIVE_UP_SLACK 16

// Decodes exactly `unpacked_size` bytes (the full unsigned range), handing
// them to the sink in pieces of up to 16384 bytes; the surplus of a last match
// is not handed over. The source is asked for at most min(bytes owed, 16384)
// at a time and never for more than `stored_size` in all. Returns 1 when
// decoding ran to the end, 0 when the sink stopped it. `report` may be NULL.
int DecodeWithCallbacks(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                        DecodeSinkFn sink, void* sink_context, uint32_t unpacked_size,
                        DecodeReport* report);

// As DecodeWithCallbacks, but gives up soon after the items have used the
// stored bytes, or the bytes a source that ended early gave (within a block
// of output): such a stream cannot give its unpacked size, and decoding zero
// bits for the rest would only cost time. A caller that does not know the
// stored size (a pipe) passes the largest one and lets the source end.
// Then report->gave_up and ran_out_of_input are set, and fewer than
// unpacked_size bytes went to the sink. Returns 0 only when the sink stopped.
int DecodeUntilExhausted(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                         DecodeSinkFn sink, void* sink_context, uint32_t unpacked_size,
                         DecodeReport* report);

// The most bytes a sound stream of `stored_size` bytes can decode to; a record
// that claims more cannot be sound, and no decoding is needed to know it.
uint64_t MaxUnpackedSize(uint32_t stored_size);

// Memory to memory: `out` must hold `unpacked_size` bytes.
void DecodeBuffer(const uint8_t* in, uint32_t stored_size, uint8_t* out, uint32_t unpacked_size,
                  DecodeReport* report);

#endif
