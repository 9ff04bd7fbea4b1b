#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"

namespace glimpack {

int CmdList(int, char**) { throw ToolError("list: not built yet"); }

} // namespace glimpack
