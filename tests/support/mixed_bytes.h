// Test input with every kind of item the encoder makes: literals, copies
// from up to 5000 bytes back (so some from beyond the window) and runs, from
// a fixed generator, so that recorded streams of it stay valid.
#ifndef GLIM_TESTS_SUPPORT_MIXED_BYTES_H
#define GLIM_TESTS_SUPPORT_MIXED_BYTES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_bytes {

inline std::vector<uint8_t> Mixed(size_t n, uint32_t seed) {
    uint32_t x = seed;
    auto next = [&] {
        x = x * 1664525u + 1013904223u;
        return x >> 8;
    };
    std::vector<uint8_t> b;
    b.reserve(n);
    while (b.size() < n) {
        uint32_t r = next() % 8;
        if (r < 3 || b.empty()) {
            b.push_back(static_cast<uint8_t>(next()));
        } else if (r < 7) {
            size_t back = 1 + next() % std::min<size_t>(b.size(), 5000);
            size_t len = 2 + next() % 40;
            for (size_t i = 0; i < len && b.size() < n; ++i)
                b.push_back(b[b.size() - back]);
        } else {
            size_t len = 1 + next() % 80;
            uint8_t c = static_cast<uint8_t>(next());
            for (size_t i = 0; i < len && b.size() < n; ++i)
                b.push_back(c);
        }
    }
    return b;
}

} // namespace test_bytes

#endif
