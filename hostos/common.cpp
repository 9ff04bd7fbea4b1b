// The parts of the host's system layer that are the same on every system,
// built on the per-system calls.
#include <cstdio>

#include "hostos/os.h"

namespace hostos {

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
    std::FILE* f = OpenStream(path, "rb");
    if (!f)
        return false;
    data->clear();
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        data->insert(data->end(), buffer, buffer + n);
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

} // namespace hostos
