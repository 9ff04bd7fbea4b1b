#include "package/errors.h"

#include <exception>
#include <new>

namespace glimpack {

void Fail(const std::string& file, const std::string& problem) {
    throw ToolError(file + ": " + problem);
}

Failure CurrentFailure() {
    try {
        throw;
    } catch (const UsageError& e) {
        return {FailureKind::Usage, e.what()};
    } catch (const ToolError& e) {
        return {FailureKind::BadInput, e.what()};
    } catch (const std::bad_alloc&) {
        return {FailureKind::OutOfMemory, std::string()};
    } catch (const std::exception& e) {
        return {FailureKind::Other, e.what()};
    } catch (...) {
        return {FailureKind::Unknown, std::string()};
    }
}

} // namespace glimpack
