// The streaming encoder: the same streams as the encoder that held its whole
// input (CRC-32s recorded from it before it streamed), whatever pieces the
// input arrives in and wherever the candidate streams are kept; the limit
// past which it gives up; and which modes keep candidates at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "package/crc32.h"
#include "package/spill.h"
#include "tests/support/mixed_bytes.h"

namespace fs = std::filesystem;
using encoder::Mode;
using Bytes = std::vector<uint8_t>;

namespace {

// The seed the recorded streams were made with.
Bytes Mixed(size_t n) {
    return test_bytes::Mixed(n, 7919u + static_cast<uint32_t>(n));
}

Bytes TestFile(const char* name) {
    std::ifstream f(fs::path(GLIM_TEST_DATA_DIR) / name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// What the encoder gave before it streamed. The sizes sit on the edges that
// matter to the streaming one: the look-ahead and window (4096), the size up
// to which Default also runs Greedy (262144), and inputs that pass through
// its text buffer more than once (1100000).
struct Recorded {
    const char* file; // or nullptr for Mixed(size)
    size_t size;
    Mode mode;
    size_t packed;
    uint32_t crc;
};

const Recorded kRecorded[] = {
    {"prose.txt", 0, Mode::Greedy, 32562, 0x0c825434},
    {"prose.txt", 0, Mode::Default, 30434, 0x306fb9dc},
    {"prose.txt", 0, Mode::Best, 30318, 0xd9e949da},
    {"stars.scr", 0, Mode::Greedy, 16099, 0x79cee400},
    {"stars.scr", 0, Mode::Default, 15906, 0xbe662d13},
    {"stars.scr", 0, Mode::Best, 15869, 0x774f641b},
    {"runs.bmp", 0, Mode::Greedy, 4997, 0xeb5d0d00},
    {"runs.bmp", 0, Mode::Default, 4913, 0xaf1ee00d},
    {"runs.bmp", 0, Mode::Best, 4907, 0x1e362bde},
    {"random.bin", 0, Mode::Greedy, 49271, 0x31ecafd3},
    {"random.bin", 0, Mode::Default, 49270, 0x218f0a09},
    {"random.bin", 0, Mode::Best, 49270, 0x218f0a09},
    {nullptr, 1, Mode::Greedy, 1, 0x5cbc0074},
    {nullptr, 1, Mode::Default, 1, 0x5cbc0074},
    {nullptr, 1, Mode::Best, 1, 0x5cbc0074},
    {nullptr, 31, Mode::Greedy, 4, 0x6c5363d5},
    {nullptr, 31, Mode::Default, 4, 0x6c5363d5},
    {nullptr, 31, Mode::Best, 4, 0x6c5363d5},
    {nullptr, 4096, Mode::Greedy, 559, 0x561efe2d},
    {nullptr, 4096, Mode::Default, 559, 0x561efe2d},
    {nullptr, 4096, Mode::Best, 555, 0x3f6dc0e6},
    {nullptr, 4097, Mode::Greedy, 535, 0xb6ae2af6},
    {nullptr, 4097, Mode::Default, 535, 0xb6ae2af6},
    {nullptr, 4097, Mode::Best, 529, 0x104d913e},
    {nullptr, 262144, Mode::Greedy, 42416, 0xdba200a6},
    {nullptr, 262144, Mode::Default, 41629, 0xc7fcbebd},
    {nullptr, 262144, Mode::Best, 41578, 0xdf9d153b},
    {nullptr, 262145, Mode::Greedy, 42996, 0x42bf5e83},
    {nullptr, 262145, Mode::Default, 42127, 0xf3de5c75},
    {nullptr, 262145, Mode::Best, 42082, 0x7c8dc43a},
    {nullptr, 600000, Mode::Greedy, 97226, 0xd9c6ffc6},
    {nullptr, 600000, Mode::Default, 95316, 0x7f40a2f5},
    {nullptr, 600000, Mode::Best, 95219, 0x3de0f187},
};

const char* ModeName(Mode m) {
    return m == Mode::Greedy ? "greedy" : m == Mode::Default ? "default" : "best";
}

// Hands out its bytes in pieces of the sizes given, in turn: single bytes,
// odd sizes and pieces larger than the encoder's buffer.
class PieceSource : public encoder::Source {
  public:
    PieceSource(const Bytes& data, std::vector<size_t> pieces)
        : data_(data), pieces_(std::move(pieces)) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        size_t n = std::min({capacity, pieces_[turn_++ % pieces_.size()], data_.size() - next_});
        std::copy_n(data_.begin() + static_cast<ptrdiff_t>(next_), n, buffer);
        next_ += n;
        return n;
    }

  private:
    const Bytes& data_;
    std::vector<size_t> pieces_;
    size_t turn_ = 0;
    size_t next_ = 0;
};

class BytesSink : public encoder::Sink {
  public:
    void Write(const uint8_t* data, size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
    }
    Bytes bytes;
};

// Memory spools that count how many were asked for.
class CountingStore : public encoder::SpoolStore {
  public:
    std::unique_ptr<encoder::Spool> NewSpool() override {
        ++made;
        return memory_.NewSpool();
    }
    int made = 0;

  private:
    encoder::MemorySpoolStore memory_;
};

class EncoderStream : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("glim_encoder_stream_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

} // namespace

TEST_F(EncoderStream, GivesTheStreamsOfTheWholeBufferEncoder) {
    for (const Recorded& r : kRecorded) {
        Bytes data = r.file ? TestFile(r.file) : Mixed(r.size);
        SCOPED_TRACE(std::string(r.file ? r.file : "mixed") + " " + std::to_string(data.size()) +
                     " " + ModeName(r.mode));
        ASSERT_FALSE(data.empty());
        Bytes whole = encoder::Compress(data.data(), data.size(), r.mode);
        EXPECT_EQ(whole.size(), r.packed);
        EXPECT_EQ(glimpack::Crc32(0, whole.data(), whole.size()), r.crc);

        // Odd pieces in, and candidates spilling to disk after 1000 bytes.
        PieceSource source(data, {1, 4095, 7, 600000, 65537, 3});
        BytesSink sink;
        glimpack::ScratchSpoolStore spools(dir_.string(), 1000);
        encoder::StreamResult result = encoder::CompressStream(source, sink, r.mode, spools);
        EXPECT_TRUE(sink.bytes == whole);
        EXPECT_EQ(result.input_size, data.size());
        EXPECT_EQ(result.output_size, whole.size());
        EXPECT_FALSE(result.over_limit);
        EXPECT_FALSE(result.too_large);
    }
    // The scratch files had no names.
    EXPECT_TRUE(fs::is_empty(dir_));
}

// Random bytes of the sizes that fill the encoder's text buffer (512 KiB with
// the 4066 spaces) to one short of, exactly and one past its end, in pieces
// that fall across it differently, against the previous encoder's streams.
// Best's tree parsers tie here once their last bytes are padded, and not
// before: the winner must be chosen on the unpadded bits, as it was.
TEST_F(EncoderStream, RandomBytesAcrossTheBufferEdge) {
    const size_t edge = 512 * 1024 - 4066;
    const struct {
        size_t size;
        Mode mode;
        size_t packed;
        uint32_t crc;
    } recorded[] = {
        {edge - 1, Mode::Greedy, 520567, 0x0573007d}, {edge - 1, Mode::Default, 520561, 0xdac1556d},
        {edge - 1, Mode::Best, 520561, 0xdac1556d},   {edge, Mode::Greedy, 520567, 0x158c9fab},
        {edge, Mode::Default, 520565, 0xd59b2062},    {edge, Mode::Best, 520565, 0x7fdd7e70},
        {edge + 1, Mode::Greedy, 520563, 0x4abd794b}, {edge + 1, Mode::Default, 520559, 0x624408dd},
        {edge + 1, Mode::Best, 520559, 0x624408dd},
    };
    for (const auto& r : recorded) {
        SCOPED_TRACE(std::to_string(r.size) + " " + ModeName(r.mode));
        Bytes data(r.size);
        std::mt19937 rng(static_cast<uint32_t>(r.size));
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(rng() >> 24);
        PieceSource source(data, {edge - 2, 1, 2, 3});
        BytesSink sink;
        encoder::MemorySpoolStore spools;
        encoder::CompressStream(source, sink, r.mode, spools);
        EXPECT_EQ(sink.bytes.size(), r.packed);
        EXPECT_EQ(glimpack::Crc32(0, sink.bytes.data(), sink.bytes.size()), r.crc);
    }
}

// The limit lets a caller that only wants a stream shorter than something
// stop early; a stream at the limit is still given whole.
TEST_F(EncoderStream, StopsOnceNoStreamCanFitTheLimit) {
    const Bytes inputs[] = {TestFile("prose.txt"), TestFile("random.bin")};
    for (const Bytes& data : inputs) {
        for (Mode mode : {Mode::Greedy, Mode::Default, Mode::Best}) {
            SCOPED_TRACE(std::to_string(data.size()) + " " + ModeName(mode));
            Bytes whole = encoder::Compress(data.data(), data.size(), mode);
            encoder::MemorySpoolStore spools;
            {
                PieceSource source(data, {70000});
                BytesSink sink;
                auto r = encoder::CompressStream(source, sink, mode, spools, whole.size());
                EXPECT_FALSE(r.over_limit);
                EXPECT_TRUE(sink.bytes == whole);
            }
            {
                PieceSource source(data, {70000});
                BytesSink sink;
                auto r = encoder::CompressStream(source, sink, mode, spools, whole.size() - 1);
                EXPECT_TRUE(r.over_limit);
                EXPECT_LE(r.output_size, whole.size());
            }
        }
    }
    // Read in small pieces, the input is only read as far as the streams
    // get before they pass the limit.
    const Bytes prose = TestFile("prose.txt");
    for (Mode mode : {Mode::Greedy, Mode::Best}) {
        PieceSource source(prose, {4096});
        BytesSink sink;
        encoder::MemorySpoolStore spools;
        auto r = encoder::CompressStream(source, sink, mode, spools, 1000);
        EXPECT_TRUE(r.over_limit);
        EXPECT_LT(r.input_size, prose.size() / 4) << ModeName(mode);
    }
}

// Only the modes that compare streams keep them aside; a lone stream goes
// straight to the sink, so that a large input in Default mode takes no more
// than the encoder's own buffers.
TEST_F(EncoderStream, KeepsCandidatesOnlyWhereAModeCompares) {
    struct Case {
        size_t size;
        Mode mode;
        int spools;
    } cases[] = {
        {300000, Mode::Greedy, 0}, {262145, Mode::Default, 0}, {262144, Mode::Default, 2},
        {5000, Mode::Default, 2},  {5000, Mode::Best, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " " + ModeName(c.mode));
        Bytes data = Mixed(c.size);
        PieceSource source(data, {100000});
        BytesSink sink;
        CountingStore store;
        encoder::CompressStream(source, sink, c.mode, store);
        EXPECT_EQ(store.made, c.spools);
        EXPECT_TRUE(sink.bytes == encoder::Compress(data.data(), data.size(), c.mode));
    }

    Bytes empty;
    for (Mode mode : {Mode::Greedy, Mode::Default, Mode::Best}) {
        PieceSource source(empty, {1});
        BytesSink sink;
        CountingStore store;
        auto r = encoder::CompressStream(source, sink, mode, store);
        EXPECT_EQ(r.input_size, 0u);
        EXPECT_EQ(r.output_size, 0u);
        EXPECT_TRUE(sink.bytes.empty());
    }
}
