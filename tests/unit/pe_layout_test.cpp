// The stub layout step on small PE files made here: a resource section laid
// out the way the GNU tools do it (the named type's data first), a .reloc
// section after .rsrc, and the inputs the step must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pe/pe_image.h"

using glim::pe::FixStubLayout;
using glim::pe::FixStubReport;
using glim::pe::ParseHeaders;
using glim::pe::ParseResourceTree;
using glim::pe::PeError;
using glim::pe::ResourceKey;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kFileAlign = 0x200;
constexpr uint32_t kSectionAlign = 0x1000;

void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}
uint16_t Get16(const Bytes& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}
uint32_t Get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint32_t AlignUp(uint32_t v, uint32_t a) {
    return (v + a - 1) / a * a;
}

// One resource of the test tree: the type is a string when `type_name` is set.
struct Res {
    std::string type_name;
    uint16_t type_id;
    uint16_t name;
    uint16_t lang;
    Bytes data;
    uint32_t code_page = 0;
};

// Lays out a resource section as the GNU tools do: tables, data entries,
// type names, then the data in the order of `data_order` (indexes into
// `res`). `res` must already be in directory order.
Bytes BuildResources(const std::vector<Res>& res, const std::vector<size_t>& data_order,
                     uint32_t rva) {
    struct Type {
        size_t first, count;
    };
    std::vector<Type> types;
    for (size_t i = 0; i < res.size(); ++i) {
        bool same = !types.empty() && res[types.back().first].type_name == res[i].type_name &&
                    res[types.back().first].type_id == res[i].type_id;
        if (same)
            ++types.back().count;
        else
            types.push_back({i, 1});
    }
    // Every resource has its own name directory with one language.
    size_t pos = 16 + 8 * types.size();
    std::vector<size_t> type_dir, name_dir;
    for (const Type& t : types) {
        type_dir.push_back(pos);
        pos += 16 + 8 * t.count;
    }
    for (size_t i = 0; i < res.size(); ++i) {
        name_dir.push_back(pos);
        pos += 16 + 8;
    }
    size_t entries = pos;
    pos += 16 * res.size();
    std::vector<size_t> name_str(types.size());
    for (size_t t = 0; t < types.size(); ++t) {
        const std::string& n = res[types[t].first].type_name;
        if (!n.empty()) {
            name_str[t] = pos;
            pos += 2 + 2 * n.size();
        }
    }
    std::vector<size_t> data_at(res.size());
    for (size_t i : data_order) {
        pos = AlignUp(uint32_t(pos), 4);
        data_at[i] = pos;
        pos += res[i].data.size();
    }
    Bytes b(pos, 0);
    auto dir = [&](size_t at, uint32_t named, uint32_t ids) {
        Put32(b, at + 4, 0x12345678); // a time stamp to be kept
        Put16(b, at + 12, named);
        Put16(b, at + 14, ids);
    };
    uint32_t named = 0;
    for (const Type& t : types)
        named += !res[t.first].type_name.empty();
    dir(0, named, uint32_t(types.size()) - named);
    for (size_t t = 0; t < types.size(); ++t) {
        const Res& r0 = res[types[t].first];
        size_t e = 16 + 8 * t;
        if (r0.type_name.empty()) {
            Put32(b, e, r0.type_id);
        } else {
            Put32(b, e, 0x80000000u | uint32_t(name_str[t]));
            Put16(b, name_str[t], uint32_t(r0.type_name.size()));
            for (size_t c = 0; c < r0.type_name.size(); ++c)
                Put16(b, name_str[t] + 2 + 2 * c, uint8_t(r0.type_name[c]));
        }
        Put32(b, e + 4, 0x80000000u | uint32_t(type_dir[t]));
        dir(type_dir[t], 0, uint32_t(types[t].count));
        for (size_t k = 0; k < types[t].count; ++k) {
            size_t i = types[t].first + k;
            Put32(b, type_dir[t] + 16 + 8 * k, res[i].name);
            Put32(b, type_dir[t] + 20 + 8 * k, 0x80000000u | uint32_t(name_dir[i]));
            dir(name_dir[i], 0, 1);
            Put32(b, name_dir[i] + 16, res[i].lang);
            Put32(b, name_dir[i] + 20, uint32_t(entries + 16 * i));
            Put32(b, entries + 16 * i, rva + uint32_t(data_at[i]));
            Put32(b, entries + 16 * i + 4, uint32_t(res[i].data.size()));
            Put32(b, entries + 16 * i + 8, res[i].code_page);
            std::memcpy(&b[data_at[i]], res[i].data.data(), res[i].data.size());
        }
    }
    return b;
}

struct Sec {
    std::string name;
    Bytes data;
    uint32_t characteristics = 0x40000040;
};

constexpr size_t kPeOffset = 0x80;

// A PE32 GUI program: the given sections one after another from RVA 0x1000.
// `rsrc_index`/`reloc_index` (-1 for none) fill data directories 2 and 5.
Bytes BuildPe(const std::vector<Sec>& secs, int rsrc_index, int reloc_index) {
    uint32_t headers = AlignUp(uint32_t(kPeOffset + 24 + 224 + 40 * secs.size()), kFileAlign);
    Bytes f(headers, 0);
    f[0] = 'M';
    f[1] = 'Z';
    Put32(f, 60, kPeOffset);
    std::memcpy(&f[kPeOffset], "PE\0\0", 4);
    size_t fh = kPeOffset + 4, oh = fh + 20;
    Put16(f, fh, 0x14C);
    Put16(f, fh + 2, uint32_t(secs.size()));
    Put16(f, fh + 16, 224);
    Put16(f, fh + 18, 0x0102);
    Put16(f, oh, 0x10B);
    Put32(f, oh + 16, 0x1000); // entry point
    Put32(f, oh + 28, 0x400000);
    Put32(f, oh + 32, kSectionAlign);
    Put32(f, oh + 36, kFileAlign);
    Put16(f, oh + 40, 4);
    Put32(f, oh + 60, headers);
    Put16(f, oh + 68, 2);
    Put16(f, oh + 70, 0x0140); // dynamic base, NX compatible
    Put32(f, oh + 92, 16);
    uint32_t rva = kSectionAlign, init = 0;
    for (size_t i = 0; i < secs.size(); ++i) {
        const Sec& s = secs[i];
        size_t h = oh + 224 + 40 * i;
        std::memcpy(&f[h], s.name.data(), std::min<size_t>(8, s.name.size()));
        uint32_t raw = AlignUp(uint32_t(s.data.size()), kFileAlign);
        Put32(f, h + 8, uint32_t(s.data.size()));
        Put32(f, h + 12, rva);
        Put32(f, h + 16, raw);
        Put32(f, h + 20, uint32_t(f.size()));
        Put32(f, h + 36, s.characteristics);
        if (int(i) == rsrc_index || int(i) == reloc_index) {
            size_t d = oh + 96 + 8 * (int(i) == rsrc_index ? 2 : 5);
            Put32(f, d, rva);
            Put32(f, d + 4, uint32_t(s.data.size()));
        }
        if (s.characteristics & 0x40)
            init += raw;
        f.insert(f.end(), s.data.begin(), s.data.end());
        f.resize(f.size() + (raw - s.data.size()), 0);
        rva += AlignUp(uint32_t(s.data.size()), kSectionAlign);
    }
    Put32(f, oh + 8, init);
    Put32(f, oh + 56, rva);
    return f;
}

Bytes Blob(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

// Resources as a linked stub has them: LASTRES, an icon, two dialogs, an icon
// group; the named type's data comes first in the section.
std::vector<Res> StubResources() {
    return {
        {"LASTRES", 0, 1000, 1033, {0, 0, 0, 0}}, {"", 3, 1, 1033, Blob(296, 1)},
        {"", 5, 103, 1033, Blob(300, 2), 1252},   {"", 5, 104, 1033, Blob(822, 3)},
        {"", 14, 101, 1033, Blob(20, 4)},
    };
}

// .text, .rsrc at index 1 and a .reloc after it.
Bytes StubPe(const std::vector<Res>& res, const std::vector<size_t>& order,
             bool with_reloc = true) {
    std::vector<Sec> secs{{".text", Blob(0x300, 9), 0x60000020},
                          {".rsrc", BuildResources(res, order, 0x2000)}};
    if (with_reloc)
        secs.push_back({".reloc", Blob(12, 5), 0x42000040});
    return BuildPe(secs, 1, with_reloc ? 2 : -1);
}

Bytes LinkedStub() {
    return StubPe(StubResources(), {0, 1, 2, 3, 4});
}

std::string RefusalOf(const Bytes& in) {
    try {
        FixStubLayout(in);
    } catch (const PeError& e) {
        return e.what();
    }
    return "(accepted)";
}

// The installer's own walk to the payload: fixed header sizes, the first
// entry at every level of the tree.
uint32_t InstallerPayloadPosition(const Bytes& f) {
    size_t pos = Get32(f, 60) + 4 + 20 + 224;
    while (std::string(reinterpret_cast<const char*>(&f[pos]), strnlen((const char*)&f[pos], 8)) !=
           ".rsrc")
        pos += 40;
    uint32_t va = Get32(f, pos + 12), s = Get32(f, pos + 20), e = s + 16;
    uint32_t off = Get32(f, s + 16 + 4);
    off = Get32(f, e + (off & 0x7FFFFFFF) + 4);
    off = Get32(f, e + (off & 0x7FFFFFFF) + 4);
    return Get32(f, s + off) - va + s;
}

// (RVA, size) of every data entry of a three-level tree at file offset `root`.
std::vector<std::pair<uint32_t, uint32_t>> DataEntries(const Bytes& f, size_t root) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    auto entries = [&](uint32_t dir) {
        std::vector<uint32_t> targets;
        uint32_t n = Get16(f, root + dir + 12) + Get16(f, root + dir + 14);
        for (uint32_t i = 0; i < n; ++i)
            targets.push_back(Get32(f, root + dir + 20 + 8 * i) & 0x7FFFFFFF);
        return targets;
    };
    for (uint32_t t : entries(0))
        for (uint32_t n : entries(t))
            for (uint32_t d : entries(n))
                out.emplace_back(Get32(f, root + d), Get32(f, root + d + 4));
    return out;
}

} // namespace

TEST(FixStubLayout, PutsLastresDataAtTheEndOfTheResourceSection) {
    Bytes in = LinkedStub();
    FixStubReport report;
    Bytes out = FixStubLayout(in, &report);
    glim::pe::PeHeaders h = ParseHeaders(out);
    ASSERT_EQ(h.sections.size(), 2u);
    const glim::pe::SectionHeader& rsrc = h.sections[1];
    EXPECT_EQ(rsrc.name, ".rsrc");
    EXPECT_EQ(report.lastres_rva + 4, rsrc.virtual_address + rsrc.virtual_size);
    EXPECT_EQ(report.lastres_file_offset, rsrc.raw_pointer + (report.lastres_rva - 0x2000));
    EXPECT_EQ(InstallerPayloadPosition(out), report.lastres_file_offset);
    EXPECT_EQ(rsrc.raw_size, AlignUp(rsrc.virtual_size, kFileAlign));
    EXPECT_EQ(out.size(), size_t(rsrc.raw_pointer) + rsrc.raw_size);
    EXPECT_EQ(h.directories[2].rva, rsrc.virtual_address);
    EXPECT_EQ(h.directories[2].size, rsrc.virtual_size);
    EXPECT_EQ(h.size_of_image, AlignUp(rsrc.virtual_address + rsrc.virtual_size, kSectionAlign));

    // Every other data blob, and all the tree, lies before LASTRES's data.
    std::vector<std::pair<uint32_t, uint32_t>> blobs = DataEntries(out, rsrc.raw_pointer);
    ASSERT_EQ(blobs.size(), 5u);
    for (const auto& [rva, size] : blobs) {
        if (rva != report.lastres_rva) {
            EXPECT_LE(rva + size, report.lastres_rva);
        }
        EXPECT_GE(rva, rsrc.virtual_address + 5 * 16u);
    }
}

TEST(FixStubLayout, KeepsEveryOtherResourceByteExact) {
    Bytes in = LinkedStub();
    Bytes out = FixStubLayout(in);
    glim::pe::PeHeaders hi = ParseHeaders(in), ho = ParseHeaders(out);
    glim::pe::ResourceDirectory ti = ParseResourceTree(in, hi), to = ParseResourceTree(out, ho);
    ASSERT_EQ(ti.entries.size(), to.entries.size());
    EXPECT_EQ(to.time_date_stamp, 0x12345678u);
    for (const Res& r : StubResources()) {
        ResourceKey type =
            r.type_name.empty()
                ? ResourceKey::Id(r.type_id)
                : ResourceKey::Name(std::u16string(r.type_name.begin(), r.type_name.end()));
        const auto* a =
            glim::pe::FindResource(ti, type, ResourceKey::Id(r.name), ResourceKey::Id(r.lang));
        const auto* b =
            glim::pe::FindResource(to, type, ResourceKey::Id(r.name), ResourceKey::Id(r.lang));
        ASSERT_TRUE(a && b) << r.type_id << "/" << r.name;
        EXPECT_EQ(b->bytes, r.data);
        EXPECT_EQ(b->bytes, a->bytes);
        EXPECT_EQ(b->code_page, r.code_page);
    }
    // The sections before .rsrc and the headers up to the section table keep
    // their bytes (entry point, image base, code).
    EXPECT_TRUE(std::equal(in.begin() + hi.sections[0].raw_pointer,
                           in.begin() + hi.sections[1].raw_pointer,
                           out.begin() + ho.sections[0].raw_pointer));
}

TEST(FixStubLayout, RemovesRelocAfterResourcesAndStripsRelocations) {
    FixStubReport report;
    Bytes out = FixStubLayout(LinkedStub(), &report);
    glim::pe::PeHeaders h = ParseHeaders(out);
    EXPECT_EQ(report.removed_sections, std::vector<std::string>{".reloc"});
    EXPECT_EQ(glim::pe::FindSection(h, ".reloc"), -1);
    EXPECT_TRUE(h.characteristics & glim::pe::kFileRelocsStripped);
    EXPECT_FALSE(h.dll_characteristics & glim::pe::kDllDynamicBase);
    EXPECT_TRUE(h.dll_characteristics & 0x0100); // NX compatibility kept
    EXPECT_EQ(h.directories[5].rva, 0u);
    EXPECT_EQ(h.directories[5].size, 0u);
    // The freed section header slot is zero.
    size_t slot = h.section_table_offset() + 2 * 40;
    EXPECT_TRUE(
        std::all_of(out.begin() + slot, out.begin() + slot + 40, [](uint8_t c) { return c == 0; }));
}

TEST(FixStubLayout, WithoutRelocKeepsRelocationFlags) {
    Bytes out = FixStubLayout(StubPe(StubResources(), {0, 1, 2, 3, 4}, false));
    glim::pe::PeHeaders h = ParseHeaders(out);
    EXPECT_FALSE(h.characteristics & glim::pe::kFileRelocsStripped);
    EXPECT_TRUE(h.dll_characteristics & glim::pe::kDllDynamicBase);
}

TEST(FixStubLayout, IsIdempotentAndChecksummed) {
    Bytes once = FixStubLayout(LinkedStub());
    Bytes twice = FixStubLayout(once);
    EXPECT_EQ(once, twice);
    glim::pe::PeHeaders h = ParseHeaders(once);
    EXPECT_NE(h.checksum, 0u);
    EXPECT_EQ(h.checksum, glim::pe::ComputeChecksum(once, h.checksum_offset()));
}

TEST(FixStubLayout, GrowsTheSectionWhenTheNewLayoutNeedsMore) {
    // A tightly packed section (data at 4-byte steps) whose raw size is exactly
    // one file-alignment unit; the rebuilt one aligns data to 8 and may need
    // another unit. The file grows, nothing overlaps.
    std::vector<Res> res = StubResources();
    res[1].data = Blob(kFileAlign, 6);
    res[2].data = Blob(3, 7);
    Bytes out = FixStubLayout(StubPe(res, {0, 1, 2, 3, 4}));
    glim::pe::PeHeaders h = ParseHeaders(out);
    EXPECT_EQ(out.size(), size_t(h.sections[1].raw_pointer) + h.sections[1].raw_size);
    EXPECT_EQ(InstallerPayloadPosition(out) + 4,
              h.sections[1].raw_pointer + h.sections[1].virtual_size);
}

TEST(FixStubLayout, RefusesInputItCannotLayOut) {
    // No resource section at all.
    Bytes no_rsrc = BuildPe({{".text", Blob(0x100, 1), 0x60000020}}, -1, -1);
    EXPECT_NE(RefusalOf(no_rsrc).find("no .rsrc"), std::string::npos) << RefusalOf(no_rsrc);

    // Resources without LASTRES.
    std::vector<Res> res = StubResources();
    res.erase(res.begin());
    std::string why = RefusalOf(StubPe(res, {0, 1, 2, 3}));
    EXPECT_NE(why.find("LASTRES"), std::string::npos) << why;

    // A named type sorting before LASTRES: the installer would read its data.
    res = StubResources();
    res.insert(res.begin(), Res{"ABOUT", 0, 1, 1033, Blob(8, 1)});
    why = RefusalOf(StubPe(res, {0, 1, 2, 3, 4, 5}));
    EXPECT_NE(why.find("\"ABOUT\" sorts before"), std::string::npos) << why;

    // A second LASTRES resource sorting before 1000.
    res = StubResources();
    res.insert(res.begin(), Res{"LASTRES", 0, 999, 1033, Blob(4, 1)});
    why = RefusalOf(StubPe(res, {0, 1, 2, 3, 4, 5}));
    EXPECT_NE(why.find("first name under \"LASTRES\" is 999"), std::string::npos) << why;

    // LASTRES in another language only.
    res = StubResources();
    res[0].lang = 1031;
    why = RefusalOf(StubPe(res, {0, 1, 2, 3, 4}));
    EXPECT_NE(why.find("language 1033"), std::string::npos) << why;

    // A section after .rsrc that is not .reloc.
    Bytes extra = BuildPe({{".text", Blob(0x100, 1), 0x60000020},
                           {".rsrc", BuildResources(StubResources(), {0, 1, 2, 3, 4}, 0x2000)},
                           {".extra", Blob(16, 2)}},
                          1, -1);
    why = RefusalOf(extra);
    EXPECT_NE(why.find("\".extra\" follows .rsrc"), std::string::npos) << why;

    // Data past the last section (a package, or anything appended).
    Bytes package = FixStubLayout(LinkedStub());
    package.insert(package.end(), 100, 0xAB);
    why = RefusalOf(package);
    EXPECT_NE(why.find("100 bytes follow the last section"), std::string::npos) << why;

    // Not an executable.
    EXPECT_NE(RefusalOf(Bytes(10, 0)).find("too short"), std::string::npos);
    Bytes not_mz = LinkedStub();
    not_mz[0] = 'X';
    EXPECT_NE(RefusalOf(not_mz).find("MZ"), std::string::npos);
}

TEST(FixStubLayout, RejectsMalformedInputWithoutReadingOutOfBounds) {
    Bytes good = LinkedStub();
    // Every truncation of a good file is refused cleanly (the sanitizers see
    // any stray read).
    for (size_t n = 0; n < good.size(); n += 7)
        EXPECT_THROW(FixStubLayout(Bytes(good.begin(), good.begin() + n)), PeError) << n;

    glim::pe::PeHeaders h = ParseHeaders(good);
    size_t root = h.sections[1].raw_pointer;
    // A subdirectory that points back at the root.
    Bytes loop = good;
    Put32(loop, root + 16 + 4, 0x80000000u);
    EXPECT_NE(RefusalOf(loop).find("loop"), std::string::npos) << RefusalOf(loop);
    // A type entry pointing far outside the section.
    Bytes wild = good;
    Put32(wild, root + 16 + 4, 0x80FFFFF0u);
    EXPECT_NE(RefusalOf(wild).find("outside the resource section"), std::string::npos);
    // A data entry whose data lies outside every section.
    Bytes bad_data = good;
    // The first data entry: root -> first type -> first name -> first language.
    uint32_t t = Get32(good, root + 20) & 0x7FFFFFFF;
    uint32_t n = Get32(good, root + t + 20) & 0x7FFFFFFF;
    uint32_t d = Get32(good, root + n + 20);
    Put32(bad_data, root + d, 0x7FFF0000);
    EXPECT_NE(RefusalOf(bad_data).find("outside the file's sections"), std::string::npos)
        << RefusalOf(bad_data);
    // A name string whose length runs past the section.
    Bytes long_name = good;
    uint32_t so = Get32(good, root + 16) & 0x7FFFFFFF;
    Put16(long_name, root + so, 0xFFFF);
    EXPECT_NE(RefusalOf(long_name).find("outside the resource section"), std::string::npos);
    // An optional header of another size: the installer's walk would miss
    // the section table.
    Bytes odd = good;
    Put16(odd, kPeOffset + 4 + 16, 240);
    EXPECT_THROW(FixStubLayout(odd), PeError);
}
