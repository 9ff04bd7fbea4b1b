#include "pe/pe_image.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "base/byte_order.h"
#include "format/package_format.h"

namespace glim::pe {

namespace {

// The tree of a linked program is three levels deep (type, name, language);
// a little more is tolerated, a cycle or a runaway nesting is not.
constexpr int kMaxResourceDepth = 8;

void Need(const std::vector<uint8_t>& b, size_t at, size_t size, const char* what) {
    if (at > b.size() || size > b.size() - at)
        throw PeError(std::string("file too short for ") + what);
}

uint64_t AlignUp(uint64_t v, uint32_t a) {
    return a ? (v + a - 1) / a * a : v;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

} // namespace

std::string DescribeEntry(const ResourceEntry& e) {
    return e.named ? "\"" + Narrow(e.name) + "\"" : std::to_string(e.id);
}

namespace {

struct TreeReader {
    const std::vector<uint8_t>& file;
    size_t root;  // file offset of the root table
    size_t limit; // end of the section's file data holding the tree
    const PeHeaders& headers;
    std::set<uint32_t> seen; // directory offsets already read

    void NeedInTree(uint32_t offset, size_t size, const char* what) const {
        if (offset > limit - root || size > limit - root - offset)
            throw PeError(std::string("resource ") + what + " at offset " + std::to_string(offset) +
                          " lies outside the resource section");
    }

    ResourceDirectory ReadDirectory(uint32_t offset, int depth) {
        if (depth > kMaxResourceDepth)
            throw PeError("resource directory nested too deeply");
        if (!seen.insert(offset).second)
            throw PeError("resource directory at offset " + std::to_string(offset) +
                          " is reached twice (a loop in the tree)");
        NeedInTree(offset, 16, "directory");
        size_t at = root + offset;
        ResourceDirectory dir;
        dir.characteristics = GetU32(file.data() + at);
        dir.time_date_stamp = GetU32(file.data() + at + 4);
        dir.major_version = GetU16(file.data() + at + 8);
        dir.minor_version = GetU16(file.data() + at + 10);
        uint32_t count = uint32_t(GetU16(file.data() + at + 12)) + GetU16(file.data() + at + 14);
        NeedInTree(offset + 16, size_t(count) * 8, "directory entries");
        for (uint32_t i = 0; i < count; ++i) {
            size_t e = at + 16 + size_t(i) * 8;
            uint32_t name = GetU32(file.data() + e);
            uint32_t target = GetU32(file.data() + e + 4);
            ResourceEntry entry;
            if (name & 0x80000000u) {
                uint32_t so = name & 0x7FFFFFFFu;
                NeedInTree(so, 2, "name");
                uint16_t len = GetU16(file.data() + root + so);
                NeedInTree(so + 2, size_t(len) * 2, "name");
                entry.named = true;
                for (uint16_t k = 0; k < len; ++k)
                    entry.name +=
                        static_cast<char16_t>(GetU16(file.data() + root + so + 2 + 2 * k));
            } else {
                if (name > 0xFFFF)
                    throw PeError("resource id " + std::to_string(name) + " is out of range");
                entry.id = static_cast<uint16_t>(name);
            }
            if (target & 0x80000000u) {
                entry.directory = std::make_unique<ResourceDirectory>(
                    ReadDirectory(target & 0x7FFFFFFFu, depth + 1));
            } else {
                NeedInTree(target, 16, "data entry");
                size_t d = root + target;
                uint32_t rva = GetU32(file.data() + d);
                uint32_t size = GetU32(file.data() + d + 4);
                auto data = std::make_unique<ResourceData>();
                data->rva = rva;
                data->code_page = GetU32(file.data() + d + 8);
                data->reserved = GetU32(file.data() + d + 12);
                size_t pos;
                try {
                    pos = RvaToFileOffset(headers, file.size(), rva, size);
                } catch (const PeError&) {
                    throw PeError("data of resource " + DescribeEntry(entry) + " (" +
                                  std::to_string(size) + " bytes at RVA " + std::to_string(rva) +
                                  ") lies outside the file's sections");
                }
                data->bytes.assign(file.begin() + pos, file.begin() + pos + size);
                entry.data = std::move(data);
            }
            dir.entries.push_back(std::move(entry));
        }
        return dir;
    }
};

const ResourceEntry* FindEntry(const ResourceDirectory& dir, const ResourceKey& key) {
    for (const ResourceEntry& e : dir.entries) {
        if (e.named == key.named && (key.named ? e.name == key.name : e.id == key.id))
            return &e;
    }
    return nullptr;
}

} // namespace

bool LooksLikePe(const uint8_t* data, size_t size, uint32_t* pe_offset) {
    if (size < 64 || data[0] != 'M' || data[1] != 'Z')
        return false;
    uint32_t at = GetU32(data + PE_HEADER_OFFSET_FIELD);
    if (pe_offset)
        *pe_offset = at;
    return uint64_t(at) + PE_SIGNATURE_SIZE <= size && std::memcmp(data + at, "PE\0\0", 4) == 0;
}

PeHeaders ParseHeaders(const std::vector<uint8_t>& file) {
    PeHeaders h;
    Need(file, 0, 64, "the DOS header");
    if (file[0] != 'M' || file[1] != 'Z')
        throw PeError("not an executable (no MZ signature)");
    if (!LooksLikePe(file.data(), file.size(), &h.pe_offset))
        throw PeError("not a PE executable (no PE signature)");
    Need(file, h.pe_offset, 24, "the PE header");
    size_t fh = h.file_header_offset();
    h.machine = GetU16(file.data() + fh);
    uint16_t section_count = GetU16(file.data() + fh + 2);
    h.symbol_table_pointer = GetU32(file.data() + fh + 8);
    h.symbol_count = GetU32(file.data() + fh + 12);
    h.optional_header_size = GetU16(file.data() + fh + 16);
    h.characteristics = GetU16(file.data() + fh + 18);
    size_t oh = h.optional_header_offset();
    if (h.optional_header_size < 96)
        throw PeError("optional header too short (" + std::to_string(h.optional_header_size) +
                      " bytes)");
    Need(file, oh, h.optional_header_size, "the optional header");
    h.magic = GetU16(file.data() + oh);
    if (h.magic != kMagicPe32)
        throw PeError("not a 32-bit (PE32) executable");
    h.size_of_initialized_data = GetU32(file.data() + oh + 8);
    h.image_base = GetU32(file.data() + oh + 28);
    h.section_alignment = GetU32(file.data() + oh + 32);
    h.file_alignment = GetU32(file.data() + oh + 36);
    h.size_of_image = GetU32(file.data() + oh + 56);
    h.size_of_headers = GetU32(file.data() + oh + 60);
    h.checksum = GetU32(file.data() + oh + 64);
    h.subsystem = GetU16(file.data() + oh + 68);
    h.dll_characteristics = GetU16(file.data() + oh + 70);
    uint32_t dir_count = GetU32(file.data() + oh + 92);
    if (dir_count > (h.optional_header_size - 96u) / 8)
        throw PeError("optional header holds fewer data directories than it declares");
    for (uint32_t i = 0; i < dir_count; ++i)
        h.directories.push_back(
            {GetU32(file.data() + oh + 96 + 8 * i), GetU32(file.data() + oh + 100 + 8 * i)});
    size_t st = h.section_table_offset();
    Need(file, st, size_t(section_count) * kSectionHeaderSize, "the section table");
    for (uint16_t i = 0; i < section_count; ++i) {
        size_t s = st + size_t(i) * kSectionHeaderSize;
        SectionHeader sec;
        const char* n = reinterpret_cast<const char*>(&file[s]);
        sec.name.assign(n, strnlen(n, 8));
        sec.virtual_size = GetU32(file.data() + s + 8);
        sec.virtual_address = GetU32(file.data() + s + 12);
        sec.raw_size = GetU32(file.data() + s + 16);
        sec.raw_pointer = GetU32(file.data() + s + 20);
        sec.characteristics = GetU32(file.data() + s + 36);
        h.sections.push_back(sec);
    }
    return h;
}

bool HasCertificateTable(const PeHeaders& headers) {
    return headers.directories.size() > kDirSecurity && headers.directories[kDirSecurity].size != 0;
}

void RefuseSignedStub(const PeHeaders& headers) {
    if (HasCertificateTable(headers))
        throw PeError("signed: laying it out or appending a payload would void its signature; "
                      "sign the finished package instead");
}

int FindSection(const PeHeaders& headers, const std::string& name) {
    for (size_t i = 0; i < headers.sections.size(); ++i) {
        if (headers.sections[i].name == name)
            return static_cast<int>(i);
    }
    return -1;
}

size_t RvaToFileOffset(const PeHeaders& headers, size_t file_size, uint32_t rva, uint32_t size) {
    for (const SectionHeader& s : headers.sections) {
        uint64_t start = s.virtual_address;
        uint64_t end = start + s.raw_size; // only the part backed by file data
        if (rva >= start && uint64_t(rva) + size <= end) {
            uint64_t pos = uint64_t(s.raw_pointer) + (rva - start);
            if (pos + size > file_size)
                break;
            return static_cast<size_t>(pos);
        }
    }
    throw PeError("RVA " + std::to_string(rva) + " (" + std::to_string(size) +
                  " bytes) is not in the file data of any section");
}

ResourceDirectory ParseResourceTree(const std::vector<uint8_t>& file, const PeHeaders& headers) {
    if (headers.directories.size() <= kDirResource || headers.directories[kDirResource].rva == 0)
        throw PeError("no resource directory");
    uint32_t rva = headers.directories[kDirResource].rva;
    for (const SectionHeader& s : headers.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) {
            size_t end =
                size_t(std::min<uint64_t>(uint64_t(s.raw_pointer) + s.raw_size, file.size()));
            size_t root = size_t(s.raw_pointer) + (rva - s.virtual_address);
            if (root >= end)
                break;
            TreeReader reader{file, root, end, headers, {}};
            return reader.ReadDirectory(0, 0);
        }
    }
    throw PeError("the resource directory is not in the file data of any section");
}

const ResourceData* FindResource(const ResourceDirectory& root, const ResourceKey& type,
                                 const ResourceKey& name, const ResourceKey& language) {
    const ResourceEntry* t = FindEntry(root, type);
    if (!t || !t->directory)
        return nullptr;
    const ResourceEntry* n = FindEntry(*t->directory, name);
    if (!n || !n->directory)
        return nullptr;
    const ResourceEntry* l = FindEntry(*n->directory, language);
    return l ? l->data.get() : nullptr;
}

ResourceSectionImage BuildResourceSection(const ResourceDirectory& root, uint32_t section_rva,
                                          const ResourceData* last) {
    // Breadth-first list of directories; leaves and names in the same order.
    std::vector<const ResourceDirectory*> dirs{&root};
    std::vector<const ResourceEntry*> named;
    std::vector<const ResourceData*> leaves;
    for (size_t i = 0; i < dirs.size(); ++i) {
        for (const ResourceEntry& e : dirs[i]->entries) {
            if (e.named)
                named.push_back(&e);
            if (e.directory)
                dirs.push_back(e.directory.get());
            else
                leaves.push_back(e.data.get());
        }
    }
    bool last_in_tree = last && std::find(leaves.begin(), leaves.end(), last) != leaves.end();

    uint64_t pos = 0;
    std::vector<uint64_t> dir_off;
    for (const ResourceDirectory* d : dirs) {
        dir_off.push_back(pos);
        pos += 16 + 8 * uint64_t(d->entries.size());
    }
    pos = AlignUp(pos, 8);
    std::vector<uint64_t> name_off;
    for (const ResourceEntry* e : named) {
        name_off.push_back(pos);
        pos += 2 + 2 * uint64_t(e->name.size());
    }
    pos = AlignUp(pos, 8);
    uint64_t entries_at = pos;
    pos += 16 * uint64_t(leaves.size());
    std::vector<uint64_t> data_off(leaves.size());
    size_t last_index = leaves.size();
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (last_in_tree && leaves[i] == last) {
            last_index = i;
            continue;
        }
        pos = AlignUp(pos, 8);
        data_off[i] = pos;
        pos += leaves[i]->bytes.size();
    }
    if (last_index < leaves.size()) {
        pos = AlignUp(pos, 8);
        data_off[last_index] = pos;
        pos += leaves[last_index]->bytes.size();
    }
    if (uint64_t(section_rva) + pos > 0xFFFFFFFFu)
        throw PeError("resource section too large");

    ResourceSectionImage img;
    img.virtual_size = static_cast<uint32_t>(pos);
    img.bytes.assign(static_cast<size_t>(pos), 0);
    std::vector<uint8_t>& b = img.bytes;
    size_t next_dir = 1, next_name = 0, next_leaf = 0;
    for (size_t i = 0; i < dirs.size(); ++i) {
        const ResourceDirectory& d = *dirs[i];
        size_t at = static_cast<size_t>(dir_off[i]);
        PutU32(b.data() + at, d.characteristics);
        PutU32(b.data() + at + 4, d.time_date_stamp);
        PutU16(b.data() + at + 8, d.major_version);
        PutU16(b.data() + at + 10, d.minor_version);
        uint32_t n_named = 0;
        for (const ResourceEntry& e : d.entries)
            n_named += e.named;
        PutU16(b.data() + at + 12, static_cast<uint16_t>(n_named));
        PutU16(b.data() + at + 14,
               static_cast<uint16_t>(static_cast<uint32_t>(d.entries.size()) - n_named));
        for (size_t k = 0; k < d.entries.size(); ++k) {
            const ResourceEntry& e = d.entries[k];
            size_t ea = at + 16 + 8 * k;
            if (e.named) {
                size_t so = static_cast<size_t>(name_off[next_name++]);
                PutU32(b.data() + ea, 0x80000000u | static_cast<uint32_t>(so));
                PutU16(b.data() + so, static_cast<uint16_t>(e.name.size()));
                for (size_t c = 0; c < e.name.size(); ++c)
                    PutU16(b.data() + so + 2 + 2 * c, e.name[c]);
            } else {
                PutU32(b.data() + ea, e.id);
            }
            if (e.directory) {
                PutU32(b.data() + ea + 4, 0x80000000u | static_cast<uint32_t>(dir_off[next_dir++]));
            } else {
                size_t li = next_leaf++;
                size_t de = static_cast<size_t>(entries_at + 16 * li);
                PutU32(b.data() + ea + 4, static_cast<uint32_t>(de));
                const ResourceData& data = *leaves[li];
                uint32_t rva = section_rva + static_cast<uint32_t>(data_off[li]);
                PutU32(b.data() + de, rva);
                PutU32(b.data() + de + 4, static_cast<uint32_t>(data.bytes.size()));
                PutU32(b.data() + de + 8, data.code_page);
                PutU32(b.data() + de + 12, data.reserved);
                if (!data.bytes.empty())
                    std::memcpy(&b[static_cast<size_t>(data_off[li])], data.bytes.data(),
                                data.bytes.size());
                if (li == last_index)
                    img.last_rva = rva;
            }
        }
    }
    return img;
}

uint32_t ComputeChecksum(const std::vector<uint8_t>& file, size_t checksum_offset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        uint32_t word = file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
        if (i >= checksum_offset && i < checksum_offset + 4)
            word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

bool IsPayloadType(const ResourceEntry& type) {
    return type.named && type.name == u"" LASTRES_TYPE_NAME;
}

const ResourceData& FindPayloadResource(const ResourceDirectory& tree) {
    const ResourceData* lastres =
        FindResource(tree, ResourceKey::Name(u"" LASTRES_TYPE_NAME), ResourceKey::Id(IDR_LASTRES),
                     ResourceKey::Id(LASTRES_LANGUAGE));
    if (!lastres)
        throw PeError("no resource \"LASTRES\" 1000 in language 1033");
    // The installer takes the first entry at every level of the tree; it must
    // lead to LASTRES/1000/1033.
    const ResourceEntry* type = nullptr;
    const ResourceData* reached = PayloadLeaf(tree, &type);
    if (!reached)
        throw PeError("resource type " + DescribeEntry(*type) +
                      " sorts before \"LASTRES\"; the installer would read its data as the "
                      "payload");
    const ResourceEntry& name = type->directory->entries.front();
    const ResourceEntry& language = name.directory->entries.front();
    for (const ResourceEntry* walk : {&name, &language}) {
        bool is_name = walk == &name;
        if (walk->named || walk->id != (is_name ? IDR_LASTRES : LASTRES_LANGUAGE))
            throw PeError(std::string("the first ") + (is_name ? "name" : "language") +
                          " under \"LASTRES\" is " + DescribeEntry(*walk) +
                          "; the installer would take it for the payload");
    }
    if (reached != lastres)
        throw PeError("\"LASTRES\" 1000 1033 is not the resource the installer reaches");
    return *lastres;
}

const ResourceData* PayloadLeaf(const ResourceDirectory& root, const ResourceEntry** type) {
    const ResourceEntry* first = nullptr;
    const ResourceData& leaf = FirstEntryLeaf(root, &first);
    if (type)
        *type = first;
    return IsPayloadType(*first) ? &leaf : nullptr;
}

const ResourceData& FirstEntryLeaf(const ResourceDirectory& root, const ResourceEntry** type) {
    if (root.entries.empty())
        throw PeError("empty resource directory");
    const ResourceEntry* walk = &root.entries.front();
    if (type)
        *type = walk;
    for (const char* level : {"name", "language"}) {
        if (!walk->directory || walk->directory->entries.empty())
            throw PeError(std::string("the first resource type has no ") + level + " directory");
        walk = &walk->directory->entries.front();
    }
    if (!walk->data)
        throw PeError("the first resource's language entry is a directory, not data");
    return *walk->data;
}

std::vector<uint8_t> FixStubLayout(const std::vector<uint8_t>& input, FixStubReport* report) {
    PeHeaders h = ParseHeaders(input);
    // The installer finds its payload by assuming this exact header size.
    if (h.optional_header_size != kPe32OptionalHeaderSize)
        throw PeError("optional header is " + std::to_string(h.optional_header_size) +
                      " bytes; the installer expects " + std::to_string(kPe32OptionalHeaderSize));
    if (h.directories.size() <= kDirBaseReloc)
        throw PeError("optional header lacks the standard data directories");
    RefuseSignedStub(h);
    int ri = FindSection(h, ".rsrc");
    if (ri < 0)
        throw PeError("no .rsrc section");
    const SectionHeader rsrc = h.sections[ri];
    if (rsrc.raw_pointer == 0 || rsrc.raw_size == 0)
        throw PeError(".rsrc section has no file data");

    // Every section that follows .rsrc in memory or in the file must go.
    std::vector<size_t> drop;
    uint64_t sections_end = 0;
    for (size_t i = 0; i < h.sections.size(); ++i) {
        const SectionHeader& s = h.sections[i];
        if (s.raw_size) {
            uint64_t end = uint64_t(s.raw_pointer) + s.raw_size;
            if (end > input.size())
                throw PeError("data of section \"" + s.name +
                              "\" runs past the end of the file (truncated?)");
            sections_end = std::max(sections_end, end);
        }
        if (int(i) == ri)
            continue;
        bool after = s.virtual_address > rsrc.virtual_address ||
                     (s.raw_size && s.raw_pointer >= rsrc.raw_pointer);
        if (!after)
            continue;
        if (s.name != ".reloc")
            throw PeError("section \"" + s.name +
                          "\" follows .rsrc and cannot be dropped; .rsrc must be the last section");
        drop.push_back(i);
    }
    // Bytes past the sections: a COFF symbol table may be dropped; anything
    // else (a payload, a signature) would be lost silently, so refuse.
    if (input.size() > sections_end) {
        bool symbols = h.symbol_table_pointer != 0 && h.symbol_table_pointer >= sections_end;
        if (!symbols || h.symbol_table_pointer > sections_end)
            throw PeError(std::to_string(input.size() - sections_end) +
                          " bytes follow the last section (already a package?); expected a "
                          "freshly linked stub");
    }

    ResourceDirectory tree = ParseResourceTree(input, h);
    const ResourceData* lastres = &FindPayloadResource(tree);
    if (lastres->bytes.empty())
        throw PeError("\"LASTRES\" 1000 1033 has no data");

    ResourceSectionImage img = BuildResourceSection(tree, rsrc.virtual_address, lastres);
    uint64_t raw_size = AlignUp(img.virtual_size, h.file_alignment);
    if (uint64_t(rsrc.raw_pointer) + raw_size > 0xFFFFFFFFu)
        throw PeError("resource section too large");

    std::vector<uint8_t> out(input.begin(), input.begin() + rsrc.raw_pointer);
    out.insert(out.end(), img.bytes.begin(), img.bytes.end());
    out.resize(rsrc.raw_pointer + static_cast<size_t>(raw_size), 0);

    // Section table: remove the dropped headers, zero the freed slots.
    size_t st = h.section_table_offset();
    std::vector<size_t> keep;
    for (size_t i = 0; i < h.sections.size(); ++i) {
        if (std::find(drop.begin(), drop.end(), i) == drop.end())
            keep.push_back(i);
    }
    std::vector<uint8_t> table(h.sections.size() * kSectionHeaderSize, 0);
    size_t new_ri = 0;
    for (size_t k = 0; k < keep.size(); ++k) {
        std::memcpy(&table[k * kSectionHeaderSize], &input[st + keep[k] * kSectionHeaderSize],
                    kSectionHeaderSize);
        if (int(keep[k]) == ri)
            new_ri = k;
    }
    std::memcpy(&out[st], table.data(), table.size());
    size_t rh = st + new_ri * kSectionHeaderSize;
    PutU32(out.data() + rh + 8, img.virtual_size);
    PutU32(out.data() + rh + 16, static_cast<uint32_t>(raw_size));

    size_t fh = h.file_header_offset();
    size_t oh = h.optional_header_offset();
    PutU16(out.data() + fh + 2, static_cast<uint16_t>(keep.size()));
    uint64_t init_data = h.size_of_initialized_data;
    init_data = init_data + raw_size - std::min<uint64_t>(init_data, rsrc.raw_size);
    FixStubReport rep;
    for (size_t i : drop) {
        const SectionHeader& s = h.sections[i];
        rep.removed_sections.push_back(s.name);
        if (s.characteristics & kScnInitializedData)
            init_data -= std::min<uint64_t>(init_data, s.raw_size);
        const DataDirectory& rel = h.directories[kDirBaseReloc];
        if (rel.rva >= s.virtual_address &&
            rel.rva < uint64_t(s.virtual_address) + std::max(s.virtual_size, s.raw_size)) {
            PutU32(out.data() + oh + 96 + 8 * kDirBaseReloc, 0);
            PutU32(out.data() + oh + 100 + 8 * kDirBaseReloc, 0);
        }
    }
    if (!drop.empty()) {
        // Without its relocations the image loads only at its preferred base.
        PutU16(out.data() + fh + 18,
               static_cast<uint16_t>(h.characteristics | kFileRelocsStripped));
        PutU16(out.data() + oh + 70,
               static_cast<uint16_t>(h.dll_characteristics & ~kDllDynamicBase));
    }
    if (h.symbol_table_pointer >= sections_end && h.symbol_table_pointer != 0) {
        PutU32(out.data() + fh + 8, 0);
        PutU32(out.data() + fh + 12, 0);
        rep.dropped_symbol_table = true;
    }
    PutU32(out.data() + oh + 8, static_cast<uint32_t>(std::min<uint64_t>(init_data, 0xFFFFFFFFu)));
    PutU32(out.data() + oh + 56,
           static_cast<uint32_t>(
               AlignUp(uint64_t(rsrc.virtual_address) + img.virtual_size, h.section_alignment)));
    PutU32(out.data() + oh + 96 + 8 * kDirResource, rsrc.virtual_address);
    PutU32(out.data() + oh + 100 + 8 * kDirResource, img.virtual_size);
    PutU32(out.data() + h.checksum_offset(), 0);
    PutU32(out.data() + h.checksum_offset(), ComputeChecksum(out, h.checksum_offset()));

    rep.lastres_rva = img.last_rva;
    rep.lastres_file_offset = rsrc.raw_pointer + (img.last_rva - rsrc.virtual_address);
    rep.lastres_size = static_cast<uint32_t>(lastres->bytes.size());
    rep.rsrc_virtual_size = img.virtual_size;
    rep.rsrc_raw_size = static_cast<uint32_t>(raw_size);
    rep.file_size = static_cast<uint32_t>(out.size());
    if (report)
        *report = std::move(rep);
    return out;
}

} // namespace glim::pe
