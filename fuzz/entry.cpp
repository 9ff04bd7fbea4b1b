// libFuzzer entry for one target, chosen at compile time with
// -DGLIM_FUZZ_TARGET=FuzzSomething.
#include "testkit/fuzz_targets/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return GLIM_FUZZ_TARGET(data, size);
}
