// Our compressor for the payload's stream format (the inverse of decoder/).
#ifndef GLIM_ENCODER_ENCODER_H
#define GLIM_ENCODER_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace encoder {

enum class Mode {
    Greedy,   // reference: complete binary-tree match finder, greedy parse
    Default,  // fast, better than greedy
    Best,     // optimal parsing priced with the adaptive code's current lengths
};

// Compresses `size` bytes into a raw stream that decodes to exactly those bytes.
std::vector<uint8_t> Compress(const uint8_t* data, size_t size, Mode mode = Mode::Default);

} // namespace encoder

#endif
