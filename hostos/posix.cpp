// The host's system calls on POSIX systems (Linux, and the BSDs and macOS
// apart from ExecutablePath).
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "hostos/os.h"
#include "hostos/threads.h"

#ifdef EFTYPE
#define EFTYPE_OR_INVAL EFTYPE
#else
#define EFTYPE_OR_INVAL EINVAL
#endif

namespace hostos {
namespace {

Status FromStat(const struct stat& st) {
    Status s;
    if (S_ISREG(st.st_mode))
        s.kind = Kind::Regular;
    else if (S_ISDIR(st.st_mode))
        s.kind = Kind::Directory;
    else if (S_ISLNK(st.st_mode))
        s.kind = Kind::Link;
    else
        s.kind = Kind::Other;
    s.size = uint64_t(st.st_size);
    s.device = uint64_t(st.st_dev);
    s.inode = uint64_t(st.st_ino);
    return s;
}

mode_t CurrentMask() {
    // umask can only be read by setting it, and while it is 0 a file another
    // thread makes is open to everyone: read once, before the first thread
    // of ours starts (Thread asks first). Nothing here changes it.
    static const mode_t mask = [] {
        mode_t m = umask(0);
        umask(m);
        return m;
    }();
    return mask;
}

#ifdef __EMSCRIPTEN__
// Emscripten's in-memory file system (the browser page's) looks an open
// file's status up by its name, and finds none once the name is gone: there
// a scratch file keeps its name until it is closed. Nothing there outlives
// the page's worker, so the file is still gone whatever happens.
std::map<int, std::string>& NamedScratchFiles() {
    static std::map<int, std::string> files;
    return files;
}
#endif

} // namespace

Status GetStatus(const std::string& path, bool follow_links) {
    struct stat st;
    int rc = follow_links ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    if (rc != 0) {
        Status s;
        s.kind = (errno == ENOENT || errno == ENOTDIR) ? Kind::Missing : Kind::Error;
        return s;
    }
    return FromStat(st);
}

Status GetStatus(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        Status s;
        s.kind = Kind::Error;
        return s;
    }
    return FromStat(st);
}

int OpenRead(const std::string& path) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int OpenWrite(const std::string& path, bool create, bool truncate) {
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0) | (truncate ? O_TRUNC : 0);
    int fd;
    do {
        fd = open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int CreateNew(const std::string& path) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int64_t Seek(int fd, int64_t offset, int whence) {
    return int64_t(lseek(fd, off_t(offset), whence));
}

bool SeekStream(std::FILE* stream, int64_t offset) {
    return fseeko(stream, off_t(offset), SEEK_SET) == 0;
}

long Read(int fd, void* buffer, size_t count) {
    for (;;) {
        ssize_t n = read(fd, buffer, count);
        if (n >= 0 || errno != EINTR)
            return long(n);
    }
}

bool Write(int fd, const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = write(fd, p, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        count -= size_t(n);
    }
    return true;
}

bool WriteAt(int fd, uint64_t offset, const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = pwrite(fd, p, count, off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        offset += uint64_t(n);
        count -= size_t(n);
    }
    return true;
}

bool Truncate(int fd, uint64_t size) {
    int rc;
    do {
        rc = ftruncate(fd, off_t(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool Sync(int fd) {
    return fsync(fd) == 0;
}

bool Close(int fd) {
    bool closed = close(fd) == 0;
#ifdef __EMSCRIPTEN__
    auto named = NamedScratchFiles().find(fd);
    if (named != NamedScratchFiles().end()) {
        unlink(named->second.c_str());
        NamedScratchFiles().erase(named);
    }
#endif
    return closed;
}

int Duplicate(int fd) {
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

std::FILE* OpenStream(const std::string& path, const char* mode) {
    std::string m = std::string(mode) + "e"; // close on exec
    return std::fopen(path.c_str(), m.c_str());
}

bool IsTerminal(int fd) {
    return isatty(fd) == 1;
}

void SetBinaryOutput(int) {
    // Nothing to do: POSIX streams never translate line ends.
}

bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
    DIR* d = opendir(path.c_str());
    if (!d)
        return false;
    names->clear();
    while (struct dirent* entry = readdir(d)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names->push_back(entry->d_name);
    }
    closedir(d);
    return true;
}

bool RealPath(const std::string& path, std::string* real) {
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer))
        return false;
    *real = buffer;
    return true;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    // A file system without the atomic call: link() fails when the name
    // exists, so nothing that appeared meanwhile is ever replaced; then the
    // old name goes. A directory cannot be linked; it is renamed after a
    // last look.
    struct stat st;
    if (lstat(from.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (lstat(to.c_str(), &st) == 0) {
            errno = EEXIST;
            return false;
        }
        return rename(from.c_str(), to.c_str()) == 0;
    }
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    unlink(from.c_str());
    return true;
}

bool RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool RemoveDirectory(const std::string& path) {
    return rmdir(path.c_str()) == 0;
}

bool RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlink(path.c_str()) == 0;
    std::vector<std::string> names;
    bool ok = ListDirectory(path, &names);
    for (const std::string& name : names)
        ok = RemoveTree(path + "/" + name) && ok;
    return rmdir(path.c_str()) == 0 && ok;
}

std::string FileNamePart(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsWithin(const std::string& path, const std::string& directory) {
    if (directory == "/")
        return true;
    return path == directory ||
           (path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
            path[directory.size()] == '/');
}

std::string NameProblem(const std::string&) {
    return "";
}

std::string TempDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? buffer : ".";
}

bool ChangeDirectory(const std::string& path) {
    return chdir(path.c_str()) == 0;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "";
    buffer[n] = '\0';
    return buffer;
}

bool FreeSpace(const std::string& path, uint64_t* bytes) {
    struct statvfs vfs;
    if (statvfs(path.c_str(), &vfs) != 0)
        return false;
    uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    *bytes = uint64_t(vfs.f_bavail) * unit;
    return true;
}

int MakeTempFile(const std::string& prefix, std::string* path) {
    std::string pattern = prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        *path = name.data();
    return fd;
}

int MakeScratchFile(const std::string& directory) {
    const std::string dir = directory.empty() ? std::string(".") : directory;
#ifdef __EMSCRIPTEN__
    // Named until closed (NamedScratchFiles), and numbered: mkstemp's names
    // there come from a clock that stands still within a millisecond, so
    // its tries would all take the same name while one is still held.
    static uint64_t made = 0;
    for (;;) {
        std::string path = dir + "/.glim-scratch." + std::to_string(++made);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            NamedScratchFiles()[fd] = path;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
#else
#ifdef O_TMPFILE
    int fd;
    do {
        fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    // Older kernels and some file systems have no unnamed files: name one
    // and take the name away at once.
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
#endif
    std::string path;
    int named = MakeTempFile(dir + "/.glim-scratch.", &path);
    if (named >= 0)
        unlink(path.c_str());
    return named;
#endif
}

bool MakeTempDirectory(const std::string& prefix, std::string* path) {
    std::string pattern = prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        return false;
    *path = name.data();
    return true;
}

bool SetDefaultPermissions(const std::string& path, bool directory) {
    return chmod(path.c_str(), (directory ? 0777 : 0666) & ~CurrentMask()) == 0;
}

bool SetDefaultPermissions(int fd) {
    return fchmod(fd, 0666 & ~CurrentMask()) == 0;
}

bool CopyPermissions(const std::string& from, int fd) {
    struct stat st;
    return stat(from.c_str(), &st) == 0 && fchmod(fd, st.st_mode & 07777) == 0;
}

std::vector<std::string> ArgumentsFromWide(int argc, wchar_t** argv) {
    // wchar_t holds whole code points here (UTF-32).
    std::vector<std::string> args;
    args.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i) {
        std::string out;
        for (const wchar_t* p = argv[i]; *p; ++p) {
            auto c = static_cast<uint32_t>(std::char_traits<wchar_t>::to_int_type(*p));
            AppendUtf8(out, c);
        }
        args.push_back(out);
    }
    return args;
}

void PrepareStandardStreams() {
    signal(SIGPIPE, SIG_IGN);
}

bool ExpandPattern(const std::string&, std::vector<std::string>*) {
    return false;
}

bool ConsoleIsOwnWindow() {
    return false;
}

void WaitForKeyPress(const std::string&) {}

int LastError() {
    return errno;
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

bool IsBrokenPipe(int error) {
    return error == EPIPE;
}

int StreamError() {
    return errno;
}

bool IsNotFound(int error) {
    return error == ENOENT || error == ENOTDIR;
}

bool IsAlreadyExists(int error) {
    return error == EEXIST;
}

int AlreadyExistsError() {
    return EEXIST;
}

int NotRegularError() {
    // The closest the system's codes come: "not a regular file" is what is
    // wrong, and what ErrorText gives for it is corrected by the callers.
    return EFTYPE_OR_INVAL;
}

} // namespace hostos

// --- Threads -------------------------------------------------------------------
namespace hostos {

unsigned ProcessorCount() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

Mutex::Mutex() : impl_(new std::mutex) {}
Mutex::~Mutex() {
    delete static_cast<std::mutex*>(impl_);
}
void Mutex::Lock() {
    static_cast<std::mutex*>(impl_)->lock();
}
void Mutex::Unlock() {
    static_cast<std::mutex*>(impl_)->unlock();
}

Condition::Condition() : impl_(new std::condition_variable) {}
Condition::~Condition() {
    delete static_cast<std::condition_variable*>(impl_);
}
void Condition::Wait(Mutex& mutex) {
    std::unique_lock<std::mutex> lock(*static_cast<std::mutex*>(mutex.impl_), std::adopt_lock);
    static_cast<std::condition_variable*>(impl_)->wait(lock);
    lock.release(); // still held, as the caller had it
}
void Condition::WakeAll() {
    static_cast<std::condition_variable*>(impl_)->notify_all();
}

Thread::Thread(std::function<void()> body) {
    CurrentMask(); // read while this is the only thread
    // A new thread starts with its creator's signal mask: blocked here, the
    // interruptions go to the program's own thread alone.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    impl_ = new std::thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
Thread::~Thread() {
    auto* thread = static_cast<std::thread*>(impl_);
    thread->join();
    delete thread;
}

} // namespace hostos
