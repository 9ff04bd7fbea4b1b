// The package finder over an arbitrary stream: the first byte chooses the
// size of the reads, the rest is the stream. Beside "does not crash" it
// checks that the finder finds exactly what the probe says is there, reading
// piece by piece what the probe sees whole: a package at every position
// where the probe over the rest of the stream says one begins and nowhere
// else, each reaching as far as it claims or to the end of the stream, and
// its scratch file holding exactly the stream's bytes there.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hostos/os.h"
#include "package/finder.h"
#include "testkit/fuzz_targets/fuzz_support.h"
#include "testkit/fuzz_targets/targets.h"

int FuzzFinder(const uint8_t* data, size_t size) {
    using fuzz_support::Violation;
    using glimpack::PackageProbe;
    if (size == 0)
        return 0;
    const size_t piece = size_t(data[0]) * 37 + 1;
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    std::map<uint64_t, glimpack::FoundPackage> found;
    glimpack::FinderOptions options;
    options.scratch_directory = fuzz_support::WorkDirectory();
    options.found = [&](glimpack::FoundPackage& f) {
        if (found.count(f.offset))
            Violation("package at " + std::to_string(f.offset) + " handed on twice");
        if (f.offset + f.size > length || f.size > f.claimed)
            Violation("package at " + std::to_string(f.offset) + " reaches past what it has");
        std::vector<uint8_t> copy(f.size + 1);
        size_t got = 0;
        for (long n; got < copy.size() &&
                     (n = hostos::Read(f.fd, copy.data() + got, copy.size() - got)) > 0;)
            got += size_t(n);
        hostos::Close(f.fd);
        if (got != f.size || std::memcmp(copy.data(), stream + f.offset, f.size) != 0)
            Violation("scratch file of the package at " + std::to_string(f.offset) +
                      " is not its bytes");
        found[f.offset] = f;
    };
    {
        glimpack::PackageFinder finder(options);
        for (size_t at = 0; at < length;) {
            size_t room = 0;
            uint8_t* into = finder.Space(piece, &room);
            size_t n = std::min({piece, room, length - at});
            std::memcpy(into, stream + at, n);
            finder.Commit(n);
            at += n;
        }
        finder.Finish();
    }

    for (size_t at = 0; at + 1 < length; ++at) {
        if (stream[at] != 'M' || stream[at + 1] != 'Z')
            continue;
        PackageProbe probe = glimpack::ProbePackage(stream + at, length - at, true);
        auto it = found.find(at);
        if ((probe.kind == PackageProbe::kPackage) != (it != found.end()))
            Violation("at " + std::to_string(at) + " the probe and the finder disagree");
        if (it != found.end() && (it->second.claimed != probe.bytes ||
                                  it->second.size != std::min<uint64_t>(probe.bytes, length - at)))
            Violation("the package at " + std::to_string(at) + " has another extent");
    }
    fuzz_support::CheckNoDescriptorLeft();
    return 0;
}
