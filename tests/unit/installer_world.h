// A Windows-side world for the shell's tests: a Windows directory and a
// downloads folder on fresh host folders, an installer package written there,
// and the fake window system reset. The package is laid out here from the
// payload format itself (not through the payload code under test): a stub
// from pe_builder whose last resource is "LASTRES", overwritten from that
// resource's data on by the header, the record table and the bodies.
#ifndef GLIM_TESTS_UNIT_INSTALLER_WORLD_H
#define GLIM_TESTS_UNIT_INSTALLER_WORLD_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "encoder/encoder.h"
#include "payload/extract.h"
#include "platform/host/host_world.h"
#include "shell/shell.h"
#include "testkit/fakes/fake_control.h"
#include "testkit/packages/pe_builder.h"

namespace installer_world {

namespace fs = std::filesystem;

struct Body {
    std::vector<uint8_t> data;
    bool compressed = false;
    std::string extension; // up to 4 bytes, NUL-padded in the record
};

struct Package {
    std::string title; // up to 32 bytes, NUL-padded
    uint16_t first_file_number = 0;
    std::vector<Body> bodies;
    bool terminator = true; // false: the table runs into the bodies / end of file
};

struct BuiltPackage {
    std::vector<uint8_t> bytes;
    uint32_t payload_pos = 0;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> stored_sizes;
};

inline void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline BuiltPackage BuildPackage(const Package& package) {
    pe_builder::BuiltPe stub = pe_builder::BuildStub();
    BuiltPackage built;
    built.payload_pos = stub.resource_data_pos.back();
    built.bytes.assign(stub.bytes.begin(), stub.bytes.begin() + built.payload_pos);

    std::vector<std::vector<uint8_t>> stored;
    for (const Body& b : package.bodies) {
        if (b.compressed)
            stored.push_back(encoder::Compress(b.data.data(), b.data.size()));
        else
            stored.push_back(b.data);
    }
    size_t records = package.bodies.size() + (package.terminator ? 1 : 0);
    uint32_t body_pos = built.payload_pos + 34 + 16 * static_cast<uint32_t>(records);

    std::vector<uint8_t> payload(32, 0);
    std::memcpy(payload.data(), package.title.data(), std::min<size_t>(32, package.title.size()));
    payload.push_back(static_cast<uint8_t>(package.first_file_number));
    payload.push_back(static_cast<uint8_t>(package.first_file_number >> 8));
    for (size_t i = 0; i < package.bodies.size(); ++i) {
        const Body& b = package.bodies[i];
        built.offsets.push_back(body_pos);
        built.stored_sizes.push_back(static_cast<uint32_t>(stored[i].size()));
        PutLe32(payload, body_pos);
        PutLe32(payload, static_cast<uint32_t>(stored[i].size()));
        PutLe32(payload, b.compressed ? static_cast<uint32_t>(b.data.size()) : 0);
        char ext[4] = {0, 0, 0, 0};
        std::memcpy(ext, b.extension.data(), std::min<size_t>(4, b.extension.size()));
        payload.insert(payload.end(), ext, ext + 4);
        body_pos += static_cast<uint32_t>(stored[i].size());
    }
    if (package.terminator)
        payload.insert(payload.end(), 16, 0);
    for (const auto& s : stored)
        payload.insert(payload.end(), s.begin(), s.end());
    built.bytes.insert(built.bytes.end(), payload.begin(), payload.end());
    return built;
}

// Bytes that differ from position to position and from seed to seed, so that a
// body copied from the wrong place or cut short shows.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

// Compressible text, so that compressed bodies are shorter than their data.
inline std::vector<uint8_t> Text(size_t size) {
    static const char kWords[] = "stars aurora quill fen loom glimmer night sky ";
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(kWords[(i * 7 + i / 13) % (sizeof kWords - 1)]);
    return out;
}

inline std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

class World : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        root_ = fs::temp_directory_path() /
                ("glim-shell-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(root_);
        windows_ = root_ / "windows";
        downloads_ = root_ / "downloads";
        fs::create_directories(windows_);
        fs::create_directories(downloads_);
        fake::Reset();
        fake::ResetWindows();
        host::SetWindowsDirectory(windows_.string(), "C:\\WINDOWS");
        host::Mount("C:\\DOWNLOADS", downloads_.string());
        g_instance = reinterpret_cast<HINSTANCE>(0x400000);
        g_installed_total = 0;
        std::memset(g_saver_title, 0, sizeof g_saver_title);
        std::memset(g_scr_file_name, 0, sizeof g_scr_file_name);
        // Every message box leaves a trace in the one ordered log.
        fake::SetMessageBoxHandler(
            [this](const std::string& text, const std::string& caption, unsigned flags) {
                fake::LogEvent("message box " + caption);
                (void)text;
                (void)flags;
                if (answers_.empty())
                    return IDOK;
                int a = answers_.front();
                answers_.erase(answers_.begin());
                return a;
            });
    }

    void TearDown() override {
        fake::Reset();
        fake::ResetWindows();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Answers for the coming message boxes, in order; then IDOK.
    void Answer(std::vector<int> answers) { answers_ = std::move(answers); }

    // Writes the package as downloads/<file_name>, the installer's own file
    // C:\DOWNLOADS\<file_name>.
    BuiltPackage Install(const std::string& file_name, const Package& package) {
        BuiltPackage built = BuildPackage(package);
        WriteBytes(downloads_ / file_name, built.bytes);
        UseModule(file_name);
        return built;
    }

    void UseModule(const std::string& file_name) {
        host::SetModuleFile((downloads_ / file_name).string(), "C:\\DOWNLOADS\\" + file_name);
    }

    fs::path DataDir(const std::string& base) const {
        return windows_ / "QUILLFEN" / "GLIMLOOM" / base;
    }

    // Every regular file below the world's root, relative to it.
    std::set<std::string> AllFiles() const {
        std::set<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(root_)) {
            if (e.is_regular_file())
                files.insert(fs::relative(e.path(), root_).generic_string());
        }
        return files;
    }

    fs::path root_, windows_, downloads_;
    std::vector<int> answers_;
};

} // namespace installer_world

#endif
