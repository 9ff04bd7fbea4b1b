#include "tools/glimpack/commands.h"
#include "tools/glimpack/common.h"

namespace glimpack {

int CmdCompress(int, char**) { throw ToolError("compress: not built yet"); }
int CmdDecompress(int, char**) { throw ToolError("decompress: not built yet"); }

} // namespace glimpack
