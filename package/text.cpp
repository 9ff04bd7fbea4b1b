#include "package/text.h"

#include <cstdio>

#include "base/text.h"
#include "hostos/os.h"

namespace glimpack {
namespace {

// Code points of Windows-1252 bytes 0x80..0x9F; 0 where the code page has none.
const uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

} // namespace

size_t DecodeUnicode(const std::string& text, size_t pos, uint32_t* code_point) {
    size_t length = hostos::DecodeUtf8(text, pos, code_point);
    return length != 0 && hostos::IsSurrogate(*code_point) ? 0 : length;
}

std::optional<std::string> Utf8ToWindows1252(const std::string& utf8, std::string* problem) {
    std::string out;
    for (size_t pos = 0; pos < utf8.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUnicode(utf8, pos, &cp);
        if (length == 0) {
            *problem = "is not valid UTF-8 (byte " + std::to_string(pos + 1) + ")";
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
            hostos::AppendUtf8(out, kCp1252High[c - 0x80]);
        else
            hostos::AppendUtf8(out, c);
    }
    return out;
}

std::string EscapeForDisplay(const std::string& utf8, bool quoted) {
    std::string out;
    for (size_t pos = 0; pos < utf8.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUnicode(utf8, pos, &cp);
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

namespace {

std::string JsonText(const std::string& utf8, bool keep_bytes) {
    std::string out = "\"";
    for (size_t pos = 0; pos < utf8.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUnicode(utf8, pos, &cp);
        if (length == 0) {
            if (keep_bytes) {
                char text[8];
                std::snprintf(text, sizeof text, "\\udc%02x", unsigned(uint8_t(utf8[pos])));
                out += text;
            } else {
                out += "\\ufffd";
            }
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

} // namespace

std::string JsonString(const std::string& utf8) {
    return JsonText(utf8, false);
}

std::string JsonName(const std::string& name) {
    return JsonText(name, true);
}

bool IsUnicodeText(const std::string& text) {
    for (size_t pos = 0; pos < text.size();) {
        uint32_t cp = 0;
        size_t length = DecodeUnicode(text, pos, &cp);
        if (length == 0)
            return false;
        pos += length;
    }
    return true;
}

std::string HexBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string WithThousands(uint64_t value) {
    char digits[20], out[32]; // 20 digits and 6 commas at the most
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::string(out, WriteGroupedDigits(digits, count, out));
}

} // namespace glimpack
