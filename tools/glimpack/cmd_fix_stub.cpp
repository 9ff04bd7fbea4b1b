#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"

namespace glimpack {

int CmdFixStub(int, char**) { throw ToolError("fix_stub: not built yet"); }

} // namespace glimpack
