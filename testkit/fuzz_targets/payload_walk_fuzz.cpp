// The payload locator, the title and the record walk over an arbitrary file
// standing for the installer's own file. Beside "does not crash" it checks
// the walk against a plain reading of the same bytes: where the payload lies
// inside the file, the title and the installed total must be what the bytes
// say, and every walk must end.
#include <cstring>
#include <string>

#include "payload/payload.h"
#include "platform/host/host_world.h"
#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"

namespace {

uint32_t U32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

int FuzzPayloadWalk(const uint8_t* data, size_t size) {
    using fuzz_support::Violation;
    const std::string path = fuzz_support::WorkDirectory() + "/SAVER.EXE";
    fuzz_support::WriteFile(path, data, size);

    host::Reset();
    host::SetModuleFile(path);

    PayloadLocation loc;
    HFILE file = OpenPayloadWithLocation(&loc);
    if (file != HFILE_ERROR) {
        LONG at = _llseek(file, 0, FILE_CURRENT);
        if (loc.payload_pos <= 0x7FFFFFFFu && at != LONG(loc.payload_pos))
            Violation("handle not at the payload position " + std::to_string(loc.payload_pos) +
                      " but at " + std::to_string(at));
        _lclose(file);
    } else if (loc.rsrc_found) {
        Violation("a .rsrc section was found but the payload did not open");
    }

    // A title buffer with guard bytes: exactly 32 bytes may change.
    char title[PAYLOAD_TITLE_SIZE + 8];
    std::memset(title, 0x5A, sizeof title);
    ReadSaverTitle(nullptr, title);
    for (size_t i = PAYLOAD_TITLE_SIZE; i < sizeof title; ++i)
        if (title[i] != 0x5A)
            Violation("ReadSaverTitle wrote past the 32-byte title");

    uint32_t total = PayloadInstalledTotal();

    RecordWalk walk;
    uint64_t records = 0;
    uint32_t walked_total = 0;
    if (BeginRecordWalk(&walk)) {
        PayloadRecord record;
        while (NextRecord(&walk, &record)) {
            walked_total += InstalledSize(&record);
            // Every record read is 16 bytes of the file: the walk is bounded.
            if (++records > size / PAYLOAD_RECORD_SIZE + 1)
                Violation("record walk read more records than the file holds");
            if (records % 3 == 0) {
                // The decoder's way of pausing the walk must resume in place.
                SuspendRecordWalk(&walk);
                if (!ResumeRecordWalk(&walk))
                    Violation("record walk did not resume");
            }
        }
        if (!walk.reached_terminator && !walk.reached_end_of_file)
            Violation("record walk stopped for no reason");
        // The terminator counts like every record (its unpacked size may be
        // nonzero even though its stored size ends the table).
        walked_total += InstalledSize(&record);
        EndRecordWalk(&walk);
    }
    if (walked_total != total)
        Violation("installed total differs between two walks");

    // Where the payload lies wholly inside the file, a plain reading of the
    // bytes must agree with the walk.
    if (file != HFILE_ERROR && uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE <= size) {
        if (std::memcmp(title, data + loc.payload_pos, PAYLOAD_TITLE_SIZE) != 0)
            Violation("title differs from the header's bytes");
        uint32_t expect = 0;
        for (uint64_t at = uint64_t(loc.payload_pos) + PAYLOAD_HEADER_SIZE;
             at + PAYLOAD_RECORD_SIZE <= size; at += PAYLOAD_RECORD_SIZE) {
            uint32_t stored = U32(data + at + 4), unpacked = U32(data + at + 8);
            expect += unpacked ? unpacked : stored;
            if (stored == 0)
                break;
        }
        if (expect != total)
            Violation("installed total " + std::to_string(total) + ", the bytes say " +
                      std::to_string(expect));
    }

    fuzz_support::CheckNoDescriptorLeft();
    host::Reset();
    return 0;
}
