// The installer's whole run (title, checks, confirmation, extraction,
// activation, completion) over an arbitrary package, through the host back
// end with every question answered yes. It must end, and it may write only
// into the Windows directory: the saver at its top, system.ini, and the data
// directory below QUILLFEN\GLIMLOOM. The folder the package was run from
// keeps the package alone.
#include <cstring>
#include <string>

#include "payload/extract.h"
#include "payload/payload.h"
#include "platform/host/host_world.h"
#include "shell/shell.h"
#include "testkit/fakes/fake_control.h"
#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"

namespace {

// Larger records are skipped rather than decoded: the installer writes what a
// record claims (up to 2 GiB), which is the disk-space check's business, not
// a fuzzer's.
constexpr uint32_t kMaxRecordSize = 4u << 20;

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool HasOversizedRecord() {
    RecordWalk walk;
    if (!BeginRecordWalk(&walk))
        return false;
    PayloadRecord record;
    bool oversized = false;
    while (!oversized && NextRecord(&walk, &record))
        oversized = record.unpacked_size > kMaxRecordSize && record.unpacked_size < 0x80000000u;
    EndRecordWalk(&walk);
    return oversized;
}

} // namespace

int FuzzInstallerExtract(const uint8_t* data, size_t size) {
    using fuzz_support::Violation;
    if (size < 1)
        return 0;
    const std::string root = fuzz_support::WorkDirectory() + "/installer";
    const std::string name = fuzz_support::PackageName(data[0]);
    fuzz_support::ClearDirectory(root);
    fuzz_support::ClearDirectory(root + "/win");
    fuzz_support::ClearDirectory(root + "/dl");
    fuzz_support::WriteFile(root + "/dl/" + name, data + 1, size - 1);

    fake::Reset();
    fake::ResetWindows();
    host::SetWindowsDirectory(root + "/win", "C:\\WINDOWS");
    host::Mount("C:\\DOWNLOADS", root + "/dl");
    host::SetModuleFile(root + "/dl/" + name, "C:\\DOWNLOADS\\" + name);
    fake::SetFreeBytes(uint64_t(1) << 40);
    if (HasOversizedRecord())
        return 0;

    g_instance = reinterpret_cast<HINSTANCE>(0x400000);
    g_installed_total = 0;
    std::memset(g_saver_title, 0, sizeof g_saver_title);
    std::memset(g_scr_file_name, 0, sizeof g_scr_file_name);
    RunInstallationSequence(reinterpret_cast<HWND>(0x1234));

    for (const std::string& entry : fuzz_support::ListTree(root)) {
        bool allowed = entry == "dl" || entry == "dl/" + name || entry == "win" ||
                       entry == "win/system.ini" || entry == "win/QUILLFEN" ||
                       entry == "win/QUILLFEN/GLIMLOOM" ||
                       StartsWith(entry, "win/QUILLFEN/GLIMLOOM/");
        if (!allowed && StartsWith(entry, "win/")) {
            std::string file = entry.substr(4);
            allowed = file.find('/') == std::string::npos && file.size() >= 4 &&
                      file.compare(file.size() - 4, 4, ".SCR") == 0;
        }
        if (!allowed)
            Violation("installer wrote outside the Windows and data directories: " + entry);
    }
    fuzz_support::CheckNoDescriptorLeft();
    fake::Reset();
    fake::ResetWindows();
    return 0;
}
