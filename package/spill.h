// Spools for the encoder's candidate streams (and for inputs that cannot be
// read twice): memory up to a bound, the rest in an unnamed scratch file, so
// that building a package of any size takes the same memory.
#ifndef GLIM_PACKAGE_SPILL_H
#define GLIM_PACKAGE_SPILL_H

#include <cstddef>
#include <memory>
#include <string>

#include "encoder/encoder.h"

namespace glimpack {

// Memory each spool keeps before it spills. Best mode keeps four candidate
// streams, so this sets most of the build's memory.
constexpr size_t kSpoolMemory = 4 << 20;

class ScratchSpoolStore : public encoder::SpoolStore {
  public:
    // Spools spill to scratch files in `directory` past `memory` bytes each;
    // with `directory` empty they never spill.
    explicit ScratchSpoolStore(std::string directory, size_t memory = kSpoolMemory)
        : directory_(std::move(directory)), memory_(memory) {}
    std::unique_ptr<encoder::Spool> NewSpool() override;

  private:
    std::string directory_;
    size_t memory_;
};

} // namespace glimpack

#endif
