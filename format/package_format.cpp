#include "format/package_format.h"

#include <string.h>

#include "base/byte_order.h"

void DecodePayloadHeader(const uint8_t bytes[PAYLOAD_HEADER_SIZE], PayloadHeader* header) {
    memcpy(header->title, bytes, PAYLOAD_TITLE_SIZE);
    header->first_file_number = GetU16(bytes + PAYLOAD_TITLE_SIZE);
}

void EncodePayloadHeader(const PayloadHeader* header, uint8_t bytes[PAYLOAD_HEADER_SIZE]) {
    memcpy(bytes, header->title, PAYLOAD_TITLE_SIZE);
    PutU16(bytes + PAYLOAD_TITLE_SIZE, header->first_file_number);
}

void DecodePayloadRecord(const uint8_t bytes[PAYLOAD_RECORD_SIZE], PayloadRecord* record) {
    record->offset = GetU32(bytes);
    record->stored_size = GetU32(bytes + 4);
    record->unpacked_size = GetU32(bytes + 8);
    memcpy(record->extension, bytes + 12, PAYLOAD_EXTENSION_SIZE);
}

void EncodePayloadRecord(const PayloadRecord* record, uint8_t bytes[PAYLOAD_RECORD_SIZE]) {
    PutU32(bytes, record->offset);
    PutU32(bytes + 4, record->stored_size);
    PutU32(bytes + 8, record->unpacked_size);
    memcpy(bytes + 12, record->extension, PAYLOAD_EXTENSION_SIZE);
}

uint32_t InstalledSize(const PayloadRecord* record) {
    return IsCompressedRecord(record) ? record->unpacked_size : record->stored_size;
}

size_t ExtensionLength(const char extension[PAYLOAD_EXTENSION_SIZE]) {
    size_t length = 0;
    while (length < PAYLOAD_EXTENSION_SIZE && extension[length] != '\0')
        length++;
    return length;
}
