// Extraction: every record of the payload to its destination. The screen
// saver goes into the Windows directory, the data files into the data
// directory, which is created on the way. Stored bodies are copied through
// one small buffer; compressed ones are handed to the decoder, which reads
// the installer's file through its own stream.
#include <string.h>

#include "format/naming.h"
#include "payload/decode_job.h"
#include "payload/extract.h"
#include "payload/payload.h"
#include "payload/self.h"
#include "platform/platform.h"

#define EXTRACT_COPY_BUFFER 2048

// Creates the three levels below the Windows directory (QUILLFEN, GLIMLOOM
// and the installer's base name), outermost first. An existing directory, or
// any failure, is left for the file creation to run into.
static void CreateDataDirectory(const char* windows_dir, const char* module_path) {
    char path[GLIM_PATH_CAPACITY];
    if (!BuildDataDirectory(windows_dir, module_path, path, sizeof path))
        return;
    // The last three components are the ones to create: cut the path at each
    // of its last two backslashes in turn to reach the outer two.
    char* last = strrchr(path, '\\');
    char* second_last = NULL;
    if (last != NULL) {
        *last = '\0';
        second_last = strrchr(path, '\\');
        if (second_last != NULL) {
            *second_last = '\0';
            CreateDirectoryA(path, NULL);
            *second_last = '\\';
        }
        CreateDirectoryA(path, NULL);
        *last = '\\';
    }
    CreateDirectoryA(path, NULL);
}

// Copies exactly stored_size bytes from the payload at `offset` into a new
// file, or fewer when the installer's file ends first.
static void CopyStoredBody(HFILE payload, const PayloadRecord* record, const char* destination,
                           char* buffer) {
    // An offset the seek cannot reach (2 GB or more) would leave the file at
    // the record table and copy that instead: such a body reads as empty, like
    // one that lies past the end of the file.
    LONG reached = _llseek(payload, static_cast<LONG>(record->offset), FILE_BEGIN);
    int readable = record->offset <= 0x7FFFFFFFu && reached == static_cast<LONG>(record->offset);
    HFILE out = _lcreat(destination, 0);
    uint64_t total = 0;
    while (readable) {
        UINT got = _lread(payload, buffer, EXTRACT_COPY_BUFFER);
        // A failed read ends the copy like the end of the file; what came
        // before it has been written.
        if (got == 0 || got == static_cast<UINT>(-1))
            break;
        uint64_t before = total;
        total += got;
        UINT keep = got;
        if (total > record->stored_size)
            keep = static_cast<UINT>(record->stored_size - before);
        if (keep != 0)
            _lwrite(out, buffer, keep);
        if (total > record->stored_size)
            break;
    }
    if (out != HFILE_ERROR)
        _lclose(out);
}

void ExtractPayload(HWND dialog) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(
        static_cast<uintptr_t>(static_cast<uint32_t>(GetWindowLongA(dialog, GWL_HINSTANCE))));
    char module_path[GLIM_PATH_CAPACITY];
    char windows_dir[GLIM_PATH_CAPACITY];
    char destination[GLIM_PATH_CAPACITY];

    FetchModulePath(instance, module_path, sizeof module_path);
    // Without the Windows directory every destination would be relative to
    // wherever the process happens to run: write nothing rather than that.
    if (!QueryWindowsDirectory(windows_dir, sizeof windows_dir))
        return;

    RecordWalk walk;
    if (!BeginRecordWalk(&walk))
        return;
    char* buffer = static_cast<char*>(LocalAlloc(LMEM_FIXED, EXTRACT_COPY_BUFFER));
    if (buffer == NULL) {
        EndRecordWalk(&walk);
        return;
    }

    PayloadRecord record;
    for (;;) {
        uint32_t index = walk.index;
        if (!NextRecord(&walk, &record))
            break;
        if (index >= 1)
            CreateDataDirectory(windows_dir, module_path);
        // A record whose name would not fit, or whose extension would lead
        // out of the data directory, is not written.
        if (!BuildRecordDestination(index, &record, walk.first_file_number, windows_dir,
                                    module_path, destination, sizeof destination))
            continue;

        if (IsCompressedRecord(&record)) {
            SuspendRecordWalk(&walk);
            DecodeFileFromSelf(instance, record.offset, static_cast<int32_t>(record.unpacked_size),
                               record.stored_size, destination);
            // Nothing more can be read when the file cannot be opened again.
            if (!ResumeRecordWalk(&walk))
                break;
        } else {
            LONG resume = _llseek(walk.file, 0, FILE_CURRENT);
            CopyStoredBody(walk.file, &record, destination, buffer);
            _llseek(walk.file, resume, FILE_BEGIN);
        }
    }

    LocalFree(buffer);
    EndRecordWalk(&walk);
}
