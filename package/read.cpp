#include "package/read.h"

#include <algorithm>
#include <cstring>

#include "format/naming.h"
#include "package/errors.h"
#include "package/text.h"
#include "pe/pe_image.h"

namespace glimpack {

std::string InspectedPackage::DigestOf(const InspectedRecord& record,
                                       hostos::DigestAlgorithm algorithm) const {
    for (size_t i = 0; i < digest_algorithms.size() && i < record.digests.size(); i++) {
        if (digest_algorithms[i] == algorithm)
            return record.digests[i];
    }
    return std::string();
}

bool InspectedPackage::Sound() const {
    return problems.empty() && RecordsWithProblems() == 0;
}

const char* InspectedPackage::Integrity() const {
    using glim::pe::SignatureOutcome;
    switch (signature.outcome) {
    case SignatureOutcome::Unsigned:
        return "none";
    case SignatureOutcome::Intact:
        return "signature";
    case SignatureOutcome::CannotCheck:
        return "unchecked";
    default:
        return "broken-signature";
    }
}

std::vector<Problem> InspectedPackage::AllProblems() const {
    std::vector<Problem> all = problems;
    for (const InspectedRecord& r : records)
        all.insert(all.end(), r.problems.begin(), r.problems.end());
    return all;
}

size_t InspectedPackage::RecordsWithProblems() const {
    size_t bad = 0;
    for (const InspectedRecord& r : records)
        bad += r.problems.empty() ? 0 : 1;
    return bad;
}

std::string ModulePathFor(const std::string& file_name) {
    return EMULATED_MODULE_FOLDER + file_name;
}

const char* RegionKindName(RegionKind kind) {
    switch (kind) {
    case RegionKind::kGap:
        return "gap";
    case RegionKind::kTrailingData:
        return "trailing-data";
    case RegionKind::kSectionPadding:
        return "section-padding";
    case RegionKind::kCertificateTable:
        return "certificate-table";
    case RegionKind::kSignaturePadding:
        return "signature-padding";
    }
    return "gap";
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
        Refuse(path, ProblemCode::kNotPeFile);
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
        const glim::pe::ResourceData* leaf = glim::pe::PayloadLeaf(tree, &type);
        if (!leaf)
            Refuse(path, ProblemCode::kFirstResourceNotPayload,
                   {type->named ? std::string("a named one") : std::to_string(type->id)});
        else if (leaf->rva != loc.data_rva)
            Refuse(path, ProblemCode::kResourceWalkElsewhere);
    } catch (const glim::pe::PeError& e) {
        Refuse(path, ProblemCode::kResourceDirectoryInvalid, {e.what()});
    }
}

std::string TitleForDisplay(const PayloadHeader& header) {
    std::string raw(header.title, strnlen(header.title, PAYLOAD_TITLE_SIZE));
    return EscapeForDisplay(Windows1252ToUtf8(raw), false);
}

} // namespace glimpack
