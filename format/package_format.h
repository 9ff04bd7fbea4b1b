// What a package is, in bytes: the installer stub's "LASTRES" resource that
// marks where the payload begins, the PE structures the installer steps over
// to find it, and the payload's header and record table. The installer, the
// stub layout step and the package tool all take these from here.
//
// Plain #defines first: the resource compiler reads this file too (for the
// "LASTRES" resource's id) and skips everything under RC_INVOKED.
#ifndef GLIM_FORMAT_PACKAGE_FORMAT_H
#define GLIM_FORMAT_PACKAGE_FORMAT_H

// The resource behind which the payload is appended: a named type (so it
// sorts before every numbered type and the installer's first-entry walk
// reaches it), one name, one language, 4 bytes of data declared.
#define LASTRES_TYPE_NAME "LASTRES"
#define IDR_LASTRES 1000
#define LASTRES_LANGUAGE 1033
#define LASTRES_DATA_SIZE 4

#ifndef RC_INVOKED

#include <stddef.h>
#include <stdint.h>

// The PE structures on the way to the payload (PE/COFF format).
#define PE_HEADER_OFFSET_FIELD 60 // u32: file position of the PE signature
#define PE_SIGNATURE_SIZE 4
#define PE_FILE_HEADER_SIZE 20
#define PE32_OPTIONAL_HEADER_SIZE 224 // PE32 with 16 data directories
#define PE_SECTION_HEADER_SIZE 40
#define PE_SECTION_NAME_SIZE 8
#define RESOURCE_SECTION_NAME ".rsrc"
#define RESOURCE_DIRECTORY_HEADER_SIZE 16
#define RESOURCE_DIRECTORY_ENTRY_SIZE 8
#define RESOURCE_DATA_ENTRY_SIZE 16
#define RESOURCE_SUBDIRECTORY_BIT 0x80000000u

// The payload: a header, a record table ended by a record whose stored size
// is 0, then the bodies.
#define PAYLOAD_TITLE_SIZE 32
#define PAYLOAD_HEADER_SIZE 34
#define PAYLOAD_RECORD_SIZE 16
#define PAYLOAD_EXTENSION_SIZE 4

// Both structures are decoded from and encoded to their little-endian file
// form field by field; their in-memory layout is not the file layout.
struct PayloadHeader {
    char title[PAYLOAD_TITLE_SIZE]; // NUL-padded, not terminated when full
    uint16_t first_file_number;     // number of the data file of record 2
};

struct PayloadRecord {
    uint32_t offset;        // absolute file position of the body
    uint32_t stored_size;   // bytes of the body in the file; 0 ends the table
    uint32_t unpacked_size; // 0: stored as is; else compressed, decodes to this many bytes
    char extension[PAYLOAD_EXTENSION_SIZE]; // ".TMP", NUL-padded, not terminated when full
};

void DecodePayloadHeader(const uint8_t bytes[PAYLOAD_HEADER_SIZE], struct PayloadHeader* header);
void EncodePayloadHeader(const struct PayloadHeader* header, uint8_t bytes[PAYLOAD_HEADER_SIZE]);
void DecodePayloadRecord(const uint8_t bytes[PAYLOAD_RECORD_SIZE], struct PayloadRecord* record);
void EncodePayloadRecord(const struct PayloadRecord* record, uint8_t bytes[PAYLOAD_RECORD_SIZE]);

// How a record's body is kept. The record has no field of its own for it:
// an unpacked size of 0 means the body is the file as it is, any other value
// that the body is a compressed stream decoding to that many bytes. This is
// the one place that reading is written; a new method would be a new value
// here, the codec, and the installer's extraction.
enum PayloadMethod { PAYLOAD_STORED = 0, PAYLOAD_COMPRESSED = 1 };

static inline enum PayloadMethod PayloadMethodOf(const struct PayloadRecord* record) {
    return record->unpacked_size != 0 ? PAYLOAD_COMPRESSED : PAYLOAD_STORED;
}
static inline int IsCompressedRecord(const struct PayloadRecord* record) {
    return PayloadMethodOf(record) == PAYLOAD_COMPRESSED;
}
// "stored" or "compressed", as listings and scripts name the method.
static inline const char* PayloadMethodName(enum PayloadMethod method) {
    return method == PAYLOAD_COMPRESSED ? "compressed" : "stored";
}

// Bytes a record puts on disk: the unpacked size of a compressed record, the
// stored size of a stored one.
uint32_t InstalledSize(const struct PayloadRecord* record);

// Length of a record's extension field up to its first NUL (at most 4).
size_t ExtensionLength(const char extension[PAYLOAD_EXTENSION_SIZE]);

// The installer reads and seeks with signed 32-bit positions, so no byte of a
// package may lie at or beyond 2 GiB.
#define PACKAGE_MAX_SIZE 0x7FFFFFFFu

#endif // RC_INVOKED

#endif
