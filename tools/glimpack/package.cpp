#include "tools/glimpack/package.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "payload/naming.h"
#include "platform/host/host_control.h"
#include "platform/platform.h"
#include "tools/glimpack/common.h"

namespace glimpack {

namespace {

// Code points of Windows-1252 bytes 0x80..0x9F; 0 where the code page has none.
const uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at `pos`; returns its length, 0 when invalid
// (overlong forms, surrogates and values past U+10FFFF included).
size_t DecodeUtf8(const std::string& s, size_t pos, uint32_t* cp) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    uint8_t b0 = byte(pos);
    size_t length;
    uint32_t value, min;
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        length = 2, value = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, value = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, value = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > s.size())
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((byte(pos + i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(pos + i) & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *cp = value;
    return length;
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string ToHexOffset(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Num(uint64_t value) {
    return std::to_string(value);
}

uint16_t U16(const std::vector<uint8_t>& b, uint64_t pos) {
    return static_cast<uint16_t>(b[pos] | (b[pos + 1] << 8));
}

uint32_t U32(const std::vector<uint8_t>& b, uint64_t pos) {
    return static_cast<uint32_t>(b[pos]) | (static_cast<uint32_t>(b[pos + 1]) << 8) |
           (static_cast<uint32_t>(b[pos + 2]) << 16) | (static_cast<uint32_t>(b[pos + 3]) << 24);
}

// The checks the payload locator does not make: an MZ header leading to a PE
// signature and a PE32 optional header of the 224 bytes the locator steps over.
void CheckPeHeaders(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z')
        Fail(path, "not a PE file (no MZ header)");
    uint32_t pe = U32(bytes, 60);
    if (static_cast<uint64_t>(pe) + 24 + 224 > bytes.size())
        Fail(path,
             "not a PE file (the PE header offset " + ToHexOffset(pe) + " lies outside the file)");
    if (std::memcmp(bytes.data() + pe, "PE\0\0", 4) != 0)
        Fail(path, "not a PE file (no PE signature at " + ToHexOffset(pe) + ")");
    uint16_t optional_size = U16(bytes, pe + 20);
    uint16_t magic = U16(bytes, pe + 24);
    if (magic != 0x10B || optional_size != 224)
        Fail(path, "not a 32-bit PE file with the standard 224-byte optional header");
}

// Points the host back end's module file at the stub at `path` and runs the
// locator. Sets *found when the locator reached a ".rsrc" section.
PayloadLocation LocateStub(const std::string& path, bool* found) {
    host::Reset();
    host::SetWindowsDirectory(std::filesystem::temp_directory_path().string());
    // A fixed Windows name: the stub's own name does not matter here, and a
    // long one must not hit the installer's 256-character buffer.
    host::SetModuleFile(std::filesystem::absolute(path).string(), "C:\\PACKAGES\\STUB.EXE");
    HFILE probe = _lopen("C:\\PACKAGES\\STUB.EXE", OF_READ);
    if (probe == HFILE_ERROR)
        Fail(path, "cannot be opened through the installer's file calls");
    _lclose(probe);
    PayloadLocation location;
    HFILE file = OpenPayloadWithLocation(&location);
    *found = file != HFILE_ERROR;
    if (file != HFILE_ERROR)
        _lclose(file);
    return location;
}

std::string Padded(const std::string& text, size_t width, bool right) {
    if (text.size() >= width)
        return text;
    std::string pad(width - text.size(), ' ');
    return right ? pad + text : text + pad;
}

} // namespace

std::optional<std::string> Utf8ToWindows1252(const std::string& utf8, std::string* problem) {
    std::string out;
    for (size_t pos = 0; pos < utf8.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUtf8(utf8, pos, &cp);
        if (length == 0) {
            *problem = "is not valid UTF-8 (byte " + Num(pos + 1) + ")";
            return std::nullopt;
        }
        pos += length;
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            out += static_cast<char>(cp);
            continue;
        }
        int found = -1;
        for (int i = 0; i < 32 && cp >= 0x100; i++) {
            if (kCp1252High[i] == cp)
                found = i;
        }
        if (found < 0) {
            char text[16];
            std::snprintf(text, sizeof text, "U+%04X", cp);
            *problem = std::string("holds ") + text + ", which Windows-1252 cannot represent";
            return std::nullopt;
        }
        out += static_cast<char>(0x80 + found);
    }
    return out;
}

std::string Windows1252ToUtf8(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x80 && c < 0xA0 && kCp1252High[c - 0x80])
            AppendUtf8(out, kCp1252High[c - 0x80]);
        else
            AppendUtf8(out, c);
    }
    return out;
}

std::string EscapeForDisplay(const std::string& utf8, bool quoted) {
    std::string out;
    for (size_t pos = 0; pos < utf8.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUtf8(utf8, pos, &cp);
        if (length == 0) {
            out += "\\x" + Hex2(static_cast<uint8_t>(utf8[pos]));
            pos++;
            continue;
        }
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0))
            out += "\\x" + Hex2(cp);
        else if (quoted && (cp == '"' || cp == '\\'))
            out += std::string("\\") + static_cast<char>(cp);
        else
            out.append(utf8, pos, length);
        pos += length;
    }
    return out;
}

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (size_t pos = 0; pos < utf8.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUtf8(utf8, pos, &cp);
        if (length == 0) {
            out += "\\ufffd";
            pos++;
            continue;
        }
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
                char text[8];
                std::snprintf(text, sizeof text, "\\u%04x", cp);
                out += text;
            } else {
                out.append(utf8, pos, length);
            }
        }
        pos += length;
    }
    return out + "\"";
}

StubLayout CheckStubLayout(const std::string& path, const std::vector<uint8_t>& bytes) {
    StubLayout layout;
    layout.file_size = bytes.size();
    CheckPeHeaders(path, bytes);

    bool found = false;
    layout.location = LocateStub(path, &found);
    const PayloadLocation& loc = layout.location;
    if (!found)
        Fail(path, "not a usable stub: no \".rsrc\" section");

    // Our own read of the section table: .rsrc must hold the last raw data.
    uint64_t table = static_cast<uint64_t>(loc.pe_offset) + 24 + 224;
    if (table + 40ull * loc.section_count > bytes.size())
        Fail(path, "not a usable stub: the section table runs past the end of the file");
    uint64_t rsrc_raw_end = static_cast<uint64_t>(loc.rsrc_file_pos) + loc.rsrc_raw_size;
    for (uint32_t i = 0; i < loc.section_count; i++) {
        uint64_t h = table + 40ull * i;
        uint32_t raw_size = U32(bytes, h + 16), raw_pos = U32(bytes, h + 20);
        if (i != loc.rsrc_index && raw_size != 0 && raw_pos >= loc.rsrc_file_pos)
            Fail(path, "not a usable stub: \".rsrc\" is not the last section in the file");
    }
    if (rsrc_raw_end != bytes.size())
        Fail(path, "not a usable stub: the raw data of \".rsrc\" ends at " +
                       ToHexOffset(rsrc_raw_end) + ", not at the end of the file (" +
                       ToHexOffset(bytes.size()) + ")");
    layout.rsrc_raw_end = static_cast<uint32_t>(rsrc_raw_end);

    // The first type the locator takes must be "LASTRES".
    uint64_t root = loc.rsrc_file_pos;
    if (root + 24 > bytes.size())
        Fail(path, "not a usable stub: the resource directory runs past the end of the file");
    uint32_t type_name = U32(bytes, root + 16);
    std::string name;
    if (type_name & 0x80000000u) {
        uint64_t at = root + (type_name & 0x7FFFFFFFu);
        if (at + 2 <= bytes.size()) {
            uint16_t length = U16(bytes, at);
            for (uint16_t i = 0; i < length && at + 4 + 2ull * i <= bytes.size(); i++) {
                uint16_t c = U16(bytes, at + 2 + 2ull * i);
                name += c < 0x80 ? static_cast<char>(c) : '?';
            }
        }
    }
    if (name != "LASTRES")
        Fail(path, "not a usable stub: the first resource type is not \"LASTRES\"");
    if (loc.data_size != 4)
        Fail(path, "not a usable stub: the \"LASTRES\" data entry declares " + Num(loc.data_size) +
                       " bytes, not 4");
    if (loc.data_rva < loc.rsrc_rva ||
        static_cast<uint64_t>(loc.data_rva) + 4 !=
            static_cast<uint64_t>(loc.rsrc_rva) + loc.rsrc_virtual_size)
        Fail(path, "not a usable stub: the \"LASTRES\" data does not end the resource "
                   "section's virtual size");
    if (loc.payload_pos < loc.rsrc_file_pos ||
        static_cast<uint64_t>(loc.payload_pos) + 4 > rsrc_raw_end)
        Fail(path, "not a usable stub: the \"LASTRES\" data lies outside the raw data of "
                   "\".rsrc\"");
    return layout;
}

std::string DefaultStubPath() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        std::filesystem::path beside = exe.parent_path() / "glimsetup.exe";
        if (std::filesystem::exists(beside, ec))
            return beside.string();
    }
    if (const char* env = std::getenv("GLIMPACK_STUB"); env && *env)
        return env;
#ifdef GLIM_DEFAULT_STUB
    return GLIM_DEFAULT_STUB;
#else
    throw ToolError("no installer stub: give --stub or set GLIMPACK_STUB");
#endif
}

EncodedBody StoreBody(const std::vector<uint8_t>& input) {
    return EncodedBody{input, 0};
}

EncodedBody CompressOrStoreBody(const std::vector<uint8_t>& input, encoder::Mode mode) {
    if (input.size() > encoder::kMaxInputSize)
        return StoreBody(input);
    std::vector<uint8_t> packed = encoder::Compress(input.data(), input.size(), mode);
    if (packed.empty() || packed.size() >= input.size())
        return StoreBody(input);
    EncodedBody body;
    body.bytes = std::move(packed);
    body.unpacked_size = static_cast<uint32_t>(input.size());
    return body;
}

void ExtensionFromFileName(const std::string& path, char extension[PAYLOAD_EXTENSION_SIZE]) {
    std::memset(extension, 0, PAYLOAD_EXTENSION_SIZE);
    std::string name = std::filesystem::path(path).filename().string();
    size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return;
    std::string ext = name.substr(dot);
    for (char& c : ext) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (ext.size() > PAYLOAD_EXTENSION_SIZE)
        Fail(path, "extension \"" + EscapeForDisplay(ext, true) +
                       "\" is longer than 4 characters (dot included)");
    // The record's field is NUL-padded, and not terminated when 4 bytes long.
    std::memcpy(extension, ext.data(), ext.size()); // NOLINT(bugprone-not-null-terminated-result)
    if (!IsSafeExtension(extension))
        Fail(path, "extension \"" + EscapeForDisplay(ext, true) +
                       "\" cannot be used in a file name (use letters, digits or _~!#$%&'()@^{}-)");
}

PackPlan PlanPackage(const std::string& output, uint32_t payload_pos, uint32_t rsrc_raw_end,
                     const std::vector<uint64_t>& body_sizes) {
    PackPlan plan;
    plan.payload_pos = payload_pos;
    uint64_t pos = static_cast<uint64_t>(payload_pos) + PAYLOAD_HEADER_SIZE +
                   PAYLOAD_RECORD_SIZE * (static_cast<uint64_t>(body_sizes.size()) + 1);
    for (uint64_t size : body_sizes) {
        if (pos > kMaxPackageSize)
            break;
        plan.offsets.push_back(static_cast<uint32_t>(pos));
        pos += size;
    }
    plan.payload_end = pos;
    plan.file_size = std::max<uint64_t>(pos, rsrc_raw_end);
    if (plan.payload_end > kMaxPackageSize || plan.offsets.size() != body_sizes.size())
        Fail(output, "the package would need " + Num(pos) +
                         " bytes or more; the installer reads packages of at most " +
                         Num(kMaxPackageSize) + " bytes");
    return plan;
}

void BuildPackage(const PackOptions& options, const BodyEncoder& encoder) {
    if (options.inputs.size() < 2)
        throw UsageError("a package needs a saver (--scr) and a data file (--dat)");
    if (options.title_1252.size() > PAYLOAD_TITLE_SIZE)
        Fail(options.output, "title longer than 32 bytes");

    std::vector<uint8_t> stub = ReadWholeFile(options.stub_path);
    StubLayout layout = CheckStubLayout(options.stub_path, stub);

    std::vector<EncodedBody> bodies;
    std::vector<uint64_t> sizes;
    for (const PackInput& input : options.inputs) {
        if (input.data.empty())
            Fail(input.path, "empty file (a stored size of 0 would end the record table)");
        if (input.data.size() > kMaxPackageSize)
            Fail(input.path, "too large for a package");
        bodies.push_back(encoder(input.data));
        if (bodies.back().bytes.empty())
            Fail(input.path, "encoded to an empty body");
        sizes.push_back(bodies.back().bytes.size());
    }
    PackPlan plan =
        PlanPackage(options.output, layout.location.payload_pos, layout.rsrc_raw_end, sizes);

    AtomicOutput out(options.output, true);
    out.Write(stub.data(), plan.payload_pos);

    PayloadHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.title, options.title_1252.data(), options.title_1252.size());
    header.first_file_number = options.first_number;
    uint8_t bytes[PAYLOAD_HEADER_SIZE];
    EncodePayloadHeader(&header, bytes);
    out.Write(bytes, sizeof bytes);

    for (size_t i = 0; i < bodies.size(); i++) {
        PayloadRecord record;
        std::memset(&record, 0, sizeof record);
        record.offset = plan.offsets[i];
        record.stored_size = static_cast<uint32_t>(bodies[i].bytes.size());
        record.unpacked_size = bodies[i].unpacked_size;
        std::memcpy(record.extension, options.inputs[i].extension, PAYLOAD_EXTENSION_SIZE);
        uint8_t raw[PAYLOAD_RECORD_SIZE];
        EncodePayloadRecord(&record, raw);
        out.Write(raw, sizeof raw);
    }
    uint8_t terminator[PAYLOAD_RECORD_SIZE] = {};
    out.Write(terminator, sizeof terminator);
    for (const EncodedBody& body : bodies)
        out.Write(body.bytes.data(), body.bytes.size());

    // The Windows loader refuses a file that ends inside a section's raw
    // data; the payload starts inside that of .rsrc, so fill up to its end.
    if (plan.payload_end < plan.file_size) {
        std::vector<uint8_t> zeros(plan.file_size - plan.payload_end, 0);
        out.Write(zeros.data(), zeros.size());
    }
    out.Commit();
}

std::string FormatListingText(const InspectedPackage& pkg) {
    std::string title(pkg.header.title, strnlen(pkg.header.title, PAYLOAD_TITLE_SIZE));
    std::string out;
    out += "Package:           " + EscapeForDisplay(pkg.path, false) + "\n";
    out += "Title:             \"" + EscapeForDisplay(Windows1252ToUtf8(title), true) + "\"\n";
    out += "First file number: " + Num(pkg.header.first_file_number) + "\n";
    out += "Records:           " + Num(pkg.records.size()) + "\n\n";
    out += "    #  Role       Method          Stored    Unpacked      Offset  Destination\n";
    for (const InspectedRecord& r : pkg.records) {
        const PayloadRecord& p = r.record;
        std::string destination = r.destination.empty()
                                      ? "(not installed: " + r.destination_problem + ")"
                                      : EscapeForDisplay(r.destination, false);
        out += Padded(Num(r.index), 5, true) + "  " + Padded(r.role, 9, false) + "  " +
               Padded(p.unpacked_size ? "compressed" : "stored", 10, false) + "  " +
               Padded(Num(p.stored_size), 10, true) + "  " +
               Padded(p.unpacked_size ? Num(p.unpacked_size) : "-", 10, true) + "  " +
               Padded(Num(p.offset), 10, true) + "  " + destination + "\n";
        for (const std::string& problem : r.problems)
            out += "       problem: " + problem + "\n";
    }
    out += "\nInstalled total:   " + Num(pkg.installed_total) + " bytes\n";
    return out;
}

std::string FormatListingJson(const InspectedPackage& pkg) {
    std::string title(pkg.header.title, strnlen(pkg.header.title, PAYLOAD_TITLE_SIZE));
    std::string out = "{\n";
    out += "  \"package\": " + JsonString(pkg.path) + ",\n";
    out += "  \"title\": " + JsonString(Windows1252ToUtf8(title)) + ",\n";
    out += "  \"first_file_number\": " + Num(pkg.header.first_file_number) + ",\n";
    out += "  \"payload_offset\": " + Num(pkg.location.payload_pos) + ",\n";
    out += "  \"records\": [";
    for (size_t i = 0; i < pkg.records.size(); i++) {
        const InspectedRecord& r = pkg.records[i];
        const PayloadRecord& p = r.record;
        size_t ext_length = strnlen(p.extension, PAYLOAD_EXTENSION_SIZE);
        out += i ? ",\n    {" : "\n    {";
        out += "\"index\": " + Num(r.index);
        out += ", \"role\": " + JsonString(r.role);
        out += ", \"destination\": " +
               (r.destination.empty() ? std::string("null") : JsonString(r.destination));
        if (r.destination.empty())
            out += ", \"destination_problem\": " + JsonString(r.destination_problem);
        out += ", \"method\": \"" + std::string(p.unpacked_size ? "compressed" : "stored") + "\"";
        out += ", \"stored_size\": " + Num(p.stored_size);
        out += ", \"unpacked_size\": " + Num(p.unpacked_size);
        out += ", \"offset\": " + Num(p.offset);
        out += ", \"extension\": " +
               JsonString(Windows1252ToUtf8(std::string(p.extension, ext_length)));
        out += ", \"problems\": [";
        for (size_t k = 0; k < r.problems.size(); k++)
            out += (k ? ", " : "") + JsonString(r.problems[k]);
        out += "]}";
    }
    out += pkg.records.empty() ? "],\n" : "\n  ],\n";
    out += "  \"installed_total\": " + Num(pkg.installed_total) + "\n}\n";
    return out;
}

} // namespace glimpack
