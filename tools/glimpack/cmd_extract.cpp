#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"

namespace glimpack {

int CmdExtract(int, char**) { throw ToolError("extract: not built yet"); }

} // namespace glimpack
