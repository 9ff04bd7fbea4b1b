// Reading a 32-bit Portable Executable's headers and resource tree, and
// rewriting its resource section so that an installer stub can carry a
// payload behind its "LASTRES" resource.
//
// Field offsets and meanings follow the published PE/COFF format
// documentation. Every read is bounds-checked; malformed input raises PeError
// with a message that says what is wrong (the caller adds the file name).
#ifndef GLIM_PE_PE_IMAGE_H
#define GLIM_PE_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/package_format.h"

namespace glim::pe {

class PeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kDllDynamicBase = 0x0040;
constexpr uint32_t kScnInitializedData = 0x00000040;
constexpr size_t kPe32OptionalHeaderSize = PE32_OPTIONAL_HEADER_SIZE;
constexpr size_t kSectionHeaderSize = PE_SECTION_HEADER_SIZE;
constexpr int kDirResource = 2;
constexpr int kDirSecurity = 4;
constexpr int kDirBaseReloc = 5;

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct SectionHeader {
    std::string name; // up to 8 characters, cut at the first NUL
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;    // SizeOfRawData
    uint32_t raw_pointer = 0; // PointerToRawData
    uint32_t characteristics = 0;
};

struct PeHeaders {
    uint32_t pe_offset = 0; // e_lfanew
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint32_t symbol_table_pointer = 0;
    uint32_t symbol_count = 0;
    uint16_t optional_header_size = 0;
    uint16_t magic = 0;
    uint32_t size_of_initialized_data = 0;
    uint32_t image_base = 0;
    uint32_t section_alignment = 0;
    uint32_t file_alignment = 0;
    uint32_t size_of_image = 0;
    uint32_t size_of_headers = 0;
    uint32_t checksum = 0;
    uint16_t subsystem = 0;
    uint16_t dll_characteristics = 0;
    std::vector<DataDirectory> directories; // NumberOfRvaAndSizes entries
    std::vector<SectionHeader> sections;

    size_t file_header_offset() const { return pe_offset + 4; }
    size_t optional_header_offset() const { return pe_offset + 24; }
    size_t section_table_offset() const { return optional_header_offset() + optional_header_size; }
    size_t checksum_offset() const { return optional_header_offset() + 64; }
};

// The first test of any executable: "MZ" at the start and "PE\0\0" where the
// DOS header's pointer (at 60) says. `data` holds the file's first `size`
// bytes; *pe_offset gets the pointer when the DOS header is there at all.
bool LooksLikePe(const uint8_t* data, size_t size, uint32_t* pe_offset = nullptr);

// Parses the DOS stub pointer, the PE signature, the file header, a PE32
// optional header and the section table. Refuses anything else.
PeHeaders ParseHeaders(const std::vector<uint8_t>& file);

// Whether the file carries a certificate table, that is, is signed:
// directory 4 (whose address is a file offset) is not empty. The one test of
// "signed" everything here uses.
bool HasCertificateTable(const PeHeaders& headers);

// A stub is built on only while it is unsigned: laying it out anew or
// appending a payload would void its signature. Throws PeError saying so
// when `headers` are a signed file's; the stub check of every command that
// builds on a stub asks this.
void RefuseSignedStub(const PeHeaders& headers);

// Index of the first section whose name is exactly `name`, or -1.
int FindSection(const PeHeaders& headers, const std::string& name);

// File offset of `size` bytes at `rva`, which must lie within one section's
// file data.
size_t RvaToFileOffset(const PeHeaders& headers, size_t file_size, uint32_t rva, uint32_t size);

// One node of the resource tree: a name that is either a number or a string,
// and either a subdirectory or a data leaf.
struct ResourceData {
    std::vector<uint8_t> bytes; // as many as the data entry declares
    uint32_t rva = 0;           // where the data entry says they are
    uint32_t code_page = 0;
    uint32_t reserved = 0;
};

struct ResourceDirectory;

struct ResourceEntry {
    bool named = false;
    uint16_t id = 0;     // when !named
    std::u16string name; // when named
    std::unique_ptr<ResourceDirectory> directory;
    std::unique_ptr<ResourceData> data;
};

struct ResourceDirectory {
    uint32_t characteristics = 0;
    uint32_t time_date_stamp = 0;
    uint16_t major_version = 0;
    uint16_t minor_version = 0;
    std::vector<ResourceEntry> entries; // named ones first, as stored
};

// Reads the whole tree behind data directory 2, keeping the entry order and
// every header field.
ResourceDirectory ParseResourceTree(const std::vector<uint8_t>& file, const PeHeaders& headers);

// Looks up type/name/language; each level is a string (compared exactly) or
// a number. Returns nullptr when absent.
struct ResourceKey {
    bool named;
    uint16_t id;
    std::u16string name;
    static ResourceKey Id(uint16_t id) { return {false, id, {}}; }
    static ResourceKey Name(const std::u16string& name) { return {true, 0, name}; }
};
const ResourceData* FindResource(const ResourceDirectory& root, const ResourceKey& type,
                                 const ResourceKey& name, const ResourceKey& language);

// The resource a package's payload starts at: "LASTRES", name 1000, language
// 1033, which must also be what the installer's walk reaches by taking the
// first entry at every level of the tree. Throws PeError saying what the
// installer would read instead.
const ResourceData& FindPayloadResource(const ResourceDirectory& root);

// Whether `type`, the type the installer's walk takes (the first), is the
// payload's: the named type "LASTRES". Every check that a file is a package
// asks this one question.
bool IsPayloadType(const ResourceEntry& type);

// The data leaf the installer's walk reaches by taking the first entry at
// every level (type, name, language), whatever its names; throws PeError
// when the walk ends elsewhere. `type` gets the first type's entry.
const ResourceData& FirstEntryLeaf(const ResourceDirectory& root,
                                   const ResourceEntry** type = nullptr);

// The one check that "LASTRES" comes first: the data the installer's walk
// reaches (FirstEntryLeaf), or nullptr when the first type it takes is not
// "LASTRES" (an ordinary program's resources); `type` gets that first type.
// Throws PeError when the walk ends elsewhere.
const ResourceData* PayloadLeaf(const ResourceDirectory& root, const ResourceEntry** type);
// How a resource entry is named in messages: "\"NAME\"" or its number.
std::string DescribeEntry(const ResourceEntry& entry);

// Serialises the tree for a section at `section_rva`: directory tables
// (breadth first), then the name strings, then the data entries, then the
// data, each block 8-byte aligned. `last`, when it is a leaf of the tree, has
// its data placed after everything else. `virtual_size` is where the data
// ends, so with `last` given the section's extent ends at its final byte.
struct ResourceSectionImage {
    std::vector<uint8_t> bytes; // virtual_size bytes
    uint32_t virtual_size = 0;
    uint32_t last_rva = 0; // RVA of `last`'s data (0 without `last`)
};
ResourceSectionImage BuildResourceSection(const ResourceDirectory& root, uint32_t section_rva,
                                          const ResourceData* last);

// The PE checksum of `file`, with the 4 bytes at `checksum_offset` counted as
// zero.
uint32_t ComputeChecksum(const std::vector<uint8_t>& file, size_t checksum_offset);

// What FixStubLayout did, for the tool's message and the tests.
struct FixStubReport {
    std::vector<std::string> removed_sections;
    bool dropped_symbol_table = false;
    uint32_t lastres_rva = 0;
    uint32_t lastres_file_offset = 0;
    uint32_t lastres_size = 0;
    uint32_t rsrc_virtual_size = 0;
    uint32_t rsrc_raw_size = 0;
    uint32_t file_size = 0;
};

// Lays out a linked installer stub for packing: its resource section is
// rebuilt with the data of "LASTRES"/1000/1033 last and the section's virtual
// size ending exactly at that data's end; a .reloc section after .rsrc is
// removed (relocations stripped, dynamic base cleared); the file ends at the
// end of .rsrc's raw data; the checksum is recomputed. All other resources
// keep their bytes, names, order and code pages. Throws PeError on input that
// cannot be laid out this way.
std::vector<uint8_t> FixStubLayout(const std::vector<uint8_t>& input,
                                   FixStubReport* report = nullptr);

} // namespace glim::pe

#endif
