// The installer finds its payload with a plain walk that checks nothing; the
// package tool reads the same file with the checked PE reader as well. Where
// both readings find a payload they must find the same byte, and where the
// checked reading lands elsewhere (the walk looks for a section named ".rsrc",
// the checked reader follows the resource data directory) the tool must
// refuse the file: otherwise it
// would show and extract something other than what the installer installs.
// The files: the real installer stub, the hand-made fixture packages (built
// by a generator independent of our code), and every case of the hostile
// table, which bends each header the walk steps over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "package/errors.h"
#include "package/session.h"
#include "payload/payload.h"
#include "pe/pe_image.h"
#include "platform/host/host_world.h"
#include "testkit/fakes/fake_control.h"
#include "testkit/packages/hostile_packages.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The payload position by the checked reader, or -1 when it refuses the file.
int64_t CheckedPosition(const std::vector<uint8_t>& bytes) {
    namespace pe = glim::pe;
    try {
        pe::PeHeaders headers = pe::ParseHeaders(bytes);
        pe::ResourceDirectory tree = pe::ParseResourceTree(bytes, headers);
        const pe::ResourceData& lastres = pe::FindPayloadResource(tree);
        return int64_t(pe::RvaToFileOffset(headers, bytes.size(), lastres.rva, 0));
    } catch (const pe::PeError&) {
        return -1;
    }
}

class WalkAgreement : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("walk_agreement_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fake::Reset();
    }
    void TearDown() override {
        fake::Reset();
        fs::remove_all(dir_);
    }

    // The position the installer's walk leaves its handle at, or -1.
    int64_t WalkPosition(const std::vector<uint8_t>& bytes) {
        fs::path path = dir_ / "PACKAGE.EXE";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        host::SetModuleFile(path.string());
        HFILE f = OpenPayload();
        if (f == HFILE_ERROR)
            return -1;
        int64_t pos = _llseek(f, 0, FILE_CURRENT);
        _lclose(f);
        return pos;
    }

    // Returns whether both readings found the payload, at the same byte.
    bool ExpectAgreement(const std::string& what, const std::vector<uint8_t>& bytes) {
        int64_t checked = CheckedPosition(bytes);
        int64_t walked = WalkPosition(bytes);
        if (checked >= 0 && walked == checked)
            return true;
        // A file whose headers the checked reader refuses as a whole (say a
        // section count past the table) the installer may still read; the
        // tool then goes by the installer, so only a checked reading that
        // lands elsewhere must be refused.
        if (checked >= 0) {
            EXPECT_THROW(glimpack::PackageSession((dir_ / "PACKAGE.EXE").string(),
                                                  glimpack::PackageSession::Options()),
                         glimpack::ToolError)
                << what << ": the walk finds " << walked << ", the checked reader " << checked
                << ", and the tool did not refuse it";
        }
        return false;
    }

    fs::path dir_;
};

TEST_F(WalkAgreement, OnTheRealStubAndTheHandMadePackages) {
    const char* stub = std::getenv("GLIM_REAL_STUB");
    ASSERT_TRUE(stub && fs::is_regular_file(stub))
        << "GLIM_REAL_STUB must name the built glimsetup.exe";
    EXPECT_TRUE(ExpectAgreement(stub, ReadAll(stub))) << stub;

    int packages = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(GLIM_FIXTURES_DIR "/packages")) {
        EXPECT_TRUE(ExpectAgreement(e.path().string(), ReadAll(e.path()))) << e.path();
        packages++;
    }
    EXPECT_GE(packages, 4);
}

TEST_F(WalkAgreement, OrTheToolRefusesOnEveryHostileCase) {
    int accepted = 0;
    for (const hostile::Case& c : hostile::AllCases())
        accepted += ExpectAgreement(c.id, c.bytes) ? 1 : 0;
    // Most of the table bends the records, not the headers, so most cases
    // reach a payload: enough to make the comparison mean something.
    EXPECT_GE(accepted, 10);
}

} // namespace
