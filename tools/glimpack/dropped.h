// A package dropped onto glimpack.exe in the desktop: Windows starts the
// program with the package's path as its only argument and no command, in a
// console window of its own.
#ifndef GLIM_TOOLS_GLIMPACK_DROPPED_H
#define GLIM_TOOLS_GLIMPACK_DROPPED_H

#include <string>

namespace glimpack {

// The one argument names an existing regular file (it is not a command).
bool IsDroppedFile(const std::string& argument);

// Extracts the package beside itself, into a new folder named after it as
// `extract` without -d names it (STARS.EXE -> STARS), and says where.
int ExtractDropped(const std::string& package);

} // namespace glimpack

#endif
