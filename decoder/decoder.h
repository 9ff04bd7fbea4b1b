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
// (which may exceed `unpacked_size` by up to 29 for a last match). A size that
// is negative as a signed value produces nothing. The engine state is
// process-wide: ring positions 4066..4095 start as zero in a fresh process and
// as the previous stream's bytes afterwards. The streams must have been reset
// (ResetInputStream/ResetOutputStream) before.
int32_t DecodeStream(FILE* in, FILE* out, int32_t unpacked_size, uint32_t stored_size);

// The buffered streams the engine reads and writes through.
void ResetInputStream(void);
void ResetOutputStream(void);
// Next compressed byte; refills its 16384-byte buffer with
// min(stored_bytes_left, 16384) bytes when empty. A refill that gets nothing
// delivers the byte at the start of the buffer.
int ReadPtr(FILE* file, uint32_t stored_bytes_left);
// The bytes ReadPtr holds and has not delivered yet (*count of them, none
// while a refill is due), for a reader that takes several at once.
// InputConsume(n), n <= *count, delivers n of them exactly as n calls of
// ReadPtr would.
const uint8_t* InputBuffered(size_t* count);
void InputConsume(size_t count);
// Buffers one decoded byte of a file of `total` bytes and writes the buffer in
// chunks of 16384 and a remainder. Bytes given after the total is written (a
// last match running past the end) are dropped. A failed write ends the
// process through FatalStop.
void WritePtr(FILE* file, int byte, int32_t total);
// The same as `size` calls of WritePtr with the bytes of `data`, in chunks.
void WriteBlock(FILE* file, const uint8_t* data, size_t size, int32_t total);
// Ends the process silently with exit code 0 after a write failure.
void FatalStop(const char* message);

// Decodes the record body at absolute `offset` of the installer's own file
// into a new file at `output_path` (a path of the installer's path space).
// Returns 1 when the decode was run; 0 when the own file name is unavailable,
// the own file cannot be opened or positioned, or the output file cannot be
// created (then nothing is decoded, and no output file is made unless its
// creation was what failed).
int DecodeFileFromSelf(HINSTANCE module, uint32_t offset, int32_t unpacked_size,
                       uint32_t stored_size, const char* output_path);

// --- The package tool's and the tests' path: the same engine over callbacks. -
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
};

// Decodes exactly `unpacked_size` bytes (the full unsigned range), handing
// them to the sink in pieces of up to 16384 bytes; the surplus of a last match
// is not handed over. The source is asked for at most min(bytes owed, 16384)
// at a time and never for more than `stored_size` in all. Returns 1 when
// decoding ran to the end, 0 when the sink stopped it. `report` may be NULL.
int DecodeWithCallbacks(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                        DecodeSinkFn sink, void* sink_context, uint32_t unpacked_size,
                        DecodeReport* report);

// Memory to memory: `out` must hold `unpacked_size` bytes.
void DecodeBuffer(const uint8_t* in, uint32_t stored_size, uint8_t* out, uint32_t unpacked_size,
                  DecodeReport* report);

#endif
