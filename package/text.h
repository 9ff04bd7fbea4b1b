// Text in and out of packages: titles are Windows-1252, the tool speaks
// UTF-8, and whatever a package holds is shown on one line without control
// characters.
#ifndef GLIM_PACKAGE_TEXT_H
#define GLIM_PACKAGE_TEXT_H

#include <cstdint>
#include <optional>
#include <string>

namespace glimpack {

// The one reading of UTF-8 text as Unicode: the sequence at `pos` decoded
// into `code_point`, returning its length, or 0 for bytes that are not UTF-8
// or that encode a surrogate (which hostos::DecodeUtf8 lets through for
// names that must survive a trip to Windows and back, but which is no
// character).
size_t DecodeUnicode(const std::string& text, size_t pos, uint32_t* code_point);

// UTF-8 to Windows-1252. Returns nullopt, with the reason in `problem`, for
// invalid UTF-8 or a character the code page does not have.
std::optional<std::string> Utf8ToWindows1252(const std::string& utf8, std::string* problem);
// Windows-1252 to UTF-8; the five unassigned bytes become U+0081 etc.
std::string Windows1252ToUtf8(const std::string& text);
// A UTF-8 text for a one-line display: control characters (C0, DEL, C1) as
// \xNN, bytes that are not UTF-8 as \xNN; with `quoted`, also \" and \\.
std::string EscapeForDisplay(const std::string& utf8, bool quoted);
// A JSON string literal (quotes included); bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& utf8);
// A file name as a JSON string literal that gives its bytes back: each byte
// that is not part of UTF-8 text becomes the lone surrogate U+DC80 + byte
// ("\udce9" for 0xE9), the convention of Python's "surrogateescape"
// (os.fsencode turns the parsed string back into the very bytes).
std::string JsonName(const std::string& name);
// Whether `text` is UTF-8 encoding Unicode characters only.
bool IsUnicodeText(const std::string& text);
// The bytes in lower-case hexadecimal, two digits each.
std::string HexBytes(const std::string& bytes);
// "1,234,567"
std::string WithThousands(uint64_t value);

} // namespace glimpack

#endif
