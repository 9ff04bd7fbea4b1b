// A package session: one package file, opened once, as the tool and the page
// read it. Opening it reads the headers with the checked PE reader, runs the
// installer's own locator and record walk (payload/) on the same open file
// and holds the two to each other, and judges the structure (stages 1 and 2
// of package/verdict.h). Afterwards it reads each record's contents from that
// same opening and answers where each record goes on the host.
//
// The installer's code asks the emulated system (platform/host) for its own
// file's name, and that state is the calling thread's (see host_world.h). A
// session sets it up while it opens its package and gives it up when it is
// done; this file is the only one outside platform/ that touches it.
#ifndef GLIM_PACKAGE_SESSION_H
#define GLIM_PACKAGE_SESSION_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hostos/os.h"
#include "package/decode.h"
#include "package/read.h"

namespace glimpack {

class PackageSession {
  public:
    struct Options {
        Limits limits;
        // The host folder standing for the Windows directory, for HostPath;
        // "" when nothing will be written.
        std::string host_windows_dir;
        // The file name the installer sees instead of the file's own (a
        // package still under its scratch name); "" for the file's own.
        std::string as_name;
        // The digests each record's contents get (InspectedPackage::digest_algorithms).
        std::vector<hostos::DigestAlgorithm> digests{hostos::DigestAlgorithm::Sha256};
    };

    // Opens the package at `path` and reads it as described above. Throws
    // PackageError "PATH: not a package ..." (or why it could not be read)
    // when there is no record table to trust at all; problems of single
    // records are collected in their `problems`.
    PackageSession(const std::string& path, const Options& options);
    // The same on a file already open at `fd`, which the session takes over
    // (it closes it): a package with no name of its own on the host (a
    // scratch copy), `shown` naming it in messages. The installer's name for
    // it is options.as_name, else the last component of `shown`.
    PackageSession(int fd, const std::string& shown, const Options& options);
    ~PackageSession();
    PackageSession(const PackageSession&) = delete;
    PackageSession& operator=(const PackageSession&) = delete;

    const InspectedPackage& package() const { return package_; }
    // The status of the very file open, to tell it from a file in its way.
    const hostos::Status& file_status() const { return status_; }

    // Judges the structure again by other limits; contents checked so far
    // count as unchecked.
    void Rejudge(const Limits& limits);

    // Stage 3 for record `index` (one without structural problems; others are
    // left as they are): reads its contents in full from the open file,
    // handing them to `sink` (may be empty) block by block, straight from the
    // reading or the decoder, and judges them. A sink may throw to stop.
    // Returns the number of bytes read out.
    uint64_t CheckContents(size_t index, const ByteSink& sink = nullptr);
    // Stage 3 for every record; `progress` (may be empty) hears the size of
    // each block.
    void CheckAllContents(const std::function<void(uint64_t bytes)>& progress = nullptr);

    // Where record `index` is written on the host: its destination's
    // components below the folder standing for the Windows directory, each
    // found as Windows would find it. "" when the record has no destination,
    // nothing is to be written, or it would lead outside that folder.
    const std::string& HostPath(size_t index);

  private:
    // The steps of opening, in order.
    void Open(const std::string& path);
    void TakeOver(int fd);
    std::vector<uint8_t> ReadHead();
    PayloadLocation LocateLikeInstaller(const std::string& installer_name);
    void CheckResourceDirectory(std::vector<uint8_t>& bytes);
    void ReadTitle();
    void WalkRecords();
    void MapUnreadBytes(const std::vector<uint8_t>& head);
    bool ZerosAt(uint64_t offset, uint64_t size);
    void OpenAndRead(const std::function<void()>& open, const std::string& installer_name,
                     const Limits& limits);

    void ReadAt(uint64_t offset, size_t size, std::vector<uint8_t>& into);
    void SeekTo(int64_t position);
    // Closes the file and gives the emulated system up, if this session has it.
    void Release();
    StreamResult StreamRecord(const InspectedRecord& record, const ByteSink& sink);

    InspectedPackage package_;
    std::string host_windows_dir_;
    int fd_ = -1; // this session's own, closed only by Release
    hostos::Status status_;
    int64_t after_walk_ = -1; // where the locator left the file: the payload
    std::vector<std::optional<std::string>> host_paths_; // each resolved when first asked
};

// The installer's own locator (payload/) run over the file at `path` (a stub
// before a package is built on it), on one opening of it. Sets *found when it
// reached a ".rsrc" section. Leaves any session's emulated system alone.
PayloadLocation LocateLikeTheInstaller(const std::string& path, bool* found);

} // namespace glimpack

#endif
