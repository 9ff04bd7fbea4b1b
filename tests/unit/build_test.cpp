// The spools that keep the encoder's candidate streams: memory up to a
// bound, then an unnamed scratch file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "package/errors.h"
#include "package/spill.h"
#include "tests/support/mixed_bytes.h"
#include "tests/support/tool_fixture.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class BuildTest : public tool_fixture::ToolTest {};

} // namespace

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
