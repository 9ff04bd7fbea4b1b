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

void AppendUtf8(std::string& out, uint32_t code_point) {
    const uint32_t c = code_point;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

} // namespace hostos
