// What glimpack scan shares with its tests.
#ifndef GLIM_TOOLS_GLIMPACK_SCAN_H
#define GLIM_TOOLS_GLIMPACK_SCAN_H

#include <string>

namespace glimpack {

// The folder a package found at `location` (PATH[!MEMBER...][@OFFSET]) is
// extracted into below --extract's DIR: one name that every system can make
// and that leads nowhere else, the same on every system. Separators, ":",
// the characters Windows refuses and control characters become "_", as do
// leading dots and the dots and blanks Windows drops from the end; a device
// name (CON, NUL.TXT ...) gets a "_" in front; a long one keeps its end (at
// most kSafeFolderNameBytes bytes, cut at a character's start).
constexpr size_t kSafeFolderNameBytes = 200;
std::string SafeFolderName(const std::string& location);

} // namespace glimpack

#endif
