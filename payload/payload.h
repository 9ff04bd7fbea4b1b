// The installer's reading of its own file: where the payload lies behind the
// "LASTRES" resource, its title, and the walk over its record table. The
// package tool reads packages through these same functions (over the host
// back end), so what it shows is what the installer will do.
#ifndef GLIM_PAYLOAD_PAYLOAD_H
#define GLIM_PAYLOAD_PAYLOAD_H

#include <stddef.h>
#include <stdint.h>

#include "format/package_format.h"
#include "platform/platform.h"

// What the locator saw on its way through the executable's headers. The walk
// itself validates nothing (it takes the first entry at every level of the
// resource directory); the package tool uses this to explain a failure.
struct PayloadLocation {
    int short_read;             // some header read ended at the end of the file, or its
                                // position (2 GiB or more) could not be reached
    uint32_t pe_offset;         // u32 at file offset 60
    uint16_t section_count;     // from the file header
    int rsrc_found;             // a section named ".rsrc" was found in the table
    uint32_t rsrc_index;        // its index in the section table
    uint32_t rsrc_file_pos;     // S: its PointerToRawData
    uint32_t rsrc_rva;          // its VirtualAddress
    uint32_t rsrc_virtual_size; // its VirtualSize
    uint32_t rsrc_raw_size;     // its SizeOfRawData
    uint32_t data_entry_pos;    // file position of the data entry reached
    uint32_t data_rva;          // the data entry's address
    uint32_t data_size;         // the data entry's declared size (not used by the walk)
    uint32_t payload_pos;       // data_rva - rsrc_rva + rsrc_file_pos
};

// Runs the locator walk on an already open file. Returns the handle positioned
// at the payload's first byte, or closes it and returns HFILE_ERROR when the
// section table (of the file header's section count) has no ".rsrc".
// `location` may be NULL.
HFILE LocatePayload(HFILE file, PayloadLocation* location);

// The locator reads the installer's own name into a buffer of this size: a
// longer name cannot be opened.
#define PAYLOAD_MODULE_NAME_CAPACITY 256

// Opens the installer's own file (GetModuleFileNameA with no module, 256
// characters; _lopen in mode OF_READ | OF_SHARE_DENY_NONE) and runs the walk.
// HFILE_ERROR when the file cannot be opened or holds no ".rsrc". The caller
// closes the handle with _lclose.
HFILE OpenPayload(void);
HFILE OpenPayloadWithLocation(PayloadLocation* location);

// Fills the first 32 bytes of `title` from the payload header; leaves it as
// it was when the payload cannot be opened. Always returns 0.
int ReadSaverTitle(HINSTANCE instance, char* title);
// The same reading on a handle LocatePayload returned, from wherever it
// stands: the 32 bytes there, zeros for what the file does not hold.
void ReadSaverTitleOn(HFILE payload, char* title);

// The record-table walk shared by the disk-space check, the extraction and
// the package tool. It stops at the terminating record and at the end of the
// file, whichever comes first.
struct RecordWalk {
    HFILE file;
    uint16_t first_file_number;
    uint32_t index;          // index of the next record to be read
    uint32_t table_pos;      // file position of record 0
    uint32_t resume_pos;     // remembered position while suspended
    int reached_terminator;  // the walk ended at a record with stored_size 0
    int reached_end_of_file; // the walk ended because the file ended first
};

// Opens the payload, skips the title, reads first_file_number. Returns 1, or 0
// when the payload cannot be opened (the walk is then already ended).
int BeginRecordWalk(RecordWalk* walk);
// The same on a handle LocatePayload returned, standing where it left it;
// the walk takes the handle over. 0 for HFILE_ERROR.
int BeginRecordWalkOn(RecordWalk* walk, HFILE payload);
// Reads the next record into `record`. Returns 1 for a record with a body, 0
// when the terminator has been read (it is still stored in `record`) or the
// file ended before a whole record.
int NextRecord(RecordWalk* walk, PayloadRecord* record);
// NextRecord, adding what the record read counts for to *total as the
// installer's disk-space check counts: every record read, the terminator
// included (see AddInstalledTotal).
int NextRecordCounted(RecordWalk* walk, PayloadRecord* record, uint32_t* total);
// Closes the payload around work that reads the installer's file by other
// means (the decoder), remembering the position after the current record, and
// reopens it there. Resume returns 0 when the payload cannot be reopened; the
// walk has then ended.
void SuspendRecordWalk(RecordWalk* walk);
int ResumeRecordWalk(RecordWalk* walk);
void EndRecordWalk(RecordWalk* walk);

// Adds the installed size of every record read, the terminator included, to
// *total, an unsigned 32-bit count that wraps as the installer's counter
// does. Returns 0, adding nothing, when the payload cannot be opened.
int AddInstalledTotal(uint32_t* total);
// The same sum from 0; 0 when the payload cannot be opened.
uint32_t PayloadInstalledTotal(void);

#endif
