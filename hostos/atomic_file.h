// A file that appears under its name whole or not at all. It is written to a
// scratch file beside its final name (so that the last step is a rename on
// the same file system) and put in place by Commit; a writer that fails, is
// destroyed before Commit or is interrupted leaves nothing behind. The one
// way the host side writes a file that someone may read.
//
// It only ever replaces a regular file: a name that is a device, a FIFO, a
// link or a folder by the time the file is put in place is refused.
#ifndef GLIM_HOSTOS_ATOMIC_FILE_H
#define GLIM_HOSTOS_ATOMIC_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace hostos {

class AtomicFile {
  public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the scratch file beside `path`. With replace false, Commit
    // refuses to put the file in place of anything that has the name by then.
    bool Begin(const std::string& path, bool replace);
    // Appends at the end of what was written.
    bool Write(const void* data, size_t size);
    // Writes over bytes already written, from `offset` (a table filled in
    // once what it describes is written).
    bool WriteAt(uint64_t offset, const void* data, size_t size);
    // Drops what was written from `size` on; the next Write continues there.
    bool Truncate(uint64_t size);
    // The permissions the file gets: those a new file gets by default, or,
    // after this call, those of the file at `path` (for a file rewritten in
    // place, or a copy that must stay as runnable as its original).
    void KeepPermissionsOf(const std::string& path) { permissions_from_ = path; }
    // Finish, then Publish.
    bool Commit();
    // Flushes the data to the disk and closes the scratch file, which stays
    // (and stays registered for removal) until Publish or Abandon: a caller
    // that writes several files finishes them all before publishing any.
    bool Finish();
    // Gives the finished file its name. On failure the scratch file is
    // removed and error() says why; with replace false, an existing name
    // fails with error() a "file exists" code.
    bool Publish();
    // Removes the scratch file (also done by the destructor before Publish).
    void Abandon();

    int error() const { return error_; }
    const std::string& path() const { return path_; }
    const std::string& scratch_path() const { return scratch_; }
    bool committed() const { return committed_; }

  private:
    bool Fail();

    std::string path_;
    std::string scratch_;
    std::string permissions_from_;
    int fd_ = -1;
    int cleanup_ = 0; // handle of the scratch file's registration
    int error_ = 0;
    bool replace_ = false;
    bool committed_ = false;
};

} // namespace hostos

#endif
