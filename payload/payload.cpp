// The payload locator and the walks over the payload's header and record
// table. Everything here goes through the platform's _lopen family only, so
// the same code runs inside the installer and, over the host back end, in the
// package tool.
#include "payload/payload.h"

#include <string.h>

#include "base/byte_order.h"
#include "payload/self.h"

namespace {

// Reads `count` bytes into a buffer that is zeroed first, so that whatever a
// short read leaves out reads as zero. Returns 1 when all bytes arrived.
int ReadZeroed(HFILE file, void* buffer, UINT count) {
    memset(buffer, 0, count);
    UINT got = _lread(file, buffer, count);
    return got == count;
}

// Positions are unsigned 32-bit file offsets; _llseek takes a signed LONG.
// Returns 0 when the position cannot be reached (2 GiB or more): the file
// then stays where it was, and what is read next comes from there.
int SeekTo(HFILE file, uint32_t position) {
    return _llseek(file, (LONG)position, FILE_BEGIN) == (LONG)position && position <= 0x7FFFFFFFu;
}

uint32_t CurrentPosition(HFILE file) {
    return (uint32_t)_llseek(file, 0, FILE_CURRENT);
}

// The steps the installer's own entries share with those for a caller that
// brings its handle (the package tool). Forced inline, so that the installer
// pays no call for them.
[[gnu::always_inline]] inline void ReadTitleFrom(HFILE file, char* title) {
    char buffer[PAYLOAD_TITLE_SIZE];
    ReadZeroed(file, buffer, PAYLOAD_TITLE_SIZE);
    memcpy(title, buffer, PAYLOAD_TITLE_SIZE);
}

// Skips the title and reads first_file_number from a handle at the payload.
[[gnu::always_inline]] inline int StartWalk(RecordWalk* walk) {
    if (walk->file == HFILE_ERROR)
        return 0;
    _llseek(walk->file, PAYLOAD_TITLE_SIZE, FILE_CURRENT);
    uint8_t number[2];
    if (!ReadZeroed(walk->file, number, sizeof number))
        walk->reached_end_of_file = 1;
    walk->first_file_number = GetU16(number);
    walk->table_pos = CurrentPosition(walk->file);
    return 1;
}

// What a record just read (`more`: one with a body) adds to the installed
// total. The terminator is counted like every record read: its stored size
// is 0, but an unpacked size in it still counts, as it always has.
[[gnu::always_inline]] inline void Count(const RecordWalk* walk, int more,
                                         const PayloadRecord* record, uint32_t* total) {
    if (more || walk->reached_terminator)
        *total += InstalledSize(record);
}

} // namespace

HFILE LocatePayload(HFILE file, PayloadLocation* location) {
    PayloadLocation scratch = {};
    PayloadLocation* loc = location ? location : &scratch;
    memset(loc, 0, sizeof *loc);

    uint8_t buffer[PE32_OPTIONAL_HEADER_SIZE];
    int whole = 1;

    SeekTo(file, PE_HEADER_OFFSET_FIELD);
    whole &= ReadZeroed(file, buffer, 4);
    loc->pe_offset = GetU32(buffer);

    // Signature, file header and optional header are stepped over unexamined;
    // only the section count is kept so that the scan below has an end.
    whole &= SeekTo(file, loc->pe_offset);
    whole &= ReadZeroed(file, buffer, PE_SIGNATURE_SIZE);
    whole &= ReadZeroed(file, buffer, PE_FILE_HEADER_SIZE);
    loc->section_count = GetU16(buffer + 2);
    whole &= ReadZeroed(file, buffer, PE32_OPTIONAL_HEADER_SIZE);

    for (uint32_t i = 0; i < loc->section_count; i++) {
        if (!ReadZeroed(file, buffer, PE_SECTION_HEADER_SIZE)) {
            whole = 0;
            break; // the table runs past the end of the file
        }
        char name[PE_SECTION_NAME_SIZE + 1];
        memcpy(name, buffer, PE_SECTION_NAME_SIZE);
        name[PE_SECTION_NAME_SIZE] = '\0';
        if (strcmp(name, RESOURCE_SECTION_NAME) == 0) {
            loc->rsrc_found = 1;
            loc->rsrc_index = i;
            loc->rsrc_virtual_size = GetU32(buffer + 8);
            loc->rsrc_rva = GetU32(buffer + 12);
            loc->rsrc_raw_size = GetU32(buffer + 16);
            loc->rsrc_file_pos = GetU32(buffer + 20);
            break;
        }
    }
    if (!loc->rsrc_found) {
        loc->short_read = !whole;
        _lclose(file);
        return HFILE_ERROR;
    }

    // The resource walk takes the first entry at every level: type, name,
    // language. Names, ids and entry counts are never looked at.
    whole &= SeekTo(file, loc->rsrc_file_pos);
    uint32_t section_start = CurrentPosition(file);
    whole &= ReadZeroed(file, buffer, RESOURCE_DIRECTORY_HEADER_SIZE);
    uint32_t after_root = section_start + RESOURCE_DIRECTORY_HEADER_SIZE;

    whole &= ReadZeroed(file, buffer, RESOURCE_DIRECTORY_ENTRY_SIZE); // first type
    whole &= SeekTo(file, after_root + (GetU32(buffer + 4) & ~RESOURCE_SUBDIRECTORY_BIT));
    whole &= ReadZeroed(file, buffer, RESOURCE_DIRECTORY_ENTRY_SIZE); // its first name
    whole &= SeekTo(file, after_root + (GetU32(buffer + 4) & ~RESOURCE_SUBDIRECTORY_BIT));
    whole &= ReadZeroed(file, buffer, RESOURCE_DIRECTORY_ENTRY_SIZE); // its first language

    // The language entry leads to a data entry, so its offset has no
    // subdirectory bit to clear.
    loc->data_entry_pos = section_start + GetU32(buffer + 4);
    whole &= SeekTo(file, loc->data_entry_pos);
    whole &= ReadZeroed(file, buffer, RESOURCE_DATA_ENTRY_SIZE);
    loc->data_rva = GetU32(buffer);
    loc->data_size = GetU32(buffer + 4); // ignored: a package declares only 4 bytes

    loc->payload_pos = loc->data_rva - loc->rsrc_rva + loc->rsrc_file_pos;
    loc->short_read = !whole;
    SeekTo(file, loc->payload_pos);
    return file;
}

HFILE OpenPayloadWithLocation(PayloadLocation* location) {
    if (location)
        memset(location, 0, sizeof *location);
    char path[PAYLOAD_MODULE_NAME_CAPACITY];
    if (!FetchModulePath(NULL, path, PAYLOAD_MODULE_NAME_CAPACITY))
        return HFILE_ERROR;
    HFILE file = _lopen(path, OF_READ | OF_SHARE_DENY_NONE);
    if (file == HFILE_ERROR)
        return HFILE_ERROR;
    return LocatePayload(file, location);
}

HFILE OpenPayload(void) {
    return OpenPayloadWithLocation(NULL);
}

int ReadSaverTitle(HINSTANCE instance, char* title) {
    (void)instance;
    HFILE file = OpenPayload();
    if (file == HFILE_ERROR)
        return 0;
    ReadTitleFrom(file, title);
    _lclose(file);
    return 0;
}

void ReadSaverTitleOn(HFILE payload, char* title) {
    ReadTitleFrom(payload, title);
}

int BeginRecordWalk(RecordWalk* walk) {
    memset(walk, 0, sizeof *walk);
    walk->file = OpenPayload();
    return StartWalk(walk);
}

int BeginRecordWalkOn(RecordWalk* walk, HFILE payload) {
    memset(walk, 0, sizeof *walk);
    walk->file = payload;
    return StartWalk(walk);
}

int NextRecord(RecordWalk* walk, PayloadRecord* record) {
    memset(record, 0, sizeof *record);
    if (walk->file == HFILE_ERROR || walk->reached_terminator || walk->reached_end_of_file)
        return 0;
    uint8_t bytes[PAYLOAD_RECORD_SIZE];
    if (!ReadZeroed(walk->file, bytes, PAYLOAD_RECORD_SIZE)) {
        // A table without a terminator ends with the file; a partial record
        // is not a record.
        walk->reached_end_of_file = 1;
        return 0;
    }
    DecodePayloadRecord(bytes, record);
    if (record->stored_size == 0) {
        walk->reached_terminator = 1;
        return 0;
    }
    walk->index++;
    return 1;
}

int NextRecordCounted(RecordWalk* walk, PayloadRecord* record, uint32_t* total) {
    int more = NextRecord(walk, record);
    Count(walk, more, record, total);
    return more;
}

void SuspendRecordWalk(RecordWalk* walk) {
    if (walk->file == HFILE_ERROR)
        return;
    walk->resume_pos = CurrentPosition(walk->file);
    _lclose(walk->file);
    walk->file = HFILE_ERROR;
}

int ResumeRecordWalk(RecordWalk* walk) {
    if (walk->file != HFILE_ERROR)
        return 1;
    walk->file = OpenPayload();
    if (walk->file == HFILE_ERROR)
        return 0;
    SeekTo(walk->file, walk->resume_pos);
    return 1;
}

void EndRecordWalk(RecordWalk* walk) {
    if (walk->file != HFILE_ERROR)
        _lclose(walk->file);
    walk->file = HFILE_ERROR;
}

int AddInstalledTotal(uint32_t* total) {
    RecordWalk walk;
    if (!BeginRecordWalk(&walk))
        return 0;
    PayloadRecord record;
    while (NextRecord(&walk, &record))
        Count(&walk, 1, &record, total);
    Count(&walk, 0, &record, total);
    EndRecordWalk(&walk);
    return 1;
}

uint32_t PayloadInstalledTotal(void) {
    uint32_t total = 0;
    AddInstalledTotal(&total);
    return total;
}
