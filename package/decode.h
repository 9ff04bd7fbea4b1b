// The decoder for C++ callers: the codec is built without exceptions, so a
// sink that throws (a write error, a limit reached) must not unwind through
// it. This is the one bridge: the exception is caught at the codec's
// boundary, decoding stops, and it is thrown again once the codec returned.
#ifndef GLIM_PACKAGE_DECODE_H
#define GLIM_PACKAGE_DECODE_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "decoder/decoder.h"

namespace glimpack {

using ByteSink = std::function<void(const uint8_t* data, size_t size)>;

// Decodes with a sink that may throw (or none), giving up as soon as the
// stream has used its stored bytes (DecodeUntilExhausted); returns the codec's
// report. With `crc`, the CRC-32 of what was decoded is carried on in *crc
// on the way, so that a reader that wants both hands the sink its blocks
// straight from the codec.
DecodeReport DecodeToSink(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                          uint32_t unpacked_size, const ByteSink& sink, uint32_t* crc = nullptr);

} // namespace glimpack

#endif
