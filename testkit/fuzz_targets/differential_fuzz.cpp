// The production decoder against the test oracle, an independent reading of
// the stream format: the same stream and unpacked size must give the same
// bytes, use the same number of bits and agree on running out of input.
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"
#include "testkit/reference/oracle_decoder.h"

int FuzzDifferential(const uint8_t* data, size_t size) {
    using fuzz_support::Violation;
    if (size < 2)
        return 0;
    uint32_t unpacked = uint32_t(data[0]) | uint32_t(data[1]) << 8;
    std::vector<uint8_t> stream(data + 2, data + size);

    std::vector<uint8_t> produced(unpacked);
    DecodeReport report{};
    DecodeBuffer(stream.data(), uint32_t(stream.size()), produced.data(), unpacked, &report);

    oracle::Result expected = oracle::Decode(stream, unpacked);
    if (produced != expected.output) {
        size_t at = 0;
        while (at < produced.size() && produced[at] == expected.output[at])
            ++at;
        Violation("decoders differ at byte " + std::to_string(at) + " of " +
                  std::to_string(unpacked));
    }
    if (unpacked != 0 && report.bits_consumed != expected.bits_consumed)
        Violation("decoders used " + std::to_string(report.bits_consumed) + " and " +
                  std::to_string(expected.bits_consumed) + " bits");
    if ((report.ran_out_of_input != 0) != expected.ran_out)
        Violation("decoders disagree on running out of input");
    return 0;
}
