// Decoding of the compressed payload bodies: the engine, its buffered streams
// over the installer's own file, and the decode job the extraction calls.
#ifndef GLIM_DECODER_DECODER_H
#define GLIM_DECODER_DECODER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "decoder/code_tree.h"
#include "platform/platform.h"

#define DECODER_STREAM_BUFFER 16384

// --- The installer's path: stdio streams, process-wide state. ---------------

// Decodes one stream of `stored_size` bytes from `in` (already positioned at
// its first byte) into `out`, producing exactly `unpacked_size` bytes through
// WritePtr. Never asks for more than `stored_size` input bytes; once they are
// used up it reads zero bits. Returns the number of bytes the items produced
// (which may exceed `unpacked_size` by up to 29 for a last match).
int32_t DecodeStream(FILE* in, FILE* out, int32_t unpacked_size, uint32_t stored_size);

// The buffered streams the engine reads and writes through.
void ResetInputStream(void);
void ResetOutputStream(void);
int ReadPtr(FILE* file, uint32_t stored_bytes_left);
void WritePtr(FILE* file, int byte, int32_t total);
// Ends the process silently with exit code 0 after a write failure.
void FatalStop(const char* message);

// Decodes the record body at absolute `offset` of the installer's own file
// into a new file at `output_path` (a path of the installer's path space).
// Returns 1 when the decode was run, 0 when the own file name is unavailable.
int DecodeFileFromSelf(HINSTANCE module, uint32_t offset, int32_t unpacked_size,
                       uint32_t stored_size, const char* output_path);

// --- The package tool's and the tests' path: the same engine over callbacks. -

// Supplies up to `capacity` compressed bytes; returns how many (0: none left).
typedef size_t (*DecodeSourceFn)(void* context, uint8_t* buffer, size_t capacity);
// Takes `size` decoded bytes; returns 0 to stop decoding (a write failure).
typedef int (*DecodeSinkFn)(void* context, const uint8_t* data, size_t size);

struct DecodeReport {
    uint32_t produced;            // bytes given to the sink (exactly unpacked_size unless stopped)
    uint64_t bits_consumed;       // bits the items took from the stream
    int ran_out_of_input;         // items needed bits past the stored bytes (zero bits were used)
    uint32_t stored_bytes_unused; // whole stored bytes no item reached
    int sink_stopped;             // the sink returned 0
    int short_input;              // the source gave fewer than stored_size bytes
};

// Decodes exactly `unpacked_size` bytes. Returns 1 when decoding ran to the
// end, 0 when the sink stopped it. `report` may be NULL.
int DecodeWithCallbacks(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                        DecodeSinkFn sink, void* sink_context, uint32_t unpacked_size,
                        DecodeReport* report);

// Memory to memory: `out` must hold `unpacked_size` bytes.
void DecodeBuffer(const uint8_t* in, uint32_t stored_size, uint8_t* out, uint32_t unpacked_size,
                  DecodeReport* report);

#endif
