// The archive reader over libarchive. libarchive never opens a file itself
// here: every byte comes through the caller's Source.
#include <archive.h>
#include <archive_entry.h>

#include <cstring>

#include "archive/reader.h"

namespace glim::archive {
namespace {

constexpr size_t kReadBlock = size_t(64) << 10;

struct ArchiveHandle {
    struct archive* a = archive_read_new();
    ~ArchiveHandle() {
        if (a)
            archive_read_free(a);
    }
};

std::string ErrorOf(struct archive* a, const char* otherwise) {
    const char* text = archive_error_string(a);
    return text && *text ? text : otherwise;
}

} // namespace

bool Available() {
    return true;
}

Sniffed Sniff(const uint8_t* prefix, size_t size) {
    Sniffed out;
    // An empty stream would be libarchive's "empty" archive; an executable
    // is read as the bytes it is, even one that carries an archive behind
    // its code (a self-extractor): the package finder looks at those bytes.
    if (size == 0 || (size >= 2 && prefix[0] == 'M' && prefix[1] == 'Z'))
        return out;
    ArchiveHandle h;
    if (!h.a)
        return out;
    archive_read_support_filter_all(h.a);
    archive_read_support_format_all(h.a);
    // Bidding happens on opening (filters) and on the first header
    // (formats); a header cut off by the end of the prefix still leaves the
    // format chosen.
    struct archive_entry* entry = nullptr;
    if (archive_read_open_memory(h.a, prefix, size) == ARCHIVE_OK)
        archive_read_next_header(h.a, &entry);
    int format = archive_format(h.a);
    if (format != 0) {
        out.kind = Sniffed::kArchive;
        const char* name = archive_format_name(h.a);
        out.format = name ? name : "archive";
        const int base = format & ARCHIVE_FORMAT_BASE_MASK;
        out.needs_seeking = base == ARCHIVE_FORMAT_7ZIP;
        // Only the "none" filter: nothing compresses the whole.
        out.stores_members_whole = archive_filter_count(h.a) == 1 &&
                                   (base == ARCHIVE_FORMAT_ISO9660 || base == ARCHIVE_FORMAT_TAR ||
                                    base == ARCHIVE_FORMAT_CPIO || base == ARCHIVE_FORMAT_AR);
    } else if (archive_filter_count(h.a) > 1) {
        out.kind = Sniffed::kCompressed;
        const char* name = archive_filter_name(h.a, 0);
        out.format = name ? name : "compressed";
    }
    return out;
}

struct Reader::State {
    Source* source = nullptr;
    std::vector<uint8_t> prefix;
    size_t prefix_used = 0;
    std::vector<uint8_t> block;
    ArchiveHandle h;
    bool failed_source = false;

    static la_ssize_t ReadCallback(struct archive*, void* self, const void** buffer) {
        auto* s = static_cast<State*>(self);
        if (s->prefix_used < s->prefix.size()) {
            *buffer = s->prefix.data() + s->prefix_used;
            size_t n = s->prefix.size() - s->prefix_used;
            s->prefix_used = s->prefix.size();
            return la_ssize_t(n);
        }
        long n = s->source->Read(s->block.data(), s->block.size());
        if (n < 0) {
            s->failed_source = true;
            archive_set_error(s->h.a, EIO, "%s", s->source->ErrorText().c_str());
            return -1;
        }
        *buffer = s->block.data();
        return la_ssize_t(n);
    }
    static la_int64_t SeekCallback(struct archive*, void* self, la_int64_t offset, int whence) {
        auto* s = static_cast<State*>(self);
        int64_t at = s->source->Seek(offset, whence);
        return at < 0 ? ARCHIVE_FATAL : at;
    }
};

Reader::Reader(Source& source, const Sniffed& what, std::vector<uint8_t> prefix)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.source = &source;
    s.block.resize(kReadBlock);
    if (!s.h.a)
        throw Error("out of memory");
    if (source.Seekable()) {
        if (source.Seek(0, SEEK_SET) != 0)
            throw Error(source.ErrorText());
        archive_read_set_seek_callback(s.h.a, State::SeekCallback);
    } else {
        s.prefix = std::move(prefix);
    }
    archive_read_support_filter_all(s.h.a);
    if (what.kind == Sniffed::kCompressed)
        archive_read_support_format_raw(s.h.a);
    else
        archive_read_support_format_all(s.h.a);
    archive_read_set_read_callback(s.h.a, State::ReadCallback);
    archive_read_set_callback_data(s.h.a, &s);
    if (archive_read_open1(s.h.a) != ARCHIVE_OK)
        throw Error(ErrorOf(s.h.a, "cannot be read"));
}

Reader::~Reader() = default;

bool Reader::Next(Member* member) {
    State& s = *state_;
    for (;;) {
        struct archive_entry* entry = nullptr;
        int r = archive_read_next_header(s.h.a, &entry);
        if (r == ARCHIVE_EOF)
            return false;
        if (r == ARCHIVE_RETRY)
            continue;
        if (r < ARCHIVE_WARN || !entry)
            throw Error(ErrorOf(s.h.a, "damaged"));
        if (archive_entry_filetype(entry) != AE_IFREG)
            continue;
        const char* name = archive_entry_pathname_utf8(entry);
        if (!name)
            name = archive_entry_pathname(entry);
        member->name = name ? name : "";
        member->size_known = archive_entry_size_is_set(entry) != 0;
        member->size = member->size_known ? uint64_t(archive_entry_size(entry)) : 0;
        return true;
    }
}

size_t Reader::Read(uint8_t* buffer, size_t size) {
    State& s = *state_;
    for (;;) {
        la_ssize_t n = archive_read_data(s.h.a, buffer, size);
        if (n >= 0)
            return size_t(n);
        if (n == ARCHIVE_RETRY)
            continue;
        if (n == ARCHIVE_FATAL || s.failed_source)
            throw Error(ErrorOf(s.h.a, "damaged"));
        throw MemberError(ErrorOf(s.h.a, "cannot be read"));
    }
}

} // namespace glim::archive
