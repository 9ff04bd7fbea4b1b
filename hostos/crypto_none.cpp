// The host's cryptography where the build has none (the browser page): every
// answer is "cannot be checked here", never a guess.
#include "hostos/crypto.h"

namespace hostos {

bool CryptoAvailable() {
    return false;
}

struct Digest::State {};

Digest::Digest(DigestAlgorithm algorithm) : algorithm_(algorithm) {}

Digest::~Digest() = default;

bool Digest::ok() const {
    return false;
}

void Digest::Update(const void* /*data*/, size_t /*size*/) {}

std::vector<uint8_t> Digest::Finish() {
    return {};
}

bool DecodeSequence(const uint8_t* /*der*/, size_t /*size*/,
                    std::vector<std::vector<uint8_t>>* /*elements*/) {
    return false;
}

bool DecodeObjectId(const uint8_t* /*der*/, size_t /*size*/, std::string* /*oid*/) {
    return false;
}

bool DecodeDigestInfo(const uint8_t* /*der*/, size_t /*size*/, DigestInfo* /*info*/) {
    return false;
}

SignedDataInfo ReadSignedData(const uint8_t* /*der*/, size_t /*size*/) {
    SignedDataInfo info;
    info.status = SignedDataStatus::Unavailable;
    return info;
}

} // namespace hostos
