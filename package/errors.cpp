#include "package/errors.h"

namespace glimpack {

void Fail(const std::string& file, const std::string& problem) {
    throw ToolError(file + ": " + problem);
}

} // namespace glimpack
