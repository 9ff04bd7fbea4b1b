#include "package/read.h"

#include <algorithm>
#include <cstring>

#include "package/errors.h"
#include "package/text.h"
#include "pe/pe_image.h"

namespace glimpack {

bool InspectedPackage::Sound() const {
    return RecordsWithProblems() == 0;
}

size_t InspectedPackage::RecordsWithProblems() const {
    size_t bad = 0;
    for (const InspectedRecord& r : records)
        bad += r.problems.empty() ? 0 : 1;
    return bad;
}

std::string ModulePathFor(const std::string& file_name) {
    return "C:\\PACKAGES\\" + file_name;
}

const char* RoleOf(uint32_t index) {
    return index == 0 ? "saver" : index == 1 ? "data" : "data file";
}

uint64_t HeadBytesNeeded(const std::vector<uint8_t>& head, uint64_t file_size) {
    uint32_t pe_offset = 0;
    glim::pe::LooksLikePe(head.data(), head.size(), &pe_offset);
    // The signature may lie anywhere the pointer says; read up to it.
    uint64_t signature_end = uint64_t(pe_offset) + PE_SIGNATURE_SIZE;
    if (head.size() == 64 && signature_end <= file_size && signature_end > head.size())
        return signature_end;
    return head.size();
}

void CheckPeSignature(const std::string& path, const std::vector<uint8_t>& head) {
    if (!glim::pe::LooksLikePe(head.data(), head.size()))
        Fail(path, "not a PE file (no MZ header or PE signature)");
}

uint64_t ResourceBytesNeeded(const PayloadLocation& location, uint64_t file_size) {
    // The directory tables come before every resource's data; the stub's
    // section is a few kilobytes.
    constexpr uint64_t kMaxSectionRead = uint64_t(16) << 20;
    return std::min<uint64_t>(file_size,
                              uint64_t(location.rsrc_file_pos) +
                                  std::min<uint64_t>(location.rsrc_raw_size, kMaxSectionRead));
}

void CheckPayloadResource(const std::string& path, const std::vector<uint8_t>& bytes,
                          const PayloadLocation& loc) {
    glim::pe::PeHeaders h;
    glim::pe::SectionHeader rsrc;
    rsrc.name = RESOURCE_SECTION_NAME;
    rsrc.virtual_address = loc.rsrc_rva;
    rsrc.virtual_size = loc.rsrc_virtual_size;
    rsrc.raw_pointer = loc.rsrc_file_pos;
    rsrc.raw_size = loc.rsrc_raw_size;
    h.sections.push_back(rsrc);
    h.directories.resize(glim::pe::kDirResource + 1);
    h.directories[glim::pe::kDirResource] = {loc.rsrc_rva, loc.rsrc_virtual_size};
    try {
        glim::pe::ResourceDirectory tree = glim::pe::ParseResourceTree(bytes, h);
        const glim::pe::ResourceEntry* type = nullptr;
        const glim::pe::ResourceData& leaf = glim::pe::FirstEntryLeaf(tree, &type);
        if (!glim::pe::IsPayloadType(*type))
            Fail(path, "not a package: its first resource type is " +
                           (type->named ? std::string("a named one") : std::to_string(type->id)) +
                           ", not \"LASTRES\" (an ordinary program?)");
        if (leaf.rva != loc.data_rva)
            Fail(path, "not a package: its resource directory does not lead where the installer "
                       "reads it");
    } catch (const glim::pe::PeError& e) {
        Fail(path, std::string("not a package: ") + e.what());
    }
}

std::string TitleForDisplay(const PayloadHeader& header) {
    std::string raw(header.title, strnlen(header.title, PAYLOAD_TITLE_SIZE));
    return EscapeForDisplay(Windows1252ToUtf8(raw), false);
}

} // namespace glimpack
