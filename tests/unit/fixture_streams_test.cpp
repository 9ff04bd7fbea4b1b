// The reference decoder and the production decoder against the raw streams
// of tests/fixtures/streams, which make_fixtures.py encodes with a Python
// encoder of its own: neither decoder here shares a line with what made them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "testkit/reference/oracle_decoder.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes ReadFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct FixtureStream {
    std::string name;
    Bytes stored;
    Bytes expected; // its length is the unpacked size
};

std::vector<FixtureStream> FixtureStreams() {
    std::vector<FixtureStream> streams;
    for (const auto& e : fs::directory_iterator(fs::path(GLIM_FIXTURES_DIR) / "streams")) {
        if (e.path().extension() != ".lzs")
            continue;
        fs::path out = e.path();
        out.replace_extension(".out");
        streams.push_back({e.path().stem().string(), ReadFile(e.path()), ReadFile(out)});
    }
    std::sort(streams.begin(), streams.end(),
              [](const FixtureStream& a, const FixtureStream& b) { return a.name < b.name; });
    return streams;
}

// The Python encoder pads only the last byte, so a decoder that reads the
// format as it does uses up every stored byte and needs no bit past them.
TEST(FixtureStreams, BothDecodersGiveTheExpectedBytesFromEveryStoredByte) {
    std::vector<FixtureStream> streams = FixtureStreams();
    ASSERT_GE(streams.size(), 5u) << "no fixtures under " << GLIM_FIXTURES_DIR;
    for (const FixtureStream& s : streams) {
        SCOPED_TRACE(s.name);
        auto size = static_cast<uint32_t>(s.expected.size());

        oracle::Result reference = oracle::Decode(s.stored, size);
        EXPECT_TRUE(reference.output == s.expected);
        EXPECT_FALSE(reference.ran_out);
        EXPECT_EQ((reference.bits_consumed + 7) / 8, s.stored.size());

        Bytes produced(size);
        DecodeReport report{};
        DecodeBuffer(s.stored.data(), static_cast<uint32_t>(s.stored.size()), produced.data(), size,
                     &report);
        EXPECT_TRUE(produced == s.expected);
        EXPECT_EQ(report.bits_consumed, reference.bits_consumed);
        EXPECT_EQ(report.ran_out_of_input, 0);
        EXPECT_EQ(report.stored_bytes_unused, 0u);
    }
}

// The last match of past_end makes 30 bytes of which 10 are wanted: the
// reference keeps the surplus apart from the output.
TEST(FixtureStreams, SurplusOfTheLastMatchIsProducedButNotOutput) {
    for (const FixtureStream& s : FixtureStreams()) {
        if (s.name != "past_end")
            continue;
        oracle::Result r = oracle::Decode(s.stored, static_cast<uint32_t>(s.expected.size()));
        EXPECT_EQ(r.full.size(), s.expected.size() + 20);
        return;
    }
    FAIL() << "no past_end stream";
}

} // namespace
