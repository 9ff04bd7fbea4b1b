// Building a package as it streams: the bytes the builder gave when it held
// every input (CRC-32s recorded from it), whether the inputs come from files,
// memory or pipes and the package goes to a file or memory; the 2 GiB limit;
// and the spools that keep candidate streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "format/package_format.h"
#include "package/build.h"
#include "package/crc32.h"
#include "package/errors.h"
#include "package/spill.h"
#include "testkit/packages/pe_builder.h"
#include "tests/support/mixed_bytes.h"
#include "tests/support/pipe_input.h"
#include "tests/support/tool_fixture.h"
#include "tools/glimpack/commands.h"
#include "tools/glimpack/files.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes TestFile(const char* name) {
    std::ifstream f(fs::path(GLIM_TEST_DATA_DIR) / name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A source read once, whose size is only known at its end: what a pipe is.
class PipeLike : public glimpack::InputSource {
  public:
    explicit PipeLike(Bytes data) : data_(std::move(data)) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        size_t n = std::min<size_t>({capacity, 5000, data_.size() - next_});
        std::copy_n(data_.begin() + static_cast<ptrdiff_t>(next_), n, buffer);
        next_ += n;
        return n;
    }

  private:
    Bytes data_;
    size_t next_ = 0;
};

// `size` bytes of nothing in particular, without the memory.
class Filler : public glimpack::InputSource {
  public:
    explicit Filler(uint64_t size) : size_(size) {}
    size_t Read(uint8_t*, size_t capacity) override {
        size_t n = static_cast<size_t>(std::min<uint64_t>(capacity, size_ - next_));
        next_ += n;
        return n;
    }
    std::optional<uint64_t> Size() const override { return size_; }
    bool Rewindable() const override { return true; }
    void Rewind() override { next_ = 0; }

  private:
    uint64_t size_;
    uint64_t next_ = 0;
};

// An output that only counts.
class Counter : public glimpack::PackageOutput {
  public:
    void Write(const uint8_t*, size_t size) override { size_ += size; }
    void WriteAt(uint64_t, const uint8_t*, size_t) override {}
    void Truncate(uint64_t size) override { size_ = size; }
    uint64_t size_ = 0;
};

class BuildTest : public tool_fixture::ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        stub_ = pe_builder::BuildStub();
        stub_path_ = Put("stub.exe", stub_.bytes);
    }

    glimpack::PackOptions Options() const {
        glimpack::PackOptions options;
        options.output = "GOLDEN.EXE";
        options.title_1252 = "Golden";
        options.first_number = 7;
        options.stub_path = stub_path_;
        options.stub = stub_.bytes;
        return options;
    }

    uint32_t PayloadPos() const { return stub_.resource_data_pos.back(); }

    pe_builder::BuiltPe stub_;
    std::string stub_path_;
};

// The inputs whose packages were recorded: text, code, a picture, random
// bytes (stored), one byte (which compresses to one byte: a tie, stored) and
// generated data.
struct Golden {
    const char* file;
    const char* extension;
    Bytes data;
};

std::vector<Golden> GoldenInputs() {
    return {{"saver.scr", ".SCR", TestFile("prose.txt")},
            {"main.dat", ".DAT", TestFile("stars.scr")},
            {"runs.bmp", ".BMP", TestFile("runs.bmp")},
            {"random.bin", ".BIN", TestFile("random.bin")},
            {"x", "", Bytes{'x'}},
            {"mixed.mix", ".MIX", test_bytes::Mixed(300000, 5)}};
}

} // namespace

TEST_F(BuildTest, SameBytesAsBeforeFromFilesMemoryAndPipes) {
    struct Recorded {
        const char* how; // --store, "" or --best
        size_t size;
        uint32_t crc;
    } recorded[] = {
        {"--store", 550553, 0x869c80db}, {"", 151455, 0x50f2f651}, {"--best", 151258, 0xe41f4ef1}};
    std::vector<Golden> inputs = GoldenInputs();
    std::vector<std::string> files;
    for (const Golden& g : inputs)
        files.push_back(Put(g.file, g.data));

    for (const Recorded& r : recorded) {
        SCOPED_TRACE(r.how);
        const std::string how = r.how;
        // In memory.
        glimpack::PackOptions options = Options();
        options.store = how == "--store";
        options.mode = how == "--best" ? encoder::Mode::Best : encoder::Mode::Default;
        for (const Golden& g : inputs) {
            glimpack::PackInput in;
            in.path = g.file;
            in.source = std::make_shared<glimpack::MemoryInput>(g.data);
            std::memcpy(in.extension, g.extension, std::strlen(g.extension));
            options.inputs.push_back(in);
        }
        glimpack::MemoryOutput memory;
        glimpack::BuildPackage(options, memory);
        EXPECT_EQ(memory.bytes.size(), r.size);
        EXPECT_EQ(glimpack::Crc32(0, memory.bytes.data(), memory.bytes.size()), r.crc);

        // From the files, by the tool (a file it writes, a table it fills in
        // at the end, and bodies it cuts off again when they do not pay).
        std::vector<std::string> args = {
            "-q",     "--overwrite", "-o",      Path("GOLDEN.EXE"), "--scr",          files[0],
            "--dat",  files[1],      "--title", "Golden",           "--first-number", "7",
            "--stub", stub_path_,    files[2],  files[3],           files[4],         files[5]};
        if (!how.empty())
            args.push_back(how);
        std::string err;
        ASSERT_EQ(Run("pack", glimpack::CmdPack, args, nullptr, &err), 0) << err;
        EXPECT_TRUE(glimpack::ReadWholeFile(Path("GOLDEN.EXE")) == memory.bytes);

        // From sources that can be read only once, kept aside in case they
        // are stored.
        for (glimpack::PackInput& in : options.inputs) {
            auto it = std::find_if(inputs.begin(), inputs.end(),
                                   [&](const Golden& g) { return in.path == g.file; });
            in.source = std::make_shared<PipeLike>(it->data);
        }
        options.scratch_directory = dir_.string();
        glimpack::MemoryOutput piped;
        glimpack::BuildPackage(options, piped);
        EXPECT_TRUE(piped.bytes == memory.bytes);
    }
}

// No byte of a package may lie at or beyond 2 GiB; a package that would
// reach it is refused with the size it would need.
TEST_F(BuildTest, RefusesPackagesReachingTwoGigabytes) {
    const uint64_t head = PayloadPos() + PAYLOAD_HEADER_SIZE + 3 * PAYLOAD_RECORD_SIZE;
    auto build = [&](uint64_t saver, uint64_t data, Counter* out) {
        glimpack::PackOptions options = Options();
        options.store = true;
        for (uint64_t size : {saver, data}) {
            glimpack::PackInput in;
            in.path = "input" + std::to_string(size);
            in.source = std::make_shared<Filler>(size);
            options.inputs.push_back(in);
        }
        glimpack::BuildPackage(options, *out);
    };
    const uint64_t fits = PACKAGE_MAX_SIZE - head - 1;
    Counter exact;
    build(1, fits, &exact);
    EXPECT_EQ(exact.size_, uint64_t(PACKAGE_MAX_SIZE));

    Counter over;
    try {
        build(2, fits, &over);
        ADD_FAILURE() << "not refused";
    } catch (const glimpack::ToolError& e) {
        EXPECT_STREQ(e.what(), ("GOLDEN.EXE: the package would need " +
                                std::to_string(uint64_t(PACKAGE_MAX_SIZE) + 1) +
                                " bytes or more; the installer reads packages of at most " +
                                std::to_string(PACKAGE_MAX_SIZE) + " bytes")
                                   .c_str());
    }

    // An input that alone is too large is refused before anything is written.
    Counter untouched;
    try {
        build(1, uint64_t(PACKAGE_MAX_SIZE) + 1, &untouched);
        ADD_FAILURE() << "not refused";
    } catch (const glimpack::ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("too large for a package"), std::string::npos);
    }
    EXPECT_EQ(untouched.size_, 0u);
}

// A file that can be read only once (a pipe) is packed like a regular one.
TEST_F(BuildTest, ToolReadsPipes) {
    const Bytes prose = TestFile("prose.txt");
    Put("saver.scr", Bytes(3000, 's'));
    Put("text.txt", prose);
    auto pack = [&](const char* output, const std::string& data_file) {
        std::string err;
        EXPECT_EQ(Run("pack", glimpack::CmdPack,
                      {"-q", "-o", Path(output), "--title", "T", "--scr", Path("saver.scr"),
                       "--dat", data_file, "--stub", stub_path_},
                      nullptr, &err),
                  0)
            << err;
    };
    pack("FILED.EXE", Path("text.txt"));
    {
        tool_fixture::PipeInput pipe(prose);
        pack("PIPED.EXE", pipe.path());
    }
    EXPECT_TRUE(glimpack::ReadWholeFile(Path("PIPED.EXE")) ==
                glimpack::ReadWholeFile(Path("FILED.EXE")));
}

// A spool gives back what it was given, from memory and then from its
// scratch file, which has no name to leave behind.
TEST_F(BuildTest, SpoolsSpillPastTheirMemoryAndLeaveNothing) {
    const Bytes data = test_bytes::Mixed(200000, 3);
    for (size_t memory : {size_t(0), size_t(1), size_t(65536), size_t(100000), size_t(1) << 20}) {
        SCOPED_TRACE(memory);
        fs::create_directories(Path("scratch"));
        glimpack::ScratchSpoolStore store(Path("scratch"), memory);
        std::unique_ptr<encoder::Spool> spool = store.NewSpool();
        for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1)
            spool->Write(&data[at], std::min(step, data.size() - at));
        struct Gather : encoder::Sink {
            void Write(const uint8_t* p, size_t n) override { bytes.insert(bytes.end(), p, p + n); }
            Bytes bytes;
        } gather;
        spool->CopyTo(gather);
        EXPECT_TRUE(gather.bytes == data);
        EXPECT_TRUE(fs::is_empty(Path("scratch")));
    }
    // Where no scratch file can be made, the message names the folder.
    glimpack::ScratchSpoolStore nowhere(Path("absent"), 10);
    std::unique_ptr<encoder::Spool> spool = nowhere.NewSpool();
    try {
        spool->Write(data.data(), 100);
        ADD_FAILURE() << "no error";
    } catch (const glimpack::ToolError& e) {
        EXPECT_NE(std::string(e.what()).find(Path("absent")), std::string::npos) << e.what();
    }
}
