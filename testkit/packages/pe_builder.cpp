#include "testkit/packages/pe_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace pe_builder {

namespace {

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Named entries first, in name order; then ids in ascending order.
bool KeyLess(const ResId& a, const ResId& b) {
    if (a.is_name != b.is_name)
        return a.is_name;
    if (a.is_name)
        return a.name < b.name;
    return a.id < b.id;
}

bool KeyEqual(const ResId& a, const ResId& b) {
    return a.is_name == b.is_name && (a.is_name ? a.name == b.name : a.id == b.id);
}

void Grow(std::vector<uint8_t>& bytes, size_t size) {
    if (bytes.size() < size)
        bytes.resize(size, 0);
}

} // namespace

uint16_t GetU16(const std::vector<uint8_t>& b, size_t pos) {
    return static_cast<uint16_t>(b.at(pos) | (b.at(pos + 1) << 8));
}

uint32_t GetU32(const std::vector<uint8_t>& b, size_t pos) {
    return static_cast<uint32_t>(b.at(pos)) | (static_cast<uint32_t>(b.at(pos + 1)) << 8) |
           (static_cast<uint32_t>(b.at(pos + 2)) << 16) |
           (static_cast<uint32_t>(b.at(pos + 3)) << 24);
}

void PutU16(std::vector<uint8_t>& b, size_t pos, uint16_t value) {
    Grow(b, pos + 2);
    b[pos] = static_cast<uint8_t>(value);
    b[pos + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& b, size_t pos, uint32_t value) {
    Grow(b, pos + 4);
    for (int i = 0; i < 4; i++)
        b[pos + i] = static_cast<uint8_t>(value >> (8 * i));
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot create " + path);
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

PeBuilder& PeBuilder::AddSection(const std::string& name, std::vector<uint8_t> data,
                                 uint32_t virtual_size, uint32_t characteristics) {
    sections_.push_back({name, std::move(data), virtual_size, characteristics, false});
    return *this;
}

PeBuilder& PeBuilder::AddResourceSection(const std::string& name) {
    sections_.push_back({name, {}, 0, 0x40000040, true});
    return *this;
}

PeBuilder& PeBuilder::AddResource(const ResId& type, const ResId& name, uint16_t language,
                                  std::vector<uint8_t> data,
                                  std::optional<uint32_t> declared_size) {
    resources_.push_back({type, name, language, std::move(data), declared_size});
    return *this;
}

PeBuilder& PeBuilder::SetResourceVirtualSize(uint32_t size) {
    rsrc_virtual_size_ = size;
    return *this;
}

PeBuilder& PeBuilder::SetResourceRawSlack(uint32_t bytes) {
    rsrc_raw_slack_ = bytes;
    return *this;
}

PeBuilder& PeBuilder::SetOptionalHeaderSize(uint16_t size) {
    optional_header_size_ = size;
    return *this;
}

PeBuilder& PeBuilder::SetOverlay(std::vector<uint8_t> bytes) {
    overlay_ = std::move(bytes);
    return *this;
}

PeBuilder& PeBuilder::SetPeOffset(uint32_t offset) {
    pe_offset_ = offset;
    return *this;
}

std::vector<uint8_t> PeBuilder::BuildResources(uint32_t rva, std::vector<uint32_t>* data_offsets,
                                               std::vector<uint32_t>* entry_offsets,
                                               uint32_t* contents_end) const {
    // The tree: types -> names -> languages -> resource index.
    struct NameNode {
        ResId key;
        std::vector<std::pair<uint16_t, size_t>> languages;
    };
    struct TypeNode {
        ResId key;
        std::vector<NameNode> names;
    };
    std::vector<TypeNode> types;
    for (size_t r = 0; r < resources_.size(); r++) {
        const Resource& res = resources_[r];
        auto t = std::find_if(types.begin(), types.end(),
                              [&](const TypeNode& n) { return KeyEqual(n.key, res.type); });
        if (t == types.end()) {
            types.push_back({res.type, {}});
            t = types.end() - 1;
        }
        auto n = std::find_if(t->names.begin(), t->names.end(),
                              [&](const NameNode& x) { return KeyEqual(x.key, res.name); });
        if (n == t->names.end()) {
            t->names.push_back({res.name, {}});
            n = t->names.end() - 1;
        }
        n->languages.push_back({res.language, r});
    }
    std::sort(types.begin(), types.end(),
              [](const TypeNode& a, const TypeNode& b) { return KeyLess(a.key, b.key); });
    for (TypeNode& t : types) {
        std::sort(t.names.begin(), t.names.end(),
                  [](const NameNode& a, const NameNode& b) { return KeyLess(a.key, b.key); });
        for (NameNode& n : t.names)
            std::sort(n.languages.begin(), n.languages.end());
    }

    // Sizes: root, type tables, name tables, data entries, strings, blobs.
    uint32_t pos = 16 + 8 * static_cast<uint32_t>(types.size());
    std::vector<uint32_t> type_table(types.size());
    for (size_t i = 0; i < types.size(); i++) {
        type_table[i] = pos;
        pos += 16 + 8 * static_cast<uint32_t>(types[i].names.size());
    }
    std::vector<std::vector<uint32_t>> name_table(types.size());
    for (size_t i = 0; i < types.size(); i++) {
        for (const NameNode& n : types[i].names) {
            name_table[i].push_back(pos);
            pos += 16 + 8 * static_cast<uint32_t>(n.languages.size());
        }
    }
    entry_offsets->assign(resources_.size(), 0);
    for (size_t r = 0; r < resources_.size(); r++) {
        (*entry_offsets)[r] = pos;
        pos += 16;
    }

    std::vector<uint8_t> out(pos, 0);
    auto put_string = [&](const std::string& s) {
        uint32_t at = static_cast<uint32_t>(out.size());
        PutU16(out, at, static_cast<uint16_t>(s.size()));
        for (size_t i = 0; i < s.size(); i++)
            PutU16(out, at + 2 + 2 * i, static_cast<uint8_t>(s[i]));
        out.resize(AlignUp(static_cast<uint32_t>(out.size()), 4), 0);
        return at;
    };
    auto put_key = [&](size_t entry_pos, const ResId& key) {
        if (key.is_name)
            PutU32(out, entry_pos, 0x80000000u | put_string(key.name));
        else
            PutU32(out, entry_pos, key.id);
    };
    auto put_header = [&](uint32_t table, const std::vector<ResId>& keys) {
        uint16_t named = 0, ids = 0;
        for (const ResId& k : keys)
            (k.is_name ? named : ids)++;
        PutU16(out, table + 12, named);
        PutU16(out, table + 14, ids);
    };

    std::vector<ResId> keys;
    for (const TypeNode& t : types)
        keys.push_back(t.key);
    put_header(0, keys);
    for (size_t i = 0; i < types.size(); i++) {
        put_key(16 + 8 * i, types[i].key);
        PutU32(out, 16 + 8 * i + 4, 0x80000000u | type_table[i]);
        keys.clear();
        for (const NameNode& n : types[i].names)
            keys.push_back(n.key);
        put_header(type_table[i], keys);
        for (size_t j = 0; j < types[i].names.size(); j++) {
            const NameNode& n = types[i].names[j];
            uint32_t entry = type_table[i] + 16 + 8 * static_cast<uint32_t>(j);
            put_key(entry, n.key);
            PutU32(out, entry + 4, 0x80000000u | name_table[i][j]);
            keys.clear();
            for (const auto& l : n.languages)
                keys.push_back(ResId::Id(l.first));
            put_header(name_table[i][j], keys);
            for (size_t k = 0; k < n.languages.size(); k++) {
                uint32_t lang_entry = name_table[i][j] + 16 + 8 * static_cast<uint32_t>(k);
                PutU32(out, lang_entry, n.languages[k].first);
                PutU32(out, lang_entry + 4, (*entry_offsets)[n.languages[k].second]);
            }
        }
    }

    // Blobs in the order they were added, each 8-aligned.
    data_offsets->assign(resources_.size(), 0);
    uint32_t end = static_cast<uint32_t>(out.size());
    for (size_t r = 0; r < resources_.size(); r++) {
        const Resource& res = resources_[r];
        uint32_t at = AlignUp(static_cast<uint32_t>(out.size()), 8);
        out.resize(at, 0);
        out.insert(out.end(), res.data.begin(), res.data.end());
        (*data_offsets)[r] = at;
        end = at + static_cast<uint32_t>(res.data.size());
        uint32_t entry = (*entry_offsets)[r];
        PutU32(out, entry, rva + at);
        PutU32(out, entry + 4, res.declared_size.value_or(static_cast<uint32_t>(res.data.size())));
        PutU32(out, entry + 8, 1252);
    }
    *contents_end = end;
    return out;
}

BuiltPe PeBuilder::Build() const {
    BuiltPe built;
    const uint32_t n = static_cast<uint32_t>(sections_.size());
    const uint32_t table_pos = pe_offset_ + 24 + optional_header_size_;
    const uint32_t headers_size = AlignUp(table_pos + 40 * n, kFileAlignment);

    // Place the sections: virtual addresses from one alignment unit on, raw
    // data packed in table order after the headers.
    std::vector<std::vector<uint8_t>> contents(n);
    uint32_t rva = kSectionAlignment;
    uint32_t raw = headers_size;
    uint32_t code_size = 0, data_size = 0;
    for (uint32_t i = 0; i < n; i++) {
        const Section& s = sections_[i];
        SectionInfo info;
        info.name = s.name;
        info.virtual_address = rva;
        if (s.is_resource) {
            uint32_t end = 0;
            contents[i] =
                BuildResources(rva, &built.resource_data_pos, &built.resource_entry_pos, &end);
            contents[i].resize(contents[i].size() + rsrc_raw_slack_, 0);
            info.virtual_size = rsrc_virtual_size_.value_or(end);
            built.rsrc_index = static_cast<int>(i);
        } else {
            contents[i] = s.data;
            info.virtual_size =
                s.virtual_size ? s.virtual_size : static_cast<uint32_t>(s.data.size());
        }
        info.raw_size = AlignUp(static_cast<uint32_t>(contents[i].size()), kFileAlignment);
        info.raw_pos = info.raw_size ? raw : 0;
        raw += info.raw_size;
        rva += AlignUp(std::max({info.virtual_size, info.raw_size, 1u}), kSectionAlignment);
        ((s.characteristics & 0x20) ? code_size : data_size) += info.raw_size;
        built.sections.push_back(info);
    }
    const uint32_t image_size = rva;

    std::vector<uint8_t>& b = built.bytes;
    b.assign(headers_size, 0);
    b[0] = 'M';
    b[1] = 'Z';
    PutU32(b, 60, pe_offset_);
    Grow(b, pe_offset_ + 24);
    std::memcpy(&b[pe_offset_], "PE\0\0", 4);
    const uint32_t fh = pe_offset_ + 4;
    PutU16(b, fh + 0, 0x14C); // i386
    PutU16(b, fh + 2, static_cast<uint16_t>(n));
    PutU16(b, fh + 16, optional_header_size_);
    PutU16(b, fh + 18, 0x0102); // executable, 32-bit machine

    std::vector<uint8_t> opt(224, 0);
    PutU16(opt, 0, 0x10B); // PE32
    PutU32(opt, 4, code_size);
    PutU32(opt, 8, data_size);
    PutU32(opt, 16, n ? built.sections[0].virtual_address : 0); // entry point
    PutU32(opt, 28, 0x400000);                                  // image base
    PutU32(opt, 32, kSectionAlignment);
    PutU32(opt, 36, kFileAlignment);
    PutU16(opt, 40, 4);
    PutU16(opt, 48, 4);
    PutU32(opt, 56, image_size);
    PutU32(opt, 60, headers_size);
    PutU16(opt, 68, 2); // Windows GUI
    PutU32(opt, 72, 0x100000);
    PutU32(opt, 76, 0x1000);
    PutU32(opt, 80, 0x100000);
    PutU32(opt, 84, 0x1000);
    PutU32(opt, 92, 16);
    if (built.rsrc_index >= 0) {
        const SectionInfo& r = built.sections[built.rsrc_index];
        PutU32(opt, 96 + 8 * 2, r.virtual_address);
        PutU32(opt, 96 + 8 * 2 + 4, r.virtual_size);
    }
    opt.resize(optional_header_size_, 0);
    Grow(b, pe_offset_ + 24 + opt.size());
    std::copy(opt.begin(), opt.end(), b.begin() + pe_offset_ + 24);

    for (uint32_t i = 0; i < n; i++) {
        const SectionInfo& s = built.sections[i];
        const uint32_t h = table_pos + 40 * i;
        Grow(b, h + 40);
        std::memcpy(&b[h], s.name.data(), std::min<size_t>(8, s.name.size()));
        PutU32(b, h + 8, s.virtual_size);
        PutU32(b, h + 12, s.virtual_address);
        PutU32(b, h + 16, s.raw_size);
        PutU32(b, h + 20, s.raw_pos);
        PutU32(b, h + 36, sections_[i].characteristics);
    }
    b.resize(headers_size, 0);
    for (uint32_t i = 0; i < n; i++) {
        const SectionInfo& s = built.sections[i];
        if (!s.raw_size)
            continue;
        b.resize(s.raw_pos, 0);
        b.insert(b.end(), contents[i].begin(), contents[i].end());
        b.resize(s.raw_pos + s.raw_size, 0);
    }
    if (built.rsrc_index >= 0) {
        const uint32_t base = built.sections[built.rsrc_index].raw_pos;
        for (uint32_t& p : built.resource_data_pos)
            p += base;
        for (uint32_t& p : built.resource_entry_pos)
            p += base;
    }
    b.insert(b.end(), overlay_.begin(), overlay_.end());
    return built;
}

BuiltPe BuildStub() {
    PeBuilder pe;
    pe.AddSection(".text", std::vector<uint8_t>(0x300, 0xC3));
    pe.AddSection(".data", std::vector<uint8_t>(0x80, 0x11), 0, 0xC0000040);
    pe.AddResourceSection();
    pe.AddResource(ResId::Id(3), ResId::Id(1), 1033, std::vector<uint8_t>(296, 0x22));
    pe.AddResource(ResId::Id(5), ResId::Id(103), 1033, std::vector<uint8_t>(120, 0x33));
    pe.AddResource(ResId::Id(5), ResId::Id(104), 1033, std::vector<uint8_t>(200, 0x44));
    pe.AddResource(ResId::Id(14), ResId::Id(101), 1033, std::vector<uint8_t>(20, 0x55));
    pe.AddResource(ResId::Name("LASTRES"), ResId::Id(1000), 1033, {0, 0, 0, 0});
    return pe.Build();
}

} // namespace pe_builder
