#include "package/stub.h"

#include <cstdio>
#include <string>

#include "format/package_format.h"
#include "package/problems.h"
#include "package/session.h"
#include "pe/pe_image.h"

namespace glimpack {
namespace {

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

StubLayout CheckStubLayout(const std::string& path, const std::vector<uint8_t>& bytes) {
    StubLayout layout;
    layout.file_size = bytes.size();

    glim::pe::PeHeaders h;
    try {
        h = glim::pe::ParseHeaders(bytes);
    } catch (const glim::pe::PeError& e) {
        Refuse(path, ProblemCode::kStubNotPeFile, {e.what()});
    }
    if (h.optional_header_size != PE32_OPTIONAL_HEADER_SIZE)
        Refuse(path, ProblemCode::kStubNotPe32);
    // Before the layout checks: a signed stub fails those too (its certificate
    // table follows .rsrc), but its signature is the reason to give.
    try {
        glim::pe::RefuseSignedStub(h);
    } catch (const glim::pe::PeError& e) {
        Refuse(path, ProblemCode::kStubSigned, {e.what()});
    }

    int ri = glim::pe::FindSection(h, RESOURCE_SECTION_NAME);
    if (ri < 0)
        Refuse(path, ProblemCode::kStubNoResourceSection);
    const glim::pe::SectionHeader& rsrc = h.sections[size_t(ri)];
    for (size_t i = 0; i < h.sections.size(); i++) {
        const glim::pe::SectionHeader& s = h.sections[i];
        if (int(i) != ri && s.raw_size != 0 && s.raw_pointer >= rsrc.raw_pointer)
            Refuse(path, ProblemCode::kStubResourceSectionNotLast);
    }
    uint64_t rsrc_raw_end = uint64_t(rsrc.raw_pointer) + rsrc.raw_size;
    if (rsrc_raw_end != bytes.size())
        Refuse(path, ProblemCode::kStubResourceSectionNotAtEnd,
               {Hex(rsrc_raw_end), Hex(bytes.size())});
    layout.rsrc_raw_end = uint32_t(rsrc_raw_end);

    // The resource the installer's walk reaches must be "LASTRES"'s 4 bytes,
    // the last of the section's virtual extent.
    try {
        glim::pe::ResourceDirectory tree = glim::pe::ParseResourceTree(bytes, h);
        const glim::pe::ResourceData* leaf = glim::pe::PayloadLeaf(tree, nullptr);
        if (leaf == nullptr)
            Refuse(path, ProblemCode::kStubFirstResourceNotPayload);
        const glim::pe::ResourceData& reached = *leaf;
        if (reached.bytes.size() != LASTRES_DATA_SIZE)
            Refuse(path, ProblemCode::kStubPayloadResourceSize,
                   {std::to_string(reached.bytes.size())});
        if (reached.rva < rsrc.virtual_address ||
            uint64_t(reached.rva) + LASTRES_DATA_SIZE !=
                uint64_t(rsrc.virtual_address) + rsrc.virtual_size)
            Refuse(path, ProblemCode::kStubPayloadResourceNotLast);
        uint64_t payload_pos = uint64_t(reached.rva) - rsrc.virtual_address + rsrc.raw_pointer;
        if (payload_pos + LASTRES_DATA_SIZE > rsrc_raw_end)
            Refuse(path, ProblemCode::kStubPayloadResourceOutside);

        // The installer does not read the headers this way: it steps over a
        // 224-byte optional header and takes first entries blindly. Its walk
        // must arrive at the same place.
        bool found = false;
        layout.location = LocateLikeTheInstaller(path, &found);
        if (!found || layout.location.payload_pos != payload_pos)
            Refuse(path, ProblemCode::kStubWalkElsewhere,
                   {Hex(layout.location.payload_pos), Hex(payload_pos)});
    } catch (const glim::pe::PeError& e) {
        Refuse(path, ProblemCode::kStubResourceDirectoryInvalid, {e.what()});
    }
    return layout;
}

} // namespace glimpack
