// The host's cryptography in the browser page. The page's worker puts an
// object `glimCrypto` on its global scope before this module starts
// (web/src/crypto.js, bundled from npm libraries), and these functions call
// it synchronously. It keeps its last answer until the next question: the
// C++ reads a number of it at once, and bytes (text as UTF-8) in two steps,
// their size and then a copy into the module's memory. Bytes go to it as a
// view of the module's memory, never copied here, so a file's digest is
// computed piece by piece as the file is read.
//
// Without the object (the module loaded by anything but the page's worker)
// every answer is "cannot be checked here".
#include <emscripten/emscripten.h>

#include "hostos/crypto.h"

namespace hostos {
namespace {

// The bodies are JavaScript, written so that C++ tools can read them too.
// clang-format off
EM_JS(int, GlimCryptoPresent, (), {
    return globalThis.glimCrypto ? 1 : 0;
});
EM_JS(int, GlimDigestStart, (const char* name), {
    return glimCrypto.digestStart(UTF8ToString(name));
});
EM_JS(void, GlimDigestUpdate, (int handle, const void* data, size_t size), {
    glimCrypto.digestUpdate(handle, HEAPU8.subarray(data, data + size));
});
EM_JS(int, GlimDigestFinish, (int handle), {
    return glimCrypto.finish(handle);
});
EM_JS(void, GlimDigestDrop, (int handle), {
    glimCrypto.digestDrop(handle);
});
EM_JS(int, GlimAsk, (const char* question, const uint8_t* data, size_t size), {
    return glimCrypto.ask(UTF8ToString(question), HEAPU8.subarray(data, data + size)) ? 1 : 0;
});
EM_JS(double, GlimAnswerNumber, (const char* field), {
    return glimCrypto.number(UTF8ToString(field));
});
EM_JS(int, GlimAnswerSize, (const char* field, int index), {
    return glimCrypto.size(UTF8ToString(field), index);
});
EM_JS(void, GlimAnswerCopy, (uint8_t* out), {
    glimCrypto.copy(HEAPU8, out);
});
// clang-format on

// The bytes GlimAnswerSize has made ready; false when the field has none.
bool TakeBytes(int size, std::vector<uint8_t>* out) {
    if (size < 0)
        return false;
    out->assign(size_t(size), 0);
    GlimAnswerCopy(out->data());
    return true;
}

bool AnswerBytes(const char* field, std::vector<uint8_t>* out, int index = 0) {
    return TakeBytes(GlimAnswerSize(field, index), out);
}

std::string AnswerText(const char* field) {
    std::vector<uint8_t> bytes;
    if (!AnswerBytes(field, &bytes))
        return {};
    return std::string(bytes.begin(), bytes.end());
}

size_t AnswerCount(const char* field) {
    double value = GlimAnswerNumber(field);
    return value > 0 ? size_t(value) : 0;
}

// Asks the page's libraries about `der`; false when they refuse it (or the
// page has none).
bool Ask(const char* question, const uint8_t* der, size_t size) {
    return CryptoAvailable() && GlimAsk(question, der, size) != 0;
}

SignerSignature SignatureNamed(const std::string& name) {
    if (name == "verifies")
        return SignerSignature::Verifies;
    if (name == "no-certificate")
        return SignerSignature::NoCertificate;
    if (name == "not-checked")
        return SignerSignature::NotChecked;
    return SignerSignature::DoesNotVerify;
}

} // namespace

bool CryptoAvailable() {
    static const bool present = GlimCryptoPresent() != 0;
    return present;
}

struct Digest::State {
    int handle = 0; // the page's digest, 0 when there is none
};

Digest::Digest(DigestAlgorithm algorithm) : algorithm_(algorithm), state_(new State) {
    if (CryptoAvailable())
        state_->handle = GlimDigestStart(DigestAlgorithmName(algorithm));
}

Digest::~Digest() {
    if (state_->handle)
        GlimDigestDrop(state_->handle);
}

bool Digest::ok() const {
    return state_->handle != 0;
}

void Digest::Update(const void* data, size_t size) {
    if (state_->handle && size)
        GlimDigestUpdate(state_->handle, data, size);
}

std::vector<uint8_t> Digest::Finish() {
    std::vector<uint8_t> out;
    if (!state_->handle)
        return out;
    TakeBytes(GlimDigestFinish(state_->handle), &out);
    state_->handle = 0;
    return out;
}

bool DecodeSequence(const uint8_t* der, size_t size, std::vector<std::vector<uint8_t>>* elements) {
    if (!Ask("decodeSequence", der, size))
        return false;
    size_t count = AnswerCount("elements");
    elements->assign(count, {});
    for (size_t i = 0; i < count; ++i) {
        if (!AnswerBytes("elements", &(*elements)[i], int(i)))
            return false;
    }
    return true;
}

bool DecodeObjectId(const uint8_t* der, size_t size, std::string* oid) {
    if (!Ask("decodeObjectId", der, size))
        return false;
    *oid = AnswerText("oid");
    return !oid->empty();
}

bool DecodeDigestInfo(const uint8_t* der, size_t size, DigestInfo* info) {
    if (!Ask("decodeDigestInfo", der, size))
        return false;
    info->algorithm_oid = AnswerText("algorithmOid");
    AnswerBytes("digest", &info->digest);
    return !info->algorithm_oid.empty();
}

SignedDataInfo ReadSignedData(const uint8_t* der, size_t size) {
    SignedDataInfo info;
    if (!CryptoAvailable()) {
        info.status = SignedDataStatus::Unavailable;
        return info;
    }
    Ask("readSignedData", der, size);
    const std::string status = AnswerText("status");
    if (status == "unavailable")
        info.status = SignedDataStatus::Unavailable;
    if (status != "read")
        return info;
    info.status = SignedDataStatus::Read;
    info.content_type_oid = AnswerText("contentTypeOid");
    AnswerBytes("content", &info.content);
    AnswerBytes("contentDer", &info.content_der);
    info.signer_count = AnswerCount("signerCount");
    info.certificate_count = AnswerCount("certificateCount");
    if (info.signer_count == 0)
        return info;
    info.digest_algorithm_oid = AnswerText("digestAlgorithmOid");
    info.has_message_digest = AnswerBytes("messageDigest", &info.message_digest);
    info.signing_time = AnswerText("signingTime");
    info.subject = AnswerText("subject");
    info.issuer = AnswerText("issuer");
    info.signature = SignatureNamed(AnswerText("signature"));
    info.nested_signature_count = AnswerCount("nestedSignatures");
    info.countersignature_count = AnswerCount("countersignatures");
    return info;
}

} // namespace hostos
