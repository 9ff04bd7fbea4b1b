#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"

namespace glimpack {

int CmdTest(int, char**) { throw ToolError("test: not built yet"); }

} // namespace glimpack
