// The parts of the host's system layer that are the same on every system,
// built on the per-system calls.
#include <chrono>
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

bool SameFile(const Status& a, const Status& b) {
    return a.kind != Kind::Missing && a.kind != Kind::Error && b.kind == a.kind &&
           a.device == b.device && a.inode == b.inode;
}

size_t ReadFull(int fd, void* buffer, size_t count, bool* failed) {
    char* out = static_cast<char*>(buffer);
    size_t total = 0;
    if (failed)
        *failed = false;
    while (total < count) {
        long n = Read(fd, out + total, count - total);
        if (n < 0) {
            if (failed)
                *failed = true;
            break;
        }
        if (n == 0)
            break;
        total += size_t(n);
    }
    return total;
}

double MonotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string DirectoryPart(const std::string& path) {
    return path.substr(0, path.size() - FileNamePart(path).size());
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

size_t DecodeUtf8(const std::string& text, size_t pos, uint32_t* code_point) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    uint8_t lead = byte(pos);
    size_t length = 0;
    uint32_t value = 0, smallest = 0;
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1Fu, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0Fu, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07u, smallest = 0x10000;
    } else {
        return 0;
    }
    if (length > text.size() - pos)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((byte(pos + i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(pos + i) & 0x3Fu);
    }
    // The shortest form only: an overlong one would let "/" or "." in under
    // another spelling.
    if (value < smallest || value > 0x10FFFF)
        return 0;
    *code_point = value;
    return length;
}

} // namespace hostos
