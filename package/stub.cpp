#include "package/stub.h"

#include <cstdio>
#include <string>

#include "format/package_format.h"
#include "package/errors.h"
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
    auto unusable = [&](const std::string& why) { Fail(path, "not a usable stub: " + why); };
    StubLayout layout;
    layout.file_size = bytes.size();

    glim::pe::PeHeaders h;
    try {
        h = glim::pe::ParseHeaders(bytes);
    } catch (const glim::pe::PeError& e) {
        Fail(path, std::string("not a PE file (") + e.what() + ")");
    }
    if (h.optional_header_size != PE32_OPTIONAL_HEADER_SIZE)
        Fail(path, "not a 32-bit PE file with the standard 224-byte optional header");
    // Before the layout checks: a signed stub fails those too (its certificate
    // table follows .rsrc), but its signature is the reason to give.
    try {
        glim::pe::RefuseSignedStub(h);
    } catch (const glim::pe::PeError& e) {
        unusable(e.what());
    }

    int ri = glim::pe::FindSection(h, RESOURCE_SECTION_NAME);
    if (ri < 0)
        unusable("no \".rsrc\" section");
    const glim::pe::SectionHeader& rsrc = h.sections[size_t(ri)];
    for (size_t i = 0; i < h.sections.size(); i++) {
        const glim::pe::SectionHeader& s = h.sections[i];
        if (int(i) != ri && s.raw_size != 0 && s.raw_pointer >= rsrc.raw_pointer)
            unusable("\".rsrc\" is not the last section in the file");
    }
    uint64_t rsrc_raw_end = uint64_t(rsrc.raw_pointer) + rsrc.raw_size;
    if (rsrc_raw_end != bytes.size())
        unusable("the raw data of \".rsrc\" ends at " + Hex(rsrc_raw_end) +
                 ", not at the end of the file (" + Hex(bytes.size()) + ")");
    layout.rsrc_raw_end = uint32_t(rsrc_raw_end);

    // The resource the installer's walk reaches must be "LASTRES"'s 4 bytes,
    // the last of the section's virtual extent.
    try {
        glim::pe::ResourceDirectory tree = glim::pe::ParseResourceTree(bytes, h);
        const glim::pe::ResourceEntry* type = nullptr;
        glim::pe::ResourceData reached = glim::pe::FirstEntryLeaf(tree, &type);
        if (!glim::pe::IsPayloadType(*type))
            unusable("the first resource type is not \"LASTRES\"");
        if (reached.bytes.size() != LASTRES_DATA_SIZE)
            unusable("the \"LASTRES\" data entry declares " + std::to_string(reached.bytes.size()) +
                     " bytes, not 4");
        if (reached.rva < rsrc.virtual_address ||
            uint64_t(reached.rva) + LASTRES_DATA_SIZE !=
                uint64_t(rsrc.virtual_address) + rsrc.virtual_size)
            unusable("the \"LASTRES\" data does not end the resource section's virtual size");
        uint64_t payload_pos = uint64_t(reached.rva) - rsrc.virtual_address + rsrc.raw_pointer;
        if (payload_pos + LASTRES_DATA_SIZE > rsrc_raw_end)
            unusable("the \"LASTRES\" data lies outside the raw data of \".rsrc\"");

        // The installer does not read the headers this way: it steps over a
        // 224-byte optional header and takes first entries blindly. Its walk
        // must arrive at the same place.
        bool found = false;
        layout.location = LocateLikeTheInstaller(path, &found);
        if (!found || layout.location.payload_pos != payload_pos)
            unusable("the installer's own walk of its headers would find the payload at " +
                     Hex(layout.location.payload_pos) + ", not at the \"LASTRES\" data (" +
                     Hex(payload_pos) + ")");
    } catch (const glim::pe::PeError& e) {
        unusable(e.what());
    }
    return layout;
}

} // namespace glimpack
