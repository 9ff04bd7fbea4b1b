// Writes small PE32 files for tests: a chosen section table and a resource
// tree, with enough control to make both well-formed installer stubs and the
// malformed variants the payload locator and the package tool must survive.
//
//   pe_builder::PeBuilder pe;
//   pe.AddSection(".text", std::vector<uint8_t>(100, 0xC3));
//   pe.AddResourceSection();                       // ".rsrc" goes here
//   pe.AddResource(pe_builder::ResId::Id(14), pe_builder::ResId::Id(1), 1033, icon);
//   pe.AddResource(pe_builder::ResId::Name("LASTRES"), pe_builder::ResId::Id(1000), 1033,
//                  {0, 0, 0, 0});
//   pe_builder::BuiltPe out = pe.Build();
//
// The resource directory is laid out as the PE/COFF documentation asks: named
// entries first, sorted by name, then numbered ones in ascending order. The
// data blobs follow the directories in the order the resources were added, and
// the resource section's virtual size ends exactly where the last blob ends
// (so the last resource added is the last data of the section).
#ifndef GLIM_TESTKIT_PACKAGES_PE_BUILDER_H
#define GLIM_TESTKIT_PACKAGES_PE_BUILDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pe_builder {

// A resource type, name or language key: a string or a 16-bit id.
struct ResId {
    bool is_name = false;
    std::string name;
    uint16_t id = 0;

    static ResId Name(std::string n) { return ResId{true, std::move(n), 0}; }
    static ResId Id(uint16_t i) { return ResId{false, {}, i}; }
};

struct SectionInfo {
    std::string name;
    uint32_t virtual_address = 0;
    uint32_t virtual_size = 0;
    uint32_t raw_pos = 0;  // PointerToRawData
    uint32_t raw_size = 0; // SizeOfRawData
};

struct BuiltPe {
    std::vector<uint8_t> bytes;
    std::vector<SectionInfo> sections; // in section-table order
    int rsrc_index = -1;               // index of the resource section, -1 without
    // File position of each resource's data, in the order of AddResource.
    std::vector<uint32_t> resource_data_pos;
    // File position of each resource's 16-byte data entry.
    std::vector<uint32_t> resource_entry_pos;
};

class PeBuilder {
  public:
    static constexpr uint32_t kSectionAlignment = 0x1000;
    static constexpr uint32_t kFileAlignment = 0x200;

    // A section with fixed contents. `virtual_size` 0 means the data's size.
    PeBuilder& AddSection(const std::string& name, std::vector<uint8_t> data,
                          uint32_t virtual_size = 0, uint32_t characteristics = 0x60000020);

    // The place of the resource section in the table (and in the file); its
    // contents are built from the resources added. Without this call there
    // is no resource section.
    PeBuilder& AddResourceSection(const std::string& name = ".rsrc");

    // `declared_size` is what the data entry claims (default: the data's size).
    PeBuilder& AddResource(const ResId& type, const ResId& name, uint16_t language,
                           std::vector<uint8_t> data,
                           std::optional<uint32_t> declared_size = std::nullopt);

    // Overrides the resource section's virtual size (default: end of the last blob).
    PeBuilder& SetResourceVirtualSize(uint32_t size);
    // Extra raw bytes after the resource section's contents, inside its raw
    // data (before alignment to the file alignment).
    PeBuilder& SetResourceRawSlack(uint32_t bytes);
    // SizeOfOptionalHeader in the file header (the optional header written is
    // always the 224-byte PE32 one, padded or cut to this size).
    PeBuilder& SetOptionalHeaderSize(uint16_t size);
    // Bytes appended after the last section (an overlay).
    PeBuilder& SetOverlay(std::vector<uint8_t> bytes);
    // Offset of the PE signature (e_lfanew); default 0x80.
    PeBuilder& SetPeOffset(uint32_t offset);

    BuiltPe Build() const;

  private:
    struct Section {
        std::string name;
        std::vector<uint8_t> data;
        uint32_t virtual_size;
        uint32_t characteristics;
        bool is_resource;
    };
    struct Resource {
        ResId type, name;
        uint16_t language;
        std::vector<uint8_t> data;
        std::optional<uint32_t> declared_size;
    };

    // Builds the resource section's contents for a section at `rva`; fills the
    // data and entry offsets (relative to the section start).
    std::vector<uint8_t> BuildResources(uint32_t rva, std::vector<uint32_t>* data_offsets,
                                        std::vector<uint32_t>* entry_offsets,
                                        uint32_t* contents_end) const;

    std::vector<Section> sections_;
    std::vector<Resource> resources_;
    std::optional<uint32_t> rsrc_virtual_size_;
    uint32_t rsrc_raw_slack_ = 0;
    uint16_t optional_header_size_ = 224;
    std::vector<uint8_t> overlay_;
    uint32_t pe_offset_ = 0x80;
};

// Little-endian helpers for tests that read or patch the bytes they built.
uint16_t GetU16(const std::vector<uint8_t>& bytes, size_t pos);
uint32_t GetU32(const std::vector<uint8_t>& bytes, size_t pos);
void PutU16(std::vector<uint8_t>& bytes, size_t pos, uint16_t value);
void PutU32(std::vector<uint8_t>& bytes, size_t pos, uint32_t value);

// Writes bytes to a file (throws std::runtime_error on failure).
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A well-formed installer stub: .text, .data, then .rsrc holding an icon
// (type 14 and 3), a dialog (type 5) and, last, the 4-byte "LASTRES" resource
// 1000 in language 1033.
BuiltPe BuildStub();

} // namespace pe_builder

#endif
