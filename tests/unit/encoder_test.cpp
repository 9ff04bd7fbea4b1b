// Round trips of the encoder through both the production decoder and the
// independent oracle, the size order of the modes, and the match finder
// against a brute-force search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "encoder/encoder.h"
#include "encoder/match_finder.h"
#include "testkit/reference/oracle_decoder.h"
#include "tests/support/pipe_input.h"
#include "tests/support/tool_fixture.h"
#include "tools/glimpack/cli.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace fs = std::filesystem;
using encoder::Compress;
using encoder::Mode;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes ReadFile(const fs::path& path, size_t limit = SIZE_MAX) {
    std::ifstream f(path, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (data.size() > limit)
        data.resize(limit);
    return data;
}

// The checked-in test data: text, an executable, a picture with runs and
// incompressible bytes (tests/data/README.md).
std::vector<fs::path> TestDataFiles() {
    std::vector<fs::path> files;
    for (const char* name : {"prose.txt", "stars.scr", "runs.bmp", "random.bin"})
        files.push_back(fs::path(GLIM_TEST_DATA_DIR) / name);
    return files;
}

Bytes RandomBytes(size_t n, uint32_t seed, int alphabet = 256) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, alphabet - 1);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(pick(rng));
    return b;
}

::testing::AssertionResult SameBytes(const Bytes& got, const Bytes& want) {
    if (got == want)
        return ::testing::AssertionSuccess();
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
    size_t i = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    return ::testing::AssertionFailure() << "first difference at byte " << i;
}

// Compresses `data`, decodes it with both decoders and checks that each gives
// the input back exactly. The oracle starts with a ring tail that no stream
// may depend on, and reports every byte the items produced, so a match that
// read undefined ring bytes or ran past the end shows up there.
Bytes CheckRoundTrip(const Bytes& data, Mode mode) {
    Bytes packed = Compress(data.data(), data.size(), mode);
    const uint32_t n = static_cast<uint32_t>(data.size());

    Bytes out(data.size());
    DecodeReport report{};
    DecodeBuffer(packed.data(), static_cast<uint32_t>(packed.size()), out.data(), n, &report);
    EXPECT_TRUE(SameBytes(out, data)) << "production decoder";
    EXPECT_EQ(report.produced, n);
    EXPECT_FALSE(report.ran_out_of_input);
    // Every stored byte carries bits of some item: no slack at the end.
    EXPECT_EQ((report.bits_consumed + 7) / 8, packed.size());

    oracle::Tail tail;
    for (size_t i = 0; i < tail.size(); ++i)
        tail[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
    oracle::Result r = oracle::Decode(packed, n, tail);
    EXPECT_TRUE(SameBytes(r.output, data)) << "oracle";
    EXPECT_EQ(r.full.size(), data.size()) << "the last match runs past the end";
    EXPECT_FALSE(r.ran_out);
    return packed;
}

const Mode kModes[] = {Mode::Greedy, Mode::Default, Mode::Best};
const char* ModeName(Mode m) {
    return m == Mode::Greedy ? "greedy" : m == Mode::Default ? "default" : "best";
}

} // namespace

TEST(EncoderTestData, RoundTripsAndModesImprove) {
    for (const fs::path& f : TestDataFiles()) {
        SCOPED_TRACE(f.filename().string());
        Bytes data = ReadFile(f);
        ASSERT_GT(data.size(), 30000u) << "missing or cut test data file";
        size_t size[3];
        for (int m = 0; m < 3; ++m) {
            SCOPED_TRACE(ModeName(kModes[m]));
            size[m] = CheckRoundTrip(data, kModes[m]).size();
        }
        EXPECT_LE(size[1], size[0]) << "default larger than greedy";
        EXPECT_LE(size[2], size[1]) << "best larger than default";
    }
}

TEST(EncoderTestData, EachKindCompressesAsItsKindShould) {
    // Text and pictures shrink a lot, code somewhat, random bytes not at all;
    // a broken finder or pricing shows up as a ratio far off these.
    struct Expectation {
        const char* name;
        double at_most; // compressed / original, Default mode
    } expectations[] = {
        {"prose.txt", 0.34}, {"stars.scr", 0.50}, {"runs.bmp", 0.09}, {"random.bin", 1.01}};
    for (const Expectation& e : expectations) {
        SCOPED_TRACE(e.name);
        Bytes data = ReadFile(fs::path(GLIM_TEST_DATA_DIR) / e.name);
        ASSERT_FALSE(data.empty());
        Bytes packed = Compress(data.data(), data.size(), Mode::Default);
        EXPECT_LE(double(packed.size()), e.at_most * double(data.size())) << packed.size();
    }
}

TEST(EncoderRoundTrip, RandomDataAtBufferBoundaries) {
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(16384), size_t(16385)}) {
        SCOPED_TRACE(n);
        for (Mode m : kModes) {
            SCOPED_TRACE(ModeName(m));
            Bytes packed = CheckRoundTrip(RandomBytes(n, static_cast<uint32_t>(n)), m);
            if (n == 0) {
                EXPECT_TRUE(packed.empty());
            }
        }
    }
}

TEST(EncoderRoundTrip, MillionRandomBytes) {
    Bytes data = RandomBytes(1000000, 7);
    Bytes packed = CheckRoundTrip(data, Mode::Default);
    // Incompressible input costs each literal about 8 bits plus the adaptive
    // code's slack; anything much more means a broken code.
    EXPECT_LT(packed.size(), data.size() + data.size() / 20);
}

TEST(EncoderRoundTrip, SeveralTreeRebuilds) {
    // Skewed bytes whose distribution changes every 64 KiB, with repeats:
    // over 300000 symbols, so the root count reaches the limit many times
    // and the tree is rebuilt with different shapes.
    std::mt19937 rng(11);
    Bytes data;
    while (data.size() < 400000) {
        int phase = static_cast<int>(data.size() >> 16);
        if (rng() % 8 == 0 && data.size() > 100) {
            size_t from = data.size() - 1 - rng() % std::min<size_t>(data.size() - 1, 4000);
            size_t len = 3 + rng() % 40;
            for (size_t k = 0; k < len; ++k)
                data.push_back(data[from + k]);
        } else {
            std::geometric_distribution<int> g(0.05 + 0.1 * phase);
            data.push_back(static_cast<uint8_t>(g(rng) * (phase + 1)));
        }
    }
    for (Mode m : kModes) {
        SCOPED_TRACE(ModeName(m));
        CheckRoundTrip(data, m);
    }
}

TEST(EncoderRoundTrip, RunsOfOneByteUseOverlappingMatches) {
    // A run is coded as matches at distance 0 that overlap what they
    // produce: about a dozen bits per 30 bytes. `bound` allows for that and
    // for about 9 bits per random byte.
    struct Case {
        Bytes data;
        size_t bound;
    };
    std::vector<Case> cases;
    cases.push_back({Bytes(100000, 0), 100000 / 16});
    Bytes text(1000, 'x');
    text.insert(text.end(), 5000, 'y');
    cases.push_back({text, 6000 / 16});
    Bytes mixed = RandomBytes(3000, 5);
    mixed.insert(mixed.end(), 77777, 0xEE);
    mixed.push_back(1);
    cases.push_back({mixed, 3000 * 9 / 8 + 77777 / 16});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data.size());
        for (Mode m : kModes) {
            SCOPED_TRACE(ModeName(m));
            EXPECT_LT(CheckRoundTrip(c.data, m).size(), c.bound);
        }
    }
}

TEST(EncoderRoundTrip, LeadingSpacesCopyFromTheInitialRing) {
    // The first item may copy the ring's spaces; lengths around 30 reach the
    // ring's undefined last bytes if the encoder gets its bounds wrong.
    for (size_t spaces :
         {size_t(3), size_t(29), size_t(30), size_t(31), size_t(60), size_t(5000)}) {
        SCOPED_TRACE(spaces);
        Bytes data(spaces, ' ');
        Bytes tail = RandomBytes(50, 3);
        data.insert(data.end(), tail.begin(), tail.end());
        for (Mode m : kModes) {
            SCOPED_TRACE(ModeName(m));
            Bytes packed = CheckRoundTrip(data, m);
            // 50 random literals take about 50 bytes; the spaces nearly nothing.
            EXPECT_LT(packed.size(), 64 + spaces / 12);
        }
    }
    // Input that only looks like the ring's start.
    Bytes only(4100, ' ');
    EXPECT_LT(CheckRoundTrip(only, Mode::Greedy).size(), 4100u / 16);
}

TEST(EncoderRoundTrip, DistancesAcrossTheWholeWindow) {
    // Blocks repeated at distances near every prefix-code boundary and at the
    // window's far end (4096 bytes back).
    Bytes block = RandomBytes(40, 9);
    for (size_t gap :
         {size_t(0), size_t(1), size_t(63), size_t(64), size_t(255), size_t(767), size_t(1535),
          size_t(3071), size_t(4015), size_t(4016), size_t(4056), size_t(4057), size_t(5000)}) {
        SCOPED_TRACE(gap);
        Bytes data = block;
        Bytes filler = RandomBytes(gap, static_cast<uint32_t>(gap) + 100);
        data.insert(data.end(), filler.begin(), filler.end());
        data.insert(data.end(), block.begin(), block.end());
        for (Mode m : kModes) {
            SCOPED_TRACE(ModeName(m));
            Bytes packed = CheckRoundTrip(data, m);
            if (gap + 40 <= 4096) { // the repeat is in reach: not coded as literals
                EXPECT_LT(packed.size(), 42 + gap + gap / 8 + 10);
            }
        }
    }
}

TEST(EncoderLimits, RefusesInputBeyondTheStreamFormat) {
    uint8_t byte = 0;
    EXPECT_THROW(Compress(&byte, encoder::kMaxInputSize + 1), std::length_error);
}

// For every position: the nearest source within the window that reaches each
// length, by brute force.
TEST(MatchFinder, ReportsTheNearestSourceForEveryLength) {
    for (int alphabet : {2, 4, 256}) {
        SCOPED_TRACE(alphabet);
        Bytes text = RandomBytes(6000, static_cast<uint32_t>(alphabet), alphabet);
        // Long runs and a far repeat as well.
        std::fill(text.begin() + 100, text.begin() + 200, 'a');
        std::copy(text.begin() + 10, text.begin() + 60, text.begin() + 4200);
        encoder::MatchFinder finder(text.data(), text.size(), 0);
        encoder::Candidate found[encoder::kMaxCandidates];
        for (size_t pos = 0; pos < text.size(); ++pos) {
            int n = finder.Find(pos, found);
            const int limit = static_cast<int>(std::min<size_t>(30, text.size() - pos));
            // want[L] = nearest distance code reaching length L, or -1.
            int want[31];
            std::fill(want, want + 31, -1);
            for (size_t back = 1; back <= 4096 && back <= pos; ++back) {
                int len = 0;
                while (len < limit && text[pos - back + len] == text[pos + len])
                    ++len;
                for (int L = 3; L <= len; ++L)
                    if (want[L] < 0)
                        want[L] = static_cast<int>(back - 1);
            }
            int got[31];
            std::fill(got, got + 31, -1);
            int prev = 2;
            for (int k = 0; k < n; ++k) {
                ASSERT_GT(found[k].length, prev) << "at " << pos;
                for (int L = prev + 1; L <= found[k].length; ++L)
                    got[L] = found[k].distance;
                prev = found[k].length;
            }
            for (int L = 3; L <= 30; ++L)
                ASSERT_EQ(got[L], want[L]) << "position " << pos << ", length " << L;
        }
    }
}

// Brute-force longest match at `pos` (0 if under 3 bytes), and whether the
// candidate (length, distance) really is a match there.
int LongestMatch(const Bytes& text, size_t pos) {
    const int limit = static_cast<int>(std::min<size_t>(30, text.size() - pos));
    int longest = 0;
    for (size_t back = 1; back <= 4096 && back <= pos; ++back) {
        int len = 0;
        while (len < limit && text[pos - back + len] == text[pos + len])
            ++len;
        longest = std::max(longest, len);
    }
    return longest >= 3 ? longest : 0;
}

::testing::AssertionResult IsMatch(const Bytes& text, size_t pos, const encoder::Candidate& c) {
    const size_t back = size_t(c.distance) + 1;
    if (back > pos || back > 4096)
        return ::testing::AssertionFailure() << "source out of reach, distance " << c.distance;
    if (c.length < 3 || c.length > 30 || pos + c.length > text.size())
        return ::testing::AssertionFailure() << "bad length " << c.length;
    for (size_t k = 0; k < c.length; ++k)
        if (text[pos - back + k] != text[pos + k])
            return ::testing::AssertionFailure()
                   << "bytes differ at " << k << " of length " << c.length;
    return ::testing::AssertionSuccess();
}

// Default's finder walks a bounded part of its chains, so it may miss
// sources; but what it reports must be real matches, in the order the
// parser relies on, and with the walk unbounded it must find every longest
// match of four bytes or more (three-byte matches come from one table slot
// per hash and may be lost to a collision).
TEST(ChainMatchFinder, ReportsRealMatchesAndUnboundedFindsTheLongest) {
    std::vector<Bytes> texts;
    for (int alphabet : {2, 4, 256})
        texts.push_back(RandomBytes(6000, static_cast<uint32_t>(alphabet) + 40, alphabet));
    // Runs of every length, some of them repeated with what follows.
    Bytes runs;
    std::mt19937 rng(5);
    while (runs.size() < 7000) {
        size_t n = 1 + rng() % 70;
        uint8_t b = static_cast<uint8_t>(rng() % 3);
        runs.insert(runs.end(), n, b);
        runs.push_back(static_cast<uint8_t>(10 + rng() % 4));
    }
    texts.push_back(runs);
    for (size_t t = 0; t < texts.size(); ++t) {
        SCOPED_TRACE(t);
        const Bytes& text = texts[t];
        encoder::ChainMatchFinder finder(text.data(), text.size(), 100000);
        encoder::ChainMatchFinder shallow(text.data(), text.size(), 2);
        encoder::Candidate found[encoder::kMaxCandidates];
        for (size_t pos = 0; pos < text.size(); ++pos) {
            for (encoder::ChainMatchFinder* f : {&finder, &shallow}) {
                int n = f->Find(pos, found);
                int prev = 2;
                unsigned prev_distance = 0;
                for (int k = 0; k < n; ++k) {
                    ASSERT_TRUE(IsMatch(text, pos, found[k])) << "position " << pos;
                    ASSERT_GT(found[k].length, prev) << "position " << pos;
                    ASSERT_GE(found[k].distance, prev_distance) << "position " << pos;
                    prev = found[k].length;
                    prev_distance = found[k].distance;
                }
                if (f == &finder) {
                    int want = LongestMatch(text, pos);
                    if (want >= 4) {
                        ASSERT_GT(n, 0) << "position " << pos;
                        ASSERT_EQ(found[n - 1].length, want) << "position " << pos;
                    }
                }
            }
        }
    }
}

// A walk of two links still reaches an older run that goes exactly as far
// as the current one, past the hundreds of chain entries of a longer run.
TEST(ChainMatchFinder, StepsOverRunsAsAWhole) {
    Bytes text(500, 'a');
    Bytes tail = {'X', 'Y', 'Z', 'W', 'V'};
    text.insert(text.end(), tail.begin(), tail.end());
    Bytes filler = RandomBytes(1000, 77, 8); // bytes 0..7: no run of 'a'
    text.insert(text.end(), filler.begin(), filler.end());
    const size_t at = text.size();
    text.insert(text.end(), 20, 'a');
    text.insert(text.end(), tail.begin(), tail.end());
    text.push_back('!');

    encoder::ChainMatchFinder finder(text.data(), text.size(), 2);
    encoder::Candidate found[encoder::kMaxCandidates];
    int n = 0;
    for (size_t pos = 0; pos <= at; ++pos)
        n = finder.Find(pos, found);
    ASSERT_GT(n, 0);
    EXPECT_EQ(found[n - 1].length, 25);
    EXPECT_EQ(found[n - 1].distance, at - 480 - 1);
}

// The chain finder's blind spots must not cost Default its lead over Greedy
// where Greedy is not run beside it: a picture-like input of long runs of
// zero with short patterns, over the size up to which Default compares.
TEST(EncoderCorpus, DefaultBeatsGreedyOnLargeRunHeavyInput) {
    std::mt19937 rng(23);
    Bytes rows;
    Bytes row(216, 0);
    while (rows.size() < 600000) {
        if (rng() % 4 == 0) {
            std::fill(row.begin(), row.end(), 0);
            for (int k = 0; k < 6; ++k) {
                size_t at = rng() % 200;
                size_t len = 1 + rng() % 12;
                std::fill(row.begin() + at, row.begin() + at + len,
                          static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : 1 << (rng() % 8)));
            }
        }
        rows.insert(rows.end(), row.begin(), row.end());
        row[rng() % 216] ^= static_cast<uint8_t>(1 << (rng() % 8));
    }
    size_t greedy = CheckRoundTrip(rows, Mode::Greedy).size();
    size_t fast = CheckRoundTrip(rows, Mode::Default).size();
    EXPECT_LT(fast, greedy);
}

// The two commands, through the same entry the tool's main uses.
class CodecCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("glim_codec_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    int Run(const char* name, int (*body)(int, char**), std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        return glimpack::RunCommand(name, body, static_cast<int>(argv.size()), argv.data());
    }
    std::string P(const char* name) { return (dir_ / name).string(); }
    void Write(const char* name, const Bytes& b) {
        std::ofstream(P(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }

    fs::path dir_;
};

TEST_F(CodecCommand, CompressThenDecompressGivesTheFileBack) {
    Bytes data = ReadFile(__FILE__);
    Write("in", data);
    ASSERT_EQ(Run("compress", glimpack::CmdCompress, {"-q", "--best", P("in"), P("z")}), 0);
    Bytes packed = ReadFile(P("z"));
    EXPECT_EQ(packed, Compress(data.data(), data.size(), Mode::Best));
    ASSERT_EQ(Run("decompress", glimpack::CmdDecompress,
                  {"--size", std::to_string(data.size()), P("z"), P("out")}),
              0);
    EXPECT_TRUE(SameBytes(ReadFile(P("out")), data));
}

TEST_F(CodecCommand, RefusesBadUse) {
    Write("in", Bytes(100, 'q'));
    // No size, missing input, output in the way, too many files.
    EXPECT_EQ(Run("decompress", glimpack::CmdDecompress, {P("in"), P("out")}),
              glimpack::kExitUsage);
    EXPECT_EQ(Run("compress", glimpack::CmdCompress, {P("missing"), P("out")}),
              glimpack::kExitBadInput);
    EXPECT_FALSE(fs::exists(P("out")));
    Write("taken", Bytes(1, 'x'));
    EXPECT_EQ(Run("compress", glimpack::CmdCompress, {"-q", P("in"), P("taken")}),
              glimpack::kExitBadInput);
    EXPECT_EQ(ReadFile(P("taken")), Bytes(1, 'x'));
    EXPECT_EQ(Run("compress", glimpack::CmdCompress, {"-q", "--overwrite", P("in"), P("taken")}),
              0);
    EXPECT_EQ(Run("compress", glimpack::CmdCompress, {P("in"), P("a"), P("b")}),
              glimpack::kExitUsage);
    EXPECT_EQ(Run("decompress", glimpack::CmdDecompress, {"--size", "5000000000", P("in"), P("o")}),
              glimpack::kExitUsage);
}

// A pipe has no size until it ends: both commands read it to its end.
TEST_F(CodecCommand, ReadPipes) {
    Bytes data = ReadFile(fs::path(GLIM_TEST_DATA_DIR) / "prose.txt");
    Bytes packed = Compress(data.data(), data.size(), Mode::Best);
    {
        tool_fixture::PipeInput pipe(data);
        ASSERT_EQ(Run("compress", glimpack::CmdCompress, {"-q", "--best", pipe.path(), P("z")}), 0);
    }
    EXPECT_TRUE(SameBytes(ReadFile(P("z")), packed));
    {
        tool_fixture::PipeInput pipe(packed);
        ASSERT_EQ(Run("decompress", glimpack::CmdDecompress,
                      {"--size", std::to_string(data.size()), pipe.path(), P("out")}),
                  0);
    }
    EXPECT_TRUE(SameBytes(ReadFile(P("out")), data));
}
