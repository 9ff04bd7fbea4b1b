#include "tests/support/stream_writer.h"

#include <stdexcept>

namespace testing_support {

void StreamWriter::Bit(int bit) {
    if (bits_ % 8 == 0)
        bytes_.push_back(0);
    if (bit)
        bytes_.back() = static_cast<uint8_t>(bytes_.back() | (0x80 >> (bits_ % 8)));
    ++bits_;
}

void StreamWriter::Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i)
        Bit((value >> i) & 1);
}

void StreamWriter::Symbol(int symbol) {
    if (symbol < 0 || symbol >= oracle::kSymbols)
        throw std::invalid_argument("symbol out of range");
    for (int bit : tree_.CodeOf(symbol))
        Bit(bit);
    tree_.Count(symbol);
}

void StreamWriter::Match(int length, int distance) {
    if (length < 3 || length > 30 || distance < 0 || distance > 4095)
        throw std::invalid_argument("match out of range");
    Symbol(253 + length);
    oracle::PrefixCode high = oracle::DistanceHighCode(distance >> 6);
    Bits(high.bits, high.length);
    Bits(static_cast<uint32_t>(distance & 0x3F), 6);
}

} // namespace testing_support
