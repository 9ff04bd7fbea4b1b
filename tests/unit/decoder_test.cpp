// The decoder against hand-made streams, the independent oracle, and the
// installer's buffered streams (observed through cookie FILEs).
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "decoder/code_tree.h"
#include "decoder/decoder.h"
#include "payload/decode_job.h"
#include "platform/host/host_world.h"
#include "testkit/fakes/fake_control.h"
#include "testkit/reference/oracle_decoder.h"
#include "tests/support/stream_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::StreamWriter;

struct Decoded {
    Bytes output;
    DecodeReport report{};
};

Decoded DecodeToVector(const Bytes& stored, uint32_t unpacked_size) {
    Decoded d;
    d.output.assign(unpacked_size, 0xEE);
    DecodeBuffer(stored.data(), static_cast<uint32_t>(stored.size()), d.output.data(),
                 unpacked_size, &d.report);
    return d;
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// A FILE over memory that records how stdio used it. Unbuffered, so every
// fread/fwrite of the streams reaches the callbacks as one request.
struct RecordingFile {
    Bytes input;
    size_t read_position = 0;
    std::vector<size_t> read_requests;
    Bytes written;
    std::vector<size_t> write_sizes;
    bool fail_writes = false;

    static ssize_t Read(void* cookie, char* buffer, size_t size) {
        auto* f = static_cast<RecordingFile*>(cookie);
        f->read_requests.push_back(size);
        size_t n = std::min(size, f->input.size() - f->read_position);
        std::memcpy(buffer, f->input.data() + f->read_position, n);
        f->read_position += n;
        return static_cast<ssize_t>(n);
    }
    static ssize_t Write(void* cookie, const char* data, size_t size) {
        auto* f = static_cast<RecordingFile*>(cookie);
        if (f->fail_writes)
            return 0;
        f->write_sizes.push_back(size);
        f->written.insert(f->written.end(), data, data + size);
        return static_cast<ssize_t>(size);
    }

    FILE* Open(const char* mode) {
        cookie_io_functions_t io{};
        io.read = Read;
        io.write = Write;
        FILE* file = fopencookie(this, mode, io);
        setvbuf(file, nullptr, _IONBF, 0);
        return file;
    }
};

// The installer's path over recording files.
struct InstallerRun {
    RecordingFile in, out;
    int32_t result = 0;
};

InstallerRun RunInstallerDecode(const Bytes& file_bytes, uint32_t stored_size,
                                int32_t unpacked_size) {
    InstallerRun run;
    run.in.input = file_bytes;
    FILE* in = run.in.Open("rb");
    FILE* out = run.out.Open("wb");
    ResetInputStream();
    ResetOutputStream();
    run.result = DecodeStream(in, out, unpacked_size, stored_size);
    fclose(out);
    fclose(in);
    return run;
}

Bytes FiveSpacesStream() {
    StreamWriter w;
    w.Match(5, 0);
    return w.Finish();
}

// ---------------------------------------------------------------------------

TEST(CodeTree, InitialLayoutPairsPositionsFromTheBottom) {
    CodeTree t;
    InitCodeTree(&t);
    for (int s = 0; s < CODE_SYMBOLS; ++s) {
        EXPECT_EQ(t.counts[s], 1);
        EXPECT_EQ(t.child[s], CODE_TREE_NODES + s);
        EXPECT_EQ(t.parent[CODE_TREE_NODES + s], s);
    }
    EXPECT_EQ(t.child[CODE_SYMBOLS], 0);
    EXPECT_EQ(t.child[CODE_TREE_ROOT], CODE_TREE_ROOT - 1 - 1); // 564
    EXPECT_EQ(t.counts[CODE_TREE_ROOT], CODE_SYMBOLS);
    EXPECT_EQ(t.counts[CODE_TREE_NODES], 0xFFFF);
    EXPECT_EQ(t.parent[CODE_TREE_ROOT], 0);
}

void ExpectSameTree(const CodeTree& t, const oracle::AdaptiveTree& o, const std::string& where) {
    for (int p = 0; p < CODE_TREE_NODES; ++p) {
        const auto& n = o.nodes()[p];
        ASSERT_EQ(t.counts[p], n.count) << where << " position " << p;
        ASSERT_EQ(t.child[p], n.leaf ? CODE_TREE_NODES + n.value : n.value)
            << where << " position " << p;
        if (p != CODE_TREE_ROOT) {
            ASSERT_EQ(t.parent[p], o.ParentOf(p)) << where << " position " << p;
        }
    }
    for (int s = 0; s < CODE_SYMBOLS; ++s)
        ASSERT_EQ(t.parent[CODE_TREE_NODES + s], o.PositionOf(s)) << where << " symbol " << s;
    ASSERT_EQ(t.counts[CODE_TREE_NODES], 0xFFFF) << where;
    ASSERT_EQ(t.parent[CODE_TREE_ROOT], 0) << where;
}

void ExpectSiblingProperty(const CodeTree& t) {
    for (int p = 0; p < CODE_TREE_NODES; ++p) {
        if (p + 1 < CODE_TREE_NODES) {
            ASSERT_LE(t.counts[p], t.counts[p + 1]) << "position " << p;
        }
        int c = t.child[p];
        if (c < CODE_TREE_NODES) {
            ASSERT_EQ(t.counts[p], t.counts[c] + t.counts[c + 1]) << "position " << p;
        }
    }
}

TEST(CodeTree, AgreesWithOracleThroughSeveralRebuilds) {
    CodeTree t;
    InitCodeTree(&t);
    oracle::AdaptiveTree o;
    std::mt19937 rng(7);
    // Skewed symbol frequencies, changing over time, so nodes move far.
    std::geometric_distribution<int> skew(0.05);
    for (int step = 0; step < 120000; ++step) {
        int s = (skew(rng) + step / 20000 * 37) % CODE_SYMBOLS;
        UpdateCodeTree(&t, s);
        o.Count(s);
        if (step < 3000 || step % 997 == 0 || t.counts[CODE_TREE_ROOT] < 0x4010) {
            ExpectSameTree(t, o, "step " + std::to_string(step));
            if (HasFatalFailure())
                return;
        }
    }
    ExpectSameTree(t, o, "end");
    ExpectSiblingProperty(t);
    EXPECT_GE(o.rebuilds(), 4);
}

TEST(CodeTree, RebuildHappensExactlyWhenRootReachesLimitBeforeCounting) {
    CodeTree t;
    InitCodeTree(&t);
    const int updates_to_limit = CODE_COUNT_LIMIT - CODE_SYMBOLS;
    for (int i = 0; i < updates_to_limit; ++i)
        UpdateCodeTree(&t, 'A');
    ASSERT_EQ(t.counts[CODE_TREE_ROOT], CODE_COUNT_LIMIT);
    EXPECT_EQ(t.counts[t.parent[CODE_TREE_NODES + 'A']], 1 + updates_to_limit); // not halved

    UpdateCodeTree(&t, 'B');
    // Halved (rounding up) before 'B' is counted: 'A' 32485 -> 16243, the
    // other 283 leaves stay at 1, and then 'B' adds one.
    EXPECT_EQ(t.counts[t.parent[CODE_TREE_NODES + 'A']], 16243);
    EXPECT_EQ(t.counts[t.parent[CODE_TREE_NODES + 'B']], 2);
    EXPECT_EQ(t.counts[CODE_TREE_ROOT], 16243 + 283 + 1);
    ExpectSiblingProperty(t);
}

// The partner search compares eight counts at a time where it can and falls
// back to single steps and halving near the sentinel; every run length at
// every start, up to the sentinel, must give the last position below k.
TEST(CodeTree, ExchangePartnerIsTheLastPositionBelowTheNewCount) {
    uint16_t counts[CODE_TREE_NODES + 1];
    for (int node = 0; node < CODE_TREE_ROOT; ++node) {
        for (int end = node + 1; end < CODE_TREE_NODES; ++end) {
            // counts: ... 5 at node (just raised to k = 6), 5 from node + 1 to
            // end, 6 or more after it, 0xFFFF at the sentinel.
            for (int p = 0; p < CODE_TREE_NODES; ++p)
                counts[p] = (uint16_t)(p < node ? 1 : p <= end ? 5 : 6 + (p - end) / 3);
            counts[node] = 6;
            counts[CODE_TREE_NODES] = 0xFFFF;
            ASSERT_EQ(FindExchangePartner(counts, node, 6), end) << "node " << node;
        }
    }
    // Counts at the limit and the sentinel: unsigned comparisons throughout.
    for (int p = 0; p < CODE_TREE_NODES; ++p)
        counts[p] = (uint16_t)(p < 500 ? 0x7FFF : 0x8000);
    counts[CODE_TREE_NODES] = 0xFFFF;
    counts[490] = 0x8000;
    EXPECT_EQ(FindExchangePartner(counts, 490, 0x8000), 499);
}

TEST(CodeTree, DistanceTablesFollowThePrefixCode) {
    for (int p = 0; p < 256; ++p) {
        int high = DistanceHighBits[p];
        oracle::PrefixCode code = oracle::DistanceHighCode(high);
        ASSERT_EQ(DistanceCodeLength[p], code.length) << p;
        // The prefix starts with the code of its upper bits.
        ASSERT_EQ(static_cast<uint32_t>(p) >> (8 - code.length), code.bits) << p;
    }
    EXPECT_EQ(DistanceHighBits[0xFF], 63);
    EXPECT_EQ(DistanceCodeLength[0x00], 3);
}

// ---------------------------------------------------------------------------

TEST(DecodeBuffer, FirstMatchAtDistanceZeroCopiesTheSpaceFill) {
    Bytes stream = FiveSpacesStream();
    Decoded d = DecodeToVector(stream, 5);
    EXPECT_EQ(d.output, Bytes(5, ' '));
    EXPECT_FALSE(d.report.ran_out_of_input);
    EXPECT_EQ(d.report.stored_bytes_unused, 0u);
    EXPECT_EQ(d.report.produced, 5u);
}

TEST(DecodeBuffer, OverlappingMatchRepeatsThePreviousByte) {
    StreamWriter w;
    w.Literal('x');
    w.Literal('y');
    w.Match(10, 0); // "y" ten more times
    w.Match(4, 11); // back to the "x"
    Decoded d = DecodeToVector(w.Finish(), 16);
    EXPECT_EQ(std::string(d.output.begin(), d.output.end()), "xyyyyyyyyyyyxyyy");
}

TEST(DecodeBuffer, RingTailStartsAsZeroOnTheCallbackPath) {
    {
        // Whatever an installer decode left in its own ring does not leak in.
        StreamWriter fill;
        fill.Literal('Z');
        fill.Match(30, 0);
        RunInstallerDecode(fill.Finish(), static_cast<uint32_t>(fill.Finish().size()), 31);
    }
    StreamWriter w;
    w.Match(30, 4095); // ring position (4066 - 4096) mod 4096 = 4066
    w.Match(3, 4066);  // ring position (0 - 4067) mod 4096 = 29: spaces
    Decoded d = DecodeToVector(w.Finish(), 33);
    Bytes expected(30, 0);
    expected.insert(expected.end(), 3, ' ');
    EXPECT_EQ(d.output, expected);
}

TEST(DecodeBuffer, LastMatchPastTheEndIsCutAtTheUnpackedSize) {
    for (uint32_t size = 1; size <= 40; ++size) {
        StreamWriter w;
        w.Literal('a');
        w.Match(30, 0);
        w.Match(30, 0);
        Decoded d = DecodeToVector(w.Finish(), size);
        EXPECT_EQ(d.output, Bytes(size, 'a')) << size;
        EXPECT_EQ(d.report.produced, size);
    }
}

TEST(DecodeBuffer, UnpackedSizeZeroReadsNothing) {
    int calls = 0;
    auto source = [](void* c, uint8_t*, size_t) -> size_t {
        ++*static_cast<int*>(c);
        return 0;
    };
    auto sink = [](void*, const uint8_t*, size_t) { return 1; };
    DecodeReport r{};
    EXPECT_EQ(DecodeWithCallbacks(source, &calls, 100, sink, nullptr, 0, &r), 1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(r.produced, 0u);
    EXPECT_EQ(r.bits_consumed, 0u);
    EXPECT_EQ(r.stored_bytes_unused, 100u);
}

TEST(DecodeBuffer, StreamThatRunsOutStillEndsAtTheUnpackedSize) {
    std::mt19937 rng(11);
    Bytes stream = RandomBytes(rng, 20);
    Decoded d = DecodeToVector(stream, 5000);
    oracle::Result o = oracle::Decode(stream, 5000);
    EXPECT_EQ(d.output, o.output);
    EXPECT_EQ(d.report.produced, 5000u);
    EXPECT_TRUE(d.report.ran_out_of_input);
    EXPECT_EQ(d.report.stored_bytes_unused, 0u);
    EXPECT_FALSE(d.report.short_input);
}

TEST(DecodeBuffer, ReportsStoredBytesThatNoItemReached) {
    Bytes stream = FiveSpacesStream();
    size_t used = stream.size();
    stream.insert(stream.end(), {1, 2, 3});
    Decoded d = DecodeToVector(stream, 5);
    EXPECT_EQ(d.output, Bytes(5, ' '));
    EXPECT_EQ(d.report.stored_bytes_unused, 3u);
    EXPECT_FALSE(d.report.ran_out_of_input);
    EXPECT_EQ((d.report.bits_consumed + 7) / 8, used);
}

struct CountingSource {
    const Bytes* data;
    size_t position = 0;
    size_t limit; // bytes it will hand out at most
    std::vector<size_t> capacities;
    static size_t Read(void* c, uint8_t* buffer, size_t capacity) {
        auto* s = static_cast<CountingSource*>(c);
        s->capacities.push_back(capacity);
        size_t n = std::min({capacity, s->data->size() - s->position, s->limit - s->position});
        std::memcpy(buffer, s->data->data() + s->position, n);
        s->position += n;
        return n;
    }
};

struct VectorSink {
    Bytes data;
    std::vector<size_t> pieces;
    size_t stop_after = SIZE_MAX; // refuse the piece that would pass this many bytes
    static int Write(void* c, const uint8_t* d, size_t n) {
        auto* s = static_cast<VectorSink*>(c);
        if (s->data.size() + n > s->stop_after)
            return 0;
        s->pieces.push_back(n);
        s->data.insert(s->data.end(), d, d + n);
        return 1;
    }
};

TEST(DecodeWithCallbacks, NeverAsksForMoreThanTheStoredSize) {
    std::mt19937 rng(3);
    Bytes file = RandomBytes(rng, 50000); // more than the stream's share
    CountingSource src{&file, 0, file.size(), {}};
    VectorSink sink;
    DecodeReport r{};
    ASSERT_EQ(DecodeWithCallbacks(CountingSource::Read, &src, 40000, VectorSink::Write, &sink,
                                  400000, &r),
              1);
    EXPECT_EQ(src.position, 40000u);
    EXPECT_EQ(src.capacities, (std::vector<size_t>{16384, 16384, 7232}));
    EXPECT_TRUE(r.ran_out_of_input);
    EXPECT_EQ(sink.data.size(), 400000u);
    EXPECT_EQ(sink.data, oracle::Decode(Bytes(file.begin(), file.begin() + 40000), 400000).output);
}

TEST(DecodeWithCallbacks, ShortSourceReadsAsZeroBitsAndIsReported) {
    std::mt19937 rng(5);
    Bytes file = RandomBytes(rng, 300);
    CountingSource src{&file, 0, 100, {}};
    VectorSink sink;
    DecodeReport r{};
    ASSERT_EQ(
        DecodeWithCallbacks(CountingSource::Read, &src, 300, VectorSink::Write, &sink, 3000, &r),
        1);
    EXPECT_TRUE(r.short_input);
    EXPECT_TRUE(r.ran_out_of_input);
    EXPECT_EQ(sink.data, oracle::Decode(Bytes(file.begin(), file.begin() + 100), 3000).output);
}

TEST(DecodeWithCallbacks, SinkRefusalStopsTheDecodeAndIsReported) {
    std::mt19937 rng(9);
    Bytes stream = RandomBytes(rng, 4000);
    CountingSource src{&stream, 0, stream.size(), {}};
    VectorSink sink;
    sink.stop_after = 20000;
    DecodeReport r{};
    EXPECT_EQ(
        DecodeWithCallbacks(CountingSource::Read, &src, 4000, VectorSink::Write, &sink, 40000, &r),
        0);
    EXPECT_TRUE(r.sink_stopped);
    EXPECT_EQ(r.produced, 16384u);
    EXPECT_EQ(sink.pieces, (std::vector<size_t>{16384}));
}

TEST(DecodeWithCallbacks, UnpackedSizesAboveTheSignedRangeAreDecoded) {
    // The installer path produces nothing for these; here decoding starts and
    // runs until the sink stops it.
    std::mt19937 rng(13);
    Bytes stream = RandomBytes(rng, 1000);
    CountingSource src{&stream, 0, stream.size(), {}};
    VectorSink sink;
    sink.stop_after = 3 * 16384;
    DecodeReport r{};
    EXPECT_EQ(DecodeWithCallbacks(CountingSource::Read, &src, 1000, VectorSink::Write, &sink,
                                  0x80000000u, &r),
              0);
    EXPECT_EQ(r.produced, 3u * 16384);
    EXPECT_EQ(sink.data, oracle::Decode(stream, 3 * 16384).output);
}

TEST(DecodeUntilExhausted, GivesUpSoonAfterTheBytesASourceOfUnknownLengthGave) {
    // A pipe: the caller passes the largest stored size and lets the source
    // end. A stream of 1000 bytes asked for 4 GiB must stop within a block
    // or two of what those bytes can give, not decode zero bits to the end.
    std::mt19937 rng(17);
    Bytes stream = RandomBytes(rng, 1000);
    CountingSource src{&stream, 0, stream.size(), {}};
    VectorSink sink;
    DecodeReport r{};
    EXPECT_EQ(DecodeUntilExhausted(CountingSource::Read, &src, UINT32_MAX, VectorSink::Write, &sink,
                                   UINT32_MAX, &r),
              1);
    EXPECT_TRUE(r.gave_up);
    EXPECT_TRUE(r.ran_out_of_input);
    EXPECT_LE(r.produced, MaxUnpackedSize(1000) + 2 * 16384);
    // With the stored size known, the same stream stops at the same point.
    CountingSource again{&stream, 0, stream.size(), {}};
    VectorSink known;
    DecodeReport k{};
    DecodeUntilExhausted(CountingSource::Read, &again, 1000, VectorSink::Write, &known, UINT32_MAX,
                         &k);
    EXPECT_EQ(k.produced, r.produced);
    EXPECT_EQ(known.data, sink.data);
}

// ---------------------------------------------------------------------------

TEST(DecoderOracle, AgreesOnRandomStreams) {
    std::mt19937 rng(20261208);
    for (int i = 0; i < 3000; ++i) {
        size_t stored = rng() % 400;
        uint32_t unpacked = static_cast<uint32_t>(rng() % 1500);
        Bytes stream = RandomBytes(rng, stored);
        Decoded d = DecodeToVector(stream, unpacked);
        oracle::Result o = oracle::Decode(stream, unpacked);
        ASSERT_EQ(d.output, o.output) << "stream " << i;
        if (unpacked != 0) {
            ASSERT_EQ(d.report.bits_consumed, o.bits_consumed) << "stream " << i;
            ASSERT_EQ(d.report.ran_out_of_input != 0, o.ran_out) << "stream " << i;
        }
    }
}

// A longer stream from the writer: literals and matches with a skewed mix,
// enough symbols to pass through several rebuilds.
Bytes WriteLongStream(uint32_t seed, size_t symbols, Bytes* expected) {
    std::mt19937 rng(seed);
    std::geometric_distribution<int> skew(0.08);
    StreamWriter w;
    Bytes out;
    for (size_t i = 0; i < symbols; ++i) {
        if (out.size() > 40 && rng() % 4 == 0) {
            int length = 3 + static_cast<int>(rng() % 28);
            int distance = static_cast<int>(rng() % std::min<size_t>(out.size(), 4096));
            w.Match(length, distance);
            size_t from = out.size() - distance - 1;
            for (int k = 0; k < length; ++k)
                out.push_back(out[from + k]);
        } else {
            uint8_t b = static_cast<uint8_t>(skew(rng));
            w.Literal(b);
            out.push_back(b);
        }
    }
    *expected = out;
    return w.Finish();
}

TEST(DecoderOracle, LongStreamThroughSeveralRebuildsDecodesUnchanged) {
    Bytes expected;
    Bytes stream = WriteLongStream(1, 150000, &expected);
    Decoded d = DecodeToVector(stream, static_cast<uint32_t>(expected.size()));
    EXPECT_TRUE(d.output == expected);
    EXPECT_EQ(d.report.stored_bytes_unused, 0u);
    EXPECT_FALSE(d.report.ran_out_of_input);
    EXPECT_TRUE(oracle::Decode(stream, static_cast<uint32_t>(expected.size())).output == expected);
}

TEST(DecoderOracle, AgreesOnTruncatedStreams) {
    Bytes expected;
    Bytes stream = WriteLongStream(2, 3000, &expected);
    uint32_t size = static_cast<uint32_t>(expected.size());
    for (size_t cut = 0; cut <= stream.size(); cut += 1 + cut / 8) {
        Bytes part(stream.begin(), stream.begin() + cut);
        Decoded d = DecodeToVector(part, size);
        oracle::Result o = oracle::Decode(part, size);
        ASSERT_EQ(d.output, o.output) << "cut " << cut;
        ASSERT_EQ(d.report.ran_out_of_input != 0, o.ran_out) << "cut " << cut;
        ASSERT_EQ(d.report.produced, size);
    }
}

TEST(DecoderOracle, CodesLongerThanSixteenBitsDecode) {
    // Fibonacci-like counts on top of the 275 leaves still at count 1 give a
    // chain-shaped tree in which the rarest leaves sit deeper than 16 levels.
    StreamWriter w;
    Bytes expected;
    uint32_t a = 300, b = 300;
    for (int s = 0; s < 9; ++s) {
        for (uint32_t k = 1; k < a; ++k) {
            w.Literal(static_cast<uint8_t>('a' + s));
            expected.push_back(static_cast<uint8_t>('a' + s));
        }
        uint32_t next = a + b;
        a = b;
        b = next;
    }
    int deepest = 0;
    for (int s = 0; s < oracle::kSymbols; ++s)
        if (w.tree().Depth(s) > w.tree().Depth(deepest))
            deepest = s;
    ASSERT_GT(w.tree().Depth(deepest), 16);
    ASSERT_LT(w.tree().nodes()[oracle::kRoot].count, oracle::kRebuildAt);
    for (int k = 0; k < 3; ++k) {
        w.Literal(static_cast<uint8_t>(deepest));
        expected.push_back(static_cast<uint8_t>(deepest));
    }
    Bytes stream = w.Finish();
    Decoded d = DecodeToVector(stream, static_cast<uint32_t>(expected.size()));
    EXPECT_TRUE(d.output == expected);
    EXPECT_EQ(d.report.stored_bytes_unused, 0u);
}

// ---------------------------------------------------------------------------

TEST(DecodeStream, WritesSixteenKilobyteChunksAndTheRemainder) {
    Bytes stream = FiveSpacesStream();
    for (int32_t size : {16384, 16385, 40000}) {
        StreamWriter w;
        w.Literal('q');
        for (int i = 0; i < 2000; ++i)
            w.Match(30, 0);
        InstallerRun run =
            RunInstallerDecode(w.Finish(), static_cast<uint32_t>(w.Finish().size()), size);
        EXPECT_EQ(run.out.written, Bytes(static_cast<size_t>(size), 'q')) << size;
        std::vector<size_t> chunks;
        for (int32_t left = size; left > 0; left -= 16384)
            chunks.push_back(static_cast<size_t>(std::min(left, 16384)));
        EXPECT_EQ(run.out.write_sizes, chunks) << size;
    }
}

TEST(DecodeStream, SmallFilesKeepExactlyTheirSizeWhenTheLastMatchRunsPast) {
    for (int32_t size = 1; size <= 31; ++size) {
        StreamWriter w;
        w.Match(30, 0);
        w.Match(30, 0);
        InstallerRun run =
            RunInstallerDecode(w.Finish(), static_cast<uint32_t>(w.Finish().size()), size);
        EXPECT_EQ(run.out.written, Bytes(static_cast<size_t>(size), ' ')) << size;
        EXPECT_EQ(run.out.write_sizes.size(), 1u) << size;
        EXPECT_EQ(run.result, size <= 30 ? 30 : 60) << size;
    }
}

TEST(DecodeStream, ReadsTheStoredBytesAndNoFurther) {
    std::mt19937 rng(17);
    Bytes file = RandomBytes(rng, 45000);
    InstallerRun run = RunInstallerDecode(file, 40000, 400000);
    EXPECT_EQ(run.in.read_position, 40000u);
    EXPECT_EQ(run.out.written,
              oracle::Decode(Bytes(file.begin(), file.begin() + 40000), 400000).output);
}

TEST(ReadPtr, RefillsWithTheSmallerOfTheBufferAndTheBytesLeft) {
    std::mt19937 rng(19);
    RecordingFile f;
    f.input = RandomBytes(rng, 20000);
    FILE* file = f.Open("rb");
    ResetInputStream();
    uint32_t left = 16500;
    EXPECT_EQ(ReadPtr(file, left--), f.input[0]);
    EXPECT_EQ(f.read_position, 16384u); // one refill of a whole buffer
    for (size_t i = 1; i < 16384; ++i)
        ASSERT_EQ(ReadPtr(file, left--), f.input[i]);
    EXPECT_EQ(f.read_position, 16384u);
    EXPECT_EQ(ReadPtr(file, left), f.input[16384]);
    EXPECT_EQ(f.read_position, 16384u + 116); // the remainder only
    fclose(file);
}

TEST(ReadPtr, ShortReadRedeliversTheFirstBufferByteAndRetries) {
    RecordingFile f;
    f.input = {7, 8, 9};
    FILE* file = f.Open("rb");
    ResetInputStream();
    EXPECT_EQ(ReadPtr(file, 10), 7);
    EXPECT_EQ(ReadPtr(file, 9), 8);
    EXPECT_EQ(ReadPtr(file, 8), 9);
    EXPECT_EQ(ReadPtr(file, 7), 7); // nothing more to read
    EXPECT_EQ(ReadPtr(file, 6), 7);
    fclose(file);
}

TEST(DecodeStream, ZeroAndNegativeSizesProduceNothingAndReadNothing) {
    for (int32_t size : {0, -1, INT32_MIN}) {
        InstallerRun run = RunInstallerDecode(FiveSpacesStream(), 2, size);
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(run.in.read_requests.empty()) << size;
        EXPECT_TRUE(run.out.written.empty()) << size;
    }
}

TEST(DecodeStream, AgreesWithOracleAndInheritsTheRingTail) {
    std::mt19937 rng(99);
    oracle::Tail tail{};
    bool tail_used = false;
    // Earlier tests in this process may have run installer decodes: start from
    // a known tail by decoding a stream that fills it.
    {
        StreamWriter w;
        w.Literal(0x5A);
        w.Match(30, 0);
        RunInstallerDecode(w.Finish(), static_cast<uint32_t>(w.Finish().size()), 31);
        tail = oracle::TailAfter(tail, oracle::Decode(w.Finish(), 31).full);
    }
    for (int i = 0; i < 300; ++i) {
        size_t stored = rng() % 300;
        int32_t unpacked = static_cast<int32_t>(1 + rng() % 2000);
        Bytes stream = RandomBytes(rng, stored);
        if (i % 3 == 0) {
            // Make every third stream start by copying from the tail: a few
            // literals, then a match from ring positions 4066..4095.
            StreamWriter w;
            int k = static_cast<int>(rng() % 20);
            for (int j = 0; j < k; ++j)
                w.Literal(static_cast<uint8_t>(rng()));
            w.Match(3 + static_cast<int>(rng() % 28),
                    4066 + k + static_cast<int>(rng() % (30 - k)));
            Bytes head = w.Finish();
            stream.insert(stream.begin(), head.begin(), head.end());
            stored = stream.size();
        }
        InstallerRun run = RunInstallerDecode(stream, static_cast<uint32_t>(stored), unpacked);
        oracle::Result o = oracle::Decode(stream, static_cast<uint32_t>(unpacked), tail);
        ASSERT_EQ(run.out.written, o.output) << "stream " << i;
        ASSERT_EQ(run.result, static_cast<int32_t>(o.full.size())) << "stream " << i;
        if (o.output != oracle::Decode(stream, static_cast<uint32_t>(unpacked)).output)
            tail_used = true;
        tail = oracle::TailAfter(tail, o.full);
    }
    EXPECT_TRUE(tail_used); // the random streams did reach into the tail
}

void DecodeIntoFailingFile() {
    RecordingFile in;
    RecordingFile out;
    in.input = FiveSpacesStream();
    out.fail_writes = true;
    FILE* i = in.Open("rb");
    FILE* o = out.Open("wb");
    ResetInputStream();
    ResetOutputStream();
    DecodeStream(i, o, 5, static_cast<uint32_t>(in.input.size()));
    fprintf(stderr, "decode returned");
    exit(3);
}

TEST(DecodeStreamDeathTest, WriteFailureEndsTheProcessWithExitCodeZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(DecodeIntoFailingFile(), testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------

class DecodeFileFromSelfTest : public testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        dir_ = std::filesystem::temp_directory_path() /
               ("glim_decoder_test_" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "win");
        self_ = (dir_ / "STARS.EXE").string();
        host::SetWindowsDirectory((dir_ / "win").string());
    }
    void TearDown() override {
        fake::Reset();
        std::filesystem::remove_all(dir_);
    }
    void WriteSelf(const Bytes& bytes) {
        std::ofstream(self_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        host::SetModuleFile(self_);
    }
    Bytes ReadOutput(const char* name) {
        std::ifstream f(dir_ / "win" / name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
    bool OutputExists(const char* name) { return std::filesystem::exists(dir_ / "win" / name); }

    std::filesystem::path dir_;
    std::string self_;
};

TEST_F(DecodeFileFromSelfTest, DecodesTheBodyAtItsOffsetToExactlyItsSize) {
    Bytes expected;
    Bytes stream = WriteLongStream(4, 20000, &expected);
    Bytes self(1000, 0xCC);
    self.insert(self.end(), stream.begin(), stream.end());
    self.insert(self.end(), 500, 0xDD); // the next body
    WriteSelf(self);
    ASSERT_EQ(DecodeFileFromSelf(nullptr, 1000, static_cast<int32_t>(expected.size()),
                                 static_cast<uint32_t>(stream.size()), "C:\\WINDOWS\\OUT.SCR"),
              1);
    EXPECT_TRUE(ReadOutput("OUT.SCR") == expected);
}

TEST_F(DecodeFileFromSelfTest, UnpackedSizeZeroLeavesAnEmptyFile) {
    WriteSelf(Bytes(100, 0x41));
    { std::ofstream(dir_ / "win" / "OLD.DAT") << "previous contents"; }
    EXPECT_EQ(DecodeFileFromSelf(nullptr, 10, 0, 50, "C:\\WINDOWS\\OLD.DAT"), 1);
    EXPECT_TRUE(OutputExists("OLD.DAT"));
    EXPECT_TRUE(ReadOutput("OLD.DAT").empty());
}

TEST_F(DecodeFileFromSelfTest, GivesUpWithoutOutputWhenFilesCannotBeOpened) {
    WriteSelf(FiveSpacesStream());
    fake::FailGetModuleFileName(true);
    EXPECT_EQ(DecodeFileFromSelf(nullptr, 0, 5, 2, "C:\\WINDOWS\\A.SCR"), 0);
    EXPECT_FALSE(OutputExists("A.SCR"));
    fake::FailGetModuleFileName(false);

    // Own file gone.
    std::filesystem::remove(self_);
    EXPECT_EQ(DecodeFileFromSelf(nullptr, 0, 5, 2, "C:\\WINDOWS\\B.SCR"), 0);
    EXPECT_FALSE(OutputExists("B.SCR"));

    // Output cannot be created (no such directory).
    WriteSelf(FiveSpacesStream());
    EXPECT_EQ(DecodeFileFromSelf(nullptr, 0, 5, 2, "C:\\WINDOWS\\NO\\SUCH\\C.SCR"), 0);

    // And afterwards a good job still works.
    EXPECT_EQ(DecodeFileFromSelf(nullptr, 0, 5, 2, "C:\\WINDOWS\\D.SCR"), 1);
    EXPECT_EQ(ReadOutput("D.SCR"), Bytes(5, ' '));
}

// ---------------------------------------------------------------------------
// The block-at-a-time engine against the bit-by-bit oracle. The engine keeps
// a lookup over the top of the tree that it patches on every exchange of
// nodes, decodes into a flat buffer that slides every 16384 bytes, and climbs
// back along the walk's path; these streams exercise each of those where it
// can go wrong: across block boundaries, through rebuilds, with codes deeper
// than the lookup and than 16 bits, and past the end of the stored bytes.

// A stream whose code reaches more than 16 levels just before a rebuild,
// whose deepest symbols are then used a few times, and which goes on through
// the rebuild and the next thousands of symbols with a changing mix.
Bytes WriteDeepCodeStream(uint32_t seed, Bytes* expected) {
    std::mt19937 rng(seed);
    StreamWriter w;
    Bytes out;
    auto literal = [&](int b) {
        w.Literal(static_cast<uint8_t>(b));
        out.push_back(static_cast<uint8_t>(b));
    };
    uint32_t a = 300 + rng() % 50, b = a;
    for (int s = 0; s < 9; ++s) {
        for (uint32_t k = 1; k < a; ++k)
            literal('a' + s);
        uint32_t next = a + b;
        a = b;
        b = next;
    }
    EXPECT_LT(w.tree().nodes()[oracle::kRoot].count, oracle::kRebuildAt);
    // Every symbol deeper than 16 levels, each twice.
    std::vector<int> deep;
    for (int s = 0; s < 256; ++s)
        if (w.tree().Depth(s) > 16)
            deep.push_back(s);
    EXPECT_FALSE(deep.empty());
    for (int s : deep) {
        literal(s);
        literal(s);
    }
    // Up to the rebuild and on through it with matches mixed in.
    std::geometric_distribution<int> skew(0.03);
    while (out.size() < 120000) {
        if (out.size() > 64 && rng() % 5 == 0) {
            int length = 3 + static_cast<int>(rng() % 28);
            int distance = static_cast<int>(rng() % std::min<size_t>(out.size(), 4096));
            w.Match(length, distance);
            size_t from = out.size() - distance - 1;
            for (int k = 0; k < length; ++k)
                out.push_back(out[from + k]);
        } else {
            literal((skew(rng) + static_cast<int>(out.size() / 9000) * 41) % 256);
        }
    }
    *expected = out;
    return w.Finish();
}

TEST(FastPath, AgreesWithOracleOnManyRandomStreamsAndSizes) {
    std::mt19937 rng(424242);
    // Sizes around the 16384-byte blocks matter most: the buffer slides there.
    const uint32_t edges[] = {1,     2,     29,    30,    31,    4095,  4096,  4097,
                              16353, 16383, 16384, 16385, 16414, 32768, 32769, 49152 + 17};
    for (int i = 0; i < 400; ++i) {
        size_t stored = rng() % 6000;
        uint32_t unpacked = i < 64 ? edges[i % 16] + static_cast<uint32_t>(i / 16)
                                   : static_cast<uint32_t>(rng() % 70000);
        Bytes stream = RandomBytes(rng, stored);
        Decoded d = DecodeToVector(stream, unpacked);
        oracle::Result o = oracle::Decode(stream, unpacked);
        ASSERT_EQ(d.output, o.output) << "stream " << i << " size " << unpacked;
        ASSERT_EQ(d.report.produced, unpacked) << "stream " << i;
        if (unpacked != 0) {
            ASSERT_EQ(d.report.bits_consumed, o.bits_consumed) << "stream " << i;
            ASSERT_EQ(d.report.ran_out_of_input != 0, o.ran_out) << "stream " << i;
        }
    }
}

TEST(FastPath, AgreesWithOracleOnEncodedLikeStreamsThroughRebuilds) {
    // Skewed, drifting mixes keep nodes near the root changing places, which
    // is where the lookup over the top of the tree has to follow.
    for (uint32_t seed = 30; seed < 36; ++seed) {
        Bytes expected;
        Bytes stream = WriteLongStream(seed, 60000 + seed * 5000, &expected);
        uint32_t size = static_cast<uint32_t>(expected.size());
        Decoded d = DecodeToVector(stream, size);
        ASSERT_TRUE(d.output == expected) << "seed " << seed;
        oracle::Result o = oracle::Decode(stream, size);
        ASSERT_EQ(d.report.bits_consumed, o.bits_consumed) << "seed " << seed;
        EXPECT_EQ(d.report.stored_bytes_unused, 0u);
    }
}

TEST(FastPath, CodesDeeperThanSixteenBitsBeforeARebuild) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        Bytes expected;
        Bytes stream = WriteDeepCodeStream(seed, &expected);
        uint32_t size = static_cast<uint32_t>(expected.size());
        Decoded d = DecodeToVector(stream, size);
        ASSERT_TRUE(d.output == expected) << "seed " << seed;
        EXPECT_FALSE(d.report.ran_out_of_input);
        EXPECT_EQ(d.report.stored_bytes_unused, 0u);
        EXPECT_EQ(d.report.bits_consumed, oracle::Decode(stream, size).bits_consumed);

        // The installer's path over the same stream, in its 16384-byte pieces.
        InstallerRun run = RunInstallerDecode(stream, static_cast<uint32_t>(stream.size()),
                                              static_cast<int32_t>(size));
        ASSERT_TRUE(run.out.written == expected) << "seed " << seed;
        for (size_t k = 0; k < run.out.write_sizes.size(); ++k)
            EXPECT_EQ(run.out.write_sizes[k], std::min<size_t>(16384, size - k * 16384));
    }
}

TEST(FastPath, StreamsThatRunOutDecodeZeroBitsLikeTheOracle) {
    Bytes expected;
    Bytes stream = WriteDeepCodeStream(7, &expected);
    uint32_t size = static_cast<uint32_t>(expected.size());
    std::mt19937 rng(8);
    for (int i = 0; i < 12; ++i) {
        size_t cut = rng() % stream.size();
        Bytes part(stream.begin(), stream.begin() + cut);
        // Ask for more than the stream holds, too: all of it from zero bits.
        uint32_t want = size + static_cast<uint32_t>(rng() % 50000);
        Decoded d = DecodeToVector(part, want);
        oracle::Result o = oracle::Decode(part, want);
        ASSERT_EQ(d.output, o.output) << "cut " << cut;
        ASSERT_TRUE(d.report.ran_out_of_input) << "cut " << cut;
        ASSERT_EQ(d.report.bits_consumed, o.bits_consumed) << "cut " << cut;
        ASSERT_EQ(d.report.stored_bytes_unused, 0u);
    }
}

TEST(FastPath, InstallerReadsWholePiecesAndInheritsLongStreamTails) {
    // Long installer decodes: the ring that the next stream inherits is
    // rebuilt from the flat buffer after many slides.
    std::mt19937 rng(77);
    oracle::Tail tail{};
    {
        StreamWriter w;
        w.Literal(0x33);
        w.Match(30, 0);
        RunInstallerDecode(w.Finish(), static_cast<uint32_t>(w.Finish().size()), 31);
        tail = oracle::TailAfter(tail, oracle::Decode(w.Finish(), 31).full);
    }
    for (int i = 0; i < 24; ++i) {
        size_t stored = 1 + rng() % 40000;
        int32_t unpacked = static_cast<int32_t>(1 + rng() % 90000);
        Bytes file = RandomBytes(rng, stored + 100); // the next body follows
        Bytes stream(file.begin(), file.begin() + static_cast<long>(stored));
        if (i % 2 == 0) {
            StreamWriter w; // start by copying from ring positions 4066..4095
            w.Match(30, 4066 + static_cast<int>(rng() % 30));
            Bytes head = w.Finish();
            std::copy(head.begin(), head.end(), file.begin());
            std::copy(head.begin(), head.end(), stream.begin());
        }
        InstallerRun run = RunInstallerDecode(file, static_cast<uint32_t>(stored), unpacked);
        oracle::Result o = oracle::Decode(stream, static_cast<uint32_t>(unpacked), tail);
        ASSERT_EQ(run.out.written, o.output) << "stream " << i;
        ASSERT_EQ(run.result, static_cast<int32_t>(o.full.size())) << "stream " << i;
        // Whole 16384-byte pieces and then the remainder, never past the
        // stream (stdio may split a piece into several requests).
        ASSERT_LE(run.in.read_position, stored) << "stream " << i;
        ASSERT_TRUE(run.in.read_position == stored || run.in.read_position % 16384 == 0)
            << "stream " << i << " read " << run.in.read_position;
        tail = oracle::TailAfter(tail, o.full);
    }
}

TEST(WriteBlock, MatchesByteByByteWritesForAnySplit) {
    std::mt19937 rng(55);
    for (int i = 0; i < 40; ++i) {
        int32_t total = static_cast<int32_t>(1 + rng() % 50000);
        // The engine hands over up to 29 surplus bytes after the total.
        Bytes data = RandomBytes(rng, static_cast<size_t>(total) + rng() % 30);
        RecordingFile single, blocks;
        FILE* f = single.Open("wb");
        ResetOutputStream();
        for (uint8_t b : data)
            WritePtr(f, b, total);
        fclose(f);
        f = blocks.Open("wb");
        ResetOutputStream();
        for (size_t at = 0; at < data.size();) {
            size_t n =
                std::min<size_t>(data.size() - at, rng() % 3 == 0 ? rng() % 40000 : rng() % 9);
            WriteBlock(f, data.data() + at, n, total);
            at += n;
        }
        fclose(f);
        ASSERT_EQ(blocks.written, single.written) << "total " << total;
        ASSERT_EQ(blocks.write_sizes, single.write_sizes) << "total " << total;
        ASSERT_EQ(single.written, Bytes(data.begin(), data.begin() + total));
    }
}

} // namespace
