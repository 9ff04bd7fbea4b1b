// Hand-crafts compressed streams for tests: symbols are coded with the
// current adaptive code (kept by the oracle's tree, never by decoder/ code),
// distances with the prefix code and 6 plain bits.
#ifndef GLIM_TESTS_SUPPORT_STREAM_WRITER_H
#define GLIM_TESTS_SUPPORT_STREAM_WRITER_H

#include <cstdint>
#include <vector>

#include "testkit/reference/oracle_decoder.h"

namespace testing_support {

class StreamWriter {
  public:
    void Literal(uint8_t byte) { Symbol(byte); }
    // A match of `length` (3..30) bytes starting `distance` + 1 bytes back.
    void Match(int length, int distance);
    void Symbol(int symbol);
    void Bits(uint32_t value, int count);

    uint64_t bit_count() const { return bits_; }
    const oracle::AdaptiveTree& tree() const { return tree_; }

    // The stream so far, the last byte padded with zero bits.
    std::vector<uint8_t> Finish() const { return bytes_; }

  private:
    void Bit(int bit);

    oracle::AdaptiveTree tree_;
    std::vector<uint8_t> bytes_;
    uint64_t bits_ = 0;
};

} // namespace testing_support

#endif
