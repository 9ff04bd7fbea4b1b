// Our compressor for the payload's stream format (the inverse of decoder/).
#ifndef GLIM_ENCODER_ENCODER_H
#define GLIM_ENCODER_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace encoder {

enum class Mode {
    Greedy,  // reference: complete binary-tree match finder, greedy parse
    Default, // fast, better than greedy
    Best,    // optimal parsing priced with the adaptive code's current lengths
};

// Largest input Compress accepts: the stream's unpacked size is a signed
// 32-bit count, and the encoder indexes the input with 32-bit positions.
constexpr size_t kMaxInputSize = 0x7FFFFFFF - 4096;

// Compresses `size` bytes into a raw stream that decodes to exactly those bytes.
// Default never returns a stream longer than Greedy's for the same input, and
// Best none longer than Default's. Throws std::length_error when `size` exceeds kMaxInputSize.
std::vector<uint8_t> Compress(const uint8_t* data, size_t size, Mode mode = Mode::Default);

} // namespace encoder

#endif
