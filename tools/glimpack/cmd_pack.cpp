#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"

namespace glimpack {

int CmdPack(int, char**) { throw ToolError("pack: not built yet"); }

} // namespace glimpack
