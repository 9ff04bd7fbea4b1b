// The Windows build has no archive library: it reads folders and plain
// files, and the tool says once that it does not look inside archives.
#include "archive/reader.h"

namespace glim::archive {

struct Reader::State {};

bool Available() {
    return false;
}

Sniffed Sniff(const uint8_t*, size_t) {
    return {};
}

// The signature is the library reader's, which keeps the bytes it is given;
// this one takes nothing.
Reader::Reader(Source&, const Sniffed&,
               std::vector<uint8_t>) { // NOLINT(performance-unnecessary-value-param)
    throw Error("this build does not read archives");
}

Reader::~Reader() = default;

bool Reader::Next(Member*) {
    return false;
}

size_t Reader::Read(uint8_t*, size_t) {
    return 0;
}

} // namespace glim::archive
