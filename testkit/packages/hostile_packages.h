// A table of crafted packages that break every rule a package reader relies
// on, each with the outcome expected of the package tool. The tests in this
// folder run them through glimpack and through the installer's own code, and
// the fuzzers take them as seeds.
#ifndef GLIM_TESTKIT_PACKAGES_HOSTILE_PACKAGES_H
#define GLIM_TESTKIT_PACKAGES_HOSTILE_PACKAGES_H

#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

// One record of a package being assembled.
struct Body {
    std::vector<uint8_t> bytes; // what goes into the file
    uint32_t unpacked_size = 0; // 0: stored
    std::string extension;      // up to 4 bytes, NUL-padded in the record
};

struct PackageSpec {
    std::string title = "Stars";
    uint16_t first_number = 1;
    std::vector<Body> bodies;
};

// A package laid out as a builder lays it out, with the positions of its
// parts.
struct Assembled {
    std::vector<uint8_t> bytes;
    uint32_t pe_offset = 0;
    uint32_t section_table = 0; // file position of the first section header
    uint32_t rsrc_header = 0;   // file position of the .rsrc section header
    uint32_t rsrc_raw = 0;      // S: the resource section's file position
    uint32_t type_dir = 0;      // the first type's subdirectory
    uint32_t name_dir = 0;      // its first name's subdirectory
    uint32_t data_entry = 0;    // the 16-byte data entry reached
    uint32_t payload = 0;       // the payload header
    uint32_t table = 0;         // record 0
    uint32_t terminator = 0;    // the terminating record
    std::vector<uint32_t> body_offsets;
};

// The synthetic stub of testkit/packages/pe_builder.h: the packages every test
// here and the fuzzers' seeds are built on.
std::vector<uint8_t> SyntheticStub();

// Builds the package on `stub`, a PE file whose resource walk (the first
// entry at every level, as the installer takes it) ends at the 4-byte data
// the payload replaces: the synthetic stub, or the real glimsetup.exe, whose
// packages Wine can start. Throws std::invalid_argument for a stub the walk
// cannot follow.
Assembled Assemble(const PackageSpec& spec, const std::vector<uint8_t>& stub);
Assembled Assemble(const PackageSpec& spec);

// A saver (stored), a data file (compressed) and two further data files,
// one stored and one compressed.
PackageSpec StandardSpec();

// Compresses with the project's encoder; the body's unpacked size is set.
Body Compressed(const std::vector<uint8_t>& data, const std::string& extension = "");
Body Stored(const std::vector<uint8_t>& data, const std::string& extension = "");

enum class Expect {
    Refused,  // extract and test: exit 2, one line naming the problem, nothing written
    Accepted, // every command succeeds
};

struct Case {
    std::string id;        // short name, also the regression/seed file name
    std::string file_name; // name the package is saved under
    std::vector<uint8_t> bytes;
    Expect expect = Expect::Refused;
    // The first finding test gives, as "code@record" ("code" for the
    // package as a whole): the code of the problem list (package/problems.h).
    std::string problem;
    // Not a package at all: list fails too, with the same one line, rather
    // than showing the records and their problems (and exits 2 then).
    bool list_fails = false;
    // Options extract needs besides -d (for instance a larger --max-size).
    std::vector<std::string> extract_options;
};

// Every case, built on `stub` (see Assemble); the patches are placed by the
// positions the stub gives, so the same breakage lands on either stub.
std::vector<Case> AllCases(const std::vector<uint8_t>& stub);
std::vector<Case> AllCases();

} // namespace hostile

#endif
