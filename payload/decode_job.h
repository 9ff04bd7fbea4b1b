// The installer's decode job: its two buffered stdio streams (the compressed
// bytes read from its own file, the decoded bytes written to the new file),
// the process-wide engine state they drive, and the job that connects them
// for one payload record. The engine itself is the codec's
// (decoder/decode_engine.h); only the installer's I/O policy lives here:
// 16384-byte reads and writes, a short read taken as it comes, a failed write
// ending the process.
#ifndef GLIM_PAYLOAD_DECODE_JOB_H
#define GLIM_PAYLOAD_DECODE_JOB_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "decoder/decoder.h"
#include "platform/platform.h"

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

#endif
