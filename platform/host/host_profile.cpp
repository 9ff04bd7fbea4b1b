// Host back end: WritePrivateProfileStringA, a small INI writer that edits a
// profile file the way Windows does: the other lines stay as they are, an
// existing key keeps its place, names compare without regard to case, and the
// file is written with CRLF line ends.
#include <cstdio>
#include <cstring>

#include "hostos/atomic_file.h"
#include "hostos/os.h"
#include "platform/host/host_state.h"
#include "platform/platform.h"

namespace {

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// "[name]" -> true and the name; anything else -> false.
bool SectionName(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.empty() || t[0] != '[')
        return false;
    size_t close = t.find(']');
    *name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// "key=value" -> true and the key.
bool KeyName(const std::string& line, std::string* key) {
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    *key = Trim(line.substr(0, eq));
    return true;
}

bool HasLineBreak(const char* text) {
    return text && std::strpbrk(text, "\r\n") != nullptr;
}

bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
    std::FILE* file = hostos::OpenStream(path, "rb");
    if (!file)
        return true; // a missing file is created
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!ok)
        return false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines->push_back(line);
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return true;
}

// A failed write never leaves a cut-off profile behind, and the profile
// keeps its permissions.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    hostos::AtomicFile out;
    out.KeepPermissionsOf(path);
    return out.Begin(path, true) && out.Write(text.data(), text.size()) && out.Commit();
}

} // namespace

namespace hostwin {

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file) {
    if (!section || !file || !*file)
        return FALSE;
    // A line break inside a name or value would split it into other lines.
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        return FALSE;
    std::string windows_path = file;
    if (windows_path.find_first_of("\\/:") == std::string::npos) {
        std::string dir = host::detail::GetState().windows_dir;
        if (dir.empty() || (dir.back() != '\\' && dir.back() != '/'))
            dir += "\\";
        windows_path = dir + windows_path;
    }
    std::string path;
    bool is_module = false;
    if (!host::detail::ResolveWindowsPath(windows_path.c_str(), &path, &is_module) || is_module)
        return FALSE;
    hostos::Kind kind = hostos::GetStatus(path, true).kind;
    if (kind != hostos::Kind::Missing && kind != hostos::Kind::Regular)
        return FALSE;

    std::vector<std::string> lines;
    if (!ReadLines(path, &lines))
        return FALSE;

    // Locate the section: its header line and the end of its body (the next
    // header or the end of the file).
    size_t header = std::string::npos;
    size_t body_end = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (!SectionName(lines[i], &name))
            continue;
        if (header != std::string::npos) {
            body_end = i;
            break;
        }
        if (host::detail::EqualsIgnoreCase(name, section))
            header = i;
    }

    if (!key) {
        // No key: the whole section goes.
        if (header == std::string::npos)
            return TRUE;
        lines.erase(lines.begin() + long(header), lines.begin() + long(body_end));
        return WriteLines(path, lines) ? TRUE : FALSE;
    }

    std::string entry = std::string(key) + "=" + (value ? value : "");
    if (header == std::string::npos) {
        if (!value)
            return TRUE; // nothing to delete
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.push_back("");
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(entry);
        return WriteLines(path, lines) ? TRUE : FALSE;
    }

    size_t last_content = header; // where a new key goes: after the section's last non-blank line
    for (size_t i = header + 1; i < body_end; ++i) {
        std::string name;
        if (KeyName(lines[i], &name) && host::detail::EqualsIgnoreCase(name, Trim(key))) {
            if (value) {
                // Keep the key as it is spelt in the file; only the value changes.
                size_t eq = lines[i].find('=');
                lines[i] = lines[i].substr(0, eq + 1) + value;
            } else {
                lines.erase(lines.begin() + long(i));
            }
            return WriteLines(path, lines) ? TRUE : FALSE;
        }
        if (!Trim(lines[i]).empty())
            last_content = i;
    }
    if (!value)
        return TRUE;
    lines.insert(lines.begin() + long(last_content + 1), entry);
    return WriteLines(path, lines) ? TRUE : FALSE;
}

} // namespace hostwin
