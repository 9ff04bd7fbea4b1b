// Encode and decode throughput (MB/s of unpacked bytes) and compressed sizes
// on every corpus file. Counters carry the sizes so that bench/run.sh can lay
// everything out in one table.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "encoder/encoder.h"
#include "payload/decode_job.h"
#include "testkit/reference/oracle_decoder.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

struct Sample {
    std::string name; // "set/file"
    Bytes data;
    Bytes packed; // Default mode, the input of the decode runs
};

// Compressed size with zlib's best level as a raw deflate stream, so that
// neither side pays for a container.
size_t DeflateSize(const Bytes& data) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    Bytes out(deflateBound(&z, data.size()));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    size_t size = rc == Z_STREAM_END ? z.total_out : 0;
    deflateEnd(&z);
    return size;
}

void SetSizes(benchmark::State& state, const Sample& s, size_t packed) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.data.size()));
    state.counters["unpacked"] = static_cast<double>(s.data.size());
    state.counters["packed"] = static_cast<double>(packed);
}

void Encode(benchmark::State& state, const Sample* s, encoder::Mode mode) {
    size_t packed = 0;
    for (auto _ : state) {
        Bytes out = encoder::Compress(s->data.data(), s->data.size(), mode);
        packed = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    SetSizes(state, *s, packed);
}

void DecodeProduction(benchmark::State& state, const Sample* s) {
    Bytes out(s->data.size());
    for (auto _ : state) {
        DecodeBuffer(s->packed.data(), static_cast<uint32_t>(s->packed.size()), out.data(),
                     static_cast<uint32_t>(out.size()), nullptr);
        benchmark::DoNotOptimize(out.data());
    }
    if (out != s->data)
        state.SkipWithError("production decoder gave different bytes");
    SetSizes(state, *s, s->packed.size());
}

// The installer's path: DecodeStream over stdio streams with its 16384-byte
// reads and writes (memory-backed FILEs, so no disk time is measured).
void DecodeInstaller(benchmark::State& state, const Sample* s) {
    Bytes out(s->data.size() + 1); // fmemopen's "w" mode may add a terminator
    Bytes packed = s->packed;      // fmemopen wants a writable buffer
    bool same = true;
    for (auto _ : state) {
        FILE* in = fmemopen(packed.data(), packed.size(), "rb");
        FILE* sink = fmemopen(out.data(), out.size(), "wb");
        if (in == nullptr || sink == nullptr) {
            state.SkipWithError("fmemopen failed");
            return;
        }
        ResetInputStream();
        ResetOutputStream();
        DecodeStream(in, sink, static_cast<int32_t>(s->data.size()),
                     static_cast<uint32_t>(packed.size()));
        fclose(sink);
        fclose(in);
        benchmark::DoNotOptimize(out.data());
        same = std::equal(s->data.begin(), s->data.end(), out.begin());
    }
    if (!same)
        state.SkipWithError("installer path gave different bytes");
    SetSizes(state, *s, s->packed.size());
}

void DecodeOracle(benchmark::State& state, const Sample* s) {
    bool same = true;
    for (auto _ : state) {
        oracle::Result r = oracle::Decode(s->packed, static_cast<uint32_t>(s->data.size()));
        same = r.output == s->data;
        benchmark::DoNotOptimize(r.output.data());
    }
    if (!same)
        state.SkipWithError("oracle gave different bytes");
    SetSizes(state, *s, s->packed.size());
}

void Deflate(benchmark::State& state, const Sample* s) {
    size_t packed = 0;
    for (auto _ : state)
        packed = DeflateSize(s->data);
    SetSizes(state, *s, packed);
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    fs::path corpus = std::getenv("GLIM_CORPUS") ? fs::path(std::getenv("GLIM_CORPUS"))
                                                 : fs::path(GLIM_CORPUS_DIR);
    std::vector<std::unique_ptr<Sample>> samples;
    auto add_files = [&](const fs::path& dir, const std::string& set) {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.is_regular_file() && e.path().extension() != ".py" &&
                e.path().extension() != ".md")
                files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            auto s = std::make_unique<Sample>();
            s->name = set + "/" + f.filename().string();
            s->data = ReadFile(f);
            s->packed = encoder::Compress(s->data.data(), s->data.size(), encoder::Mode::Default);
            samples.push_back(std::move(s));
        }
    };
    for (const char* set : {"canterbury", "silesia"})
        add_files(corpus / set, set);
    if (samples.empty()) {
        // The corpus lives outside the repository; without it the figures
        // come from the small test data, which is enough to compare two
        // builds but not to compare with published corpus figures.
        std::fprintf(stderr,
                     "glim_bench: no benchmark corpus under %s (set GLIM_CORPUS); measuring the "
                     "repository's test data in %s instead\n",
                     corpus.c_str(), GLIM_TEST_DATA_DIR);
        add_files(GLIM_TEST_DATA_DIR, "testdata");
    }
    if (samples.empty()) {
        std::fprintf(stderr, "glim_bench: no input files found\n");
        return 2;
    }
    // One timed pass is plenty for multi-megabyte inputs; small files repeat
    // until the minimum time is reached.
    for (const auto& s : samples) {
        const Sample* p = s.get();
        const struct {
            const char* name;
            encoder::Mode mode;
        } modes[] = {{"greedy", encoder::Mode::Greedy},
                     {"default", encoder::Mode::Default},
                     {"best", encoder::Mode::Best}};
        for (const auto& m : modes)
            benchmark::RegisterBenchmark(("encode/" + std::string(m.name) + "/" + p->name).c_str(),
                                         Encode, p, m.mode)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.2);
        benchmark::RegisterBenchmark(("decode/production/" + p->name).c_str(), DecodeProduction, p)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark(("decode/installer/" + p->name).c_str(), DecodeInstaller, p)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark(("decode/oracle/" + p->name).c_str(), DecodeOracle, p)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark(("zlib9/" + p->name).c_str(), Deflate, p)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.2);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
