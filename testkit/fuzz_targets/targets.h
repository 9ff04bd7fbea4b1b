// The fuzz targets. Each takes one input and returns 0; a broken property
// aborts. fuzz/entry.cpp makes a libFuzzer program of any one of them, and
// the regression test in tests/regress replays saved inputs through them.
#ifndef GLIM_TESTKIT_FUZZ_TARGETS_TARGETS_H
#define GLIM_TESTKIT_FUZZ_TARGETS_TARGETS_H

#include <cstddef>
#include <cstdint>

// The whole input is the installer's own file: locator, title and record walk.
int FuzzPayloadWalk(const uint8_t* data, size_t size);
// u32 unpacked size, u32 stored size, then the stream: both decode paths.
int FuzzDecoder(const uint8_t* data, size_t size);
// u16 unpacked size, then the stream: production decoder against the oracle.
int FuzzDifferential(const uint8_t* data, size_t size);
// One byte choosing the package's file name, then the package: glimpack
// list, test and extract.
int FuzzGlimpack(const uint8_t* data, size_t size);
// One byte choosing the package's file name, then the package: the
// installer's extraction through the host back end.
int FuzzInstallerExtract(const uint8_t* data, size_t size);
// One byte choosing the size of the reads, then a stream of any length: the
// package finder against the probe.
int FuzzFinder(const uint8_t* data, size_t size);

#endif
