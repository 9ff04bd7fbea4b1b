#include "tools/glimpack/common.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/glimpack/commands.h"

namespace glimpack {

void Fail(const std::string& file, const std::string& problem) {
    throw ToolError(file + ": " + problem);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        Fail(path, std::strerror(errno));
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad)
        Fail(path, "read error");
    return data;
}

AtomicOutput::AtomicOutput(std::string path, bool overwrite)
    : path_(std::move(path)), overwrite_(overwrite) {
    if (!overwrite_ && std::filesystem::exists(std::filesystem::symlink_status(path_)))
        Fail(path_, "already exists (use --overwrite to replace it)");
    std::string pattern = path_ + ".partXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        Fail(path_, std::string("cannot create: ") + std::strerror(errno));
    temp_path_ = name.data();
    file_ = fdopen(fd, "wb");
    if (!file_) {
        int err = errno;
        close(fd);
        std::remove(temp_path_.c_str());
        Fail(path_, std::string("cannot create: ") + std::strerror(err));
    }
}

AtomicOutput::~AtomicOutput() {
    if (file_)
        std::fclose(file_);
    if (!committed_ && !temp_path_.empty())
        std::remove(temp_path_.c_str());
}

void AtomicOutput::Write(const void* data, size_t size) {
    if (size && std::fwrite(data, 1, size, file_) != size)
        Fail(path_, std::string("write error: ") + std::strerror(errno));
}

void AtomicOutput::Commit() {
    if (std::fflush(file_) != 0 || fsync(fileno(file_)) != 0) {
        Fail(path_, std::string("write error: ") + std::strerror(errno));
    }
    // Keep the usual permissions of a new file (mkstemp makes it 0600).
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fileno(file_), 0666 & ~mask);
    int rc = std::fclose(file_);
    file_ = nullptr;
    if (rc != 0)
        Fail(path_, std::string("write error: ") + std::strerror(errno));
    if (overwrite_) {
        if (std::rename(temp_path_.c_str(), path_.c_str()) != 0)
            Fail(path_, std::string("cannot rename into place: ") + std::strerror(errno));
    } else {
        // link() fails when the name exists, so a file that appeared meanwhile
        // is never replaced.
        if (link(temp_path_.c_str(), path_.c_str()) != 0)
            Fail(path_, errno == EEXIST ? "already exists (use --overwrite to replace it)"
                                        : std::string("cannot create: ") + std::strerror(errno));
        std::remove(temp_path_.c_str());
    }
    committed_ = true;
}

uint64_t ParseNumber(const std::string& option, const char* value, uint64_t max) {
    if (!value || !*value)
        throw UsageError(option + " needs a value");
    uint64_t n = 0;
    for (const char* p = value; *p; ++p) {
        if (*p < '0' || *p > '9')
            throw UsageError(option + ": '" + value + "' is not a whole number");
        if (n > (max - uint64_t(*p - '0')) / 10)
            throw UsageError(option + ": " + value + " is over the limit of " +
                             std::to_string(max));
        n = n * 10 + uint64_t(*p - '0');
    }
    return n;
}

uint64_t ParseSize(const std::string& option, const char* value) {
    if (!value || !*value)
        throw UsageError(option + " needs a value");
    std::string v = value;
    uint64_t unit = 1;
    switch (v.back()) {
    case 'k':
    case 'K':
        unit = uint64_t(1) << 10;
        break;
    case 'm':
    case 'M':
        unit = uint64_t(1) << 20;
        break;
    case 'g':
    case 'G':
        unit = uint64_t(1) << 30;
        break;
    default:
        break;
    }
    if (unit != 1)
        v.pop_back();
    return ParseNumber(option, v.c_str(), UINT64_MAX / unit) * unit;
}

ScratchDirectory::ScratchDirectory(const std::string& prefix, const std::string& parent) {
    std::string base = parent.empty() ? std::filesystem::temp_directory_path().string() : parent;
    std::string pattern = base + "/" + prefix + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        Fail(base, std::string("cannot create a working directory: ") + std::strerror(errno));
    path_ = name.data();
}

ScratchDirectory::~ScratchDirectory() {
    if (path_.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

int RunCommand(const char* name, int (*body)(int, char**), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "glimpack %s: %s\nTry 'glimpack %s --help'.\n", name, e.what(), name);
        return kExitUsage;
    } catch (const ToolError& e) {
        std::fprintf(stderr, "glimpack: %s\n", e.what());
        return kExitBadInput;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "glimpack: out of memory\n");
        return kExitBadInput;
    } catch (const std::filesystem::filesystem_error& e) {
        // The library's own text repeats the operation and quotes the paths;
        // the file and the system's reason are what the user needs.
        std::string file = e.path1().empty() ? std::string(name) : e.path1().string();
        std::fprintf(stderr, "glimpack: %s: %s\n", file.c_str(), e.code().message().c_str());
        return kExitBadInput;
    } catch (const std::exception& e) {
        // Whatever else the library throws (a length or range error on a
        // hostile size, say) is still the input's or the system's fault, not
        // a reason to abort with a core dump.
        std::fprintf(stderr, "glimpack %s: %s\n", name, e.what());
        return kExitBadInput;
    } catch (...) {
        std::fprintf(stderr, "glimpack %s: unexpected error\n", name);
        return kExitBadInput;
    }
}

} // namespace glimpack
