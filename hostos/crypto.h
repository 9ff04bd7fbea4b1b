// The host's cryptography: message digests and the reading of a PKCS#7
// SignedData, from the system's own libraries, one implementation per system:
// crypto_openssl.cpp (libcrypto), crypto_windows.cpp (CryptoAPI in advapi32
// and crypt32), crypto_web.cpp (the browser page's: npm libraries in its
// worker, which answers "cannot be checked here" where they are missing).
//
// These are the primitives only. What a signed program's signature covers,
// and what the results mean, is decided above (pe/authenticode.h). Nothing
// here throws; every decision a caller acts on is in the return values.
#ifndef GLIM_HOSTOS_CRYPTO_H
#define GLIM_HOSTOS_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hostos {

// False where this build has no cryptography at all: every Digest is then
// unusable and ReadSignedData answers SignedDataStatus::Unavailable.
bool CryptoAvailable();

enum class DigestAlgorithm { Md5, Sha1, Sha256, Sha384, Sha512 };

// "md5", "sha1", "sha256", "sha384", "sha512".
const char* DigestAlgorithmName(DigestAlgorithm algorithm);
// 16, 20, 32, 48 or 64 bytes.
size_t DigestSize(DigestAlgorithm algorithm);
// The algorithm a name ("sha256", as DigestAlgorithmName gives it) names,
// or false.
bool DigestAlgorithmFromName(const std::string& name, DigestAlgorithm* algorithm);
// The algorithm an object identifier ("2.16.840.1.101.3.4.2.1") names, or
// false. Only the digest algorithms' own identifiers are taken.
bool DigestAlgorithmFromOid(const std::string& oid, DigestAlgorithm* algorithm);

// A digest computed over bytes handed in piece by piece.
class Digest {
  public:
    explicit Digest(DigestAlgorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // False when the system cannot compute this algorithm here (then Update
    // and Finish do nothing and Finish returns an empty vector).
    bool ok() const;
    DigestAlgorithm algorithm() const { return algorithm_; }
    void Update(const void* data, size_t size);
    // The digest of everything updated so far; the object is spent after it.
    std::vector<uint8_t> Finish();

  private:
    struct State;
    DigestAlgorithm algorithm_;
    std::unique_ptr<State> state_;
};

// The digest of one buffer; empty when the algorithm is unavailable.
std::vector<uint8_t> DigestOf(DigestAlgorithm algorithm, const void* data, size_t size);

// --- DER, decoded by the system's ASN.1 decoder -------------------------------------

// The elements of a DER SEQUENCE, each as its whole encoding (tag, length,
// contents); false when `der` is not one SEQUENCE.
bool DecodeSequence(const uint8_t* der, size_t size, std::vector<std::vector<uint8_t>>* elements);
// An OBJECT IDENTIFIER as dotted decimal text.
bool DecodeObjectId(const uint8_t* der, size_t size, std::string* oid);
// A DigestInfo: SEQUENCE { AlgorithmIdentifier, OCTET STRING digest }.
struct DigestInfo {
    std::string algorithm_oid;
    std::vector<uint8_t> digest;
};
bool DecodeDigestInfo(const uint8_t* der, size_t size, DigestInfo* info);

// --- PKCS#7 SignedData ------------------------------------------------------------

enum class SignedDataStatus {
    Read,        // parsed; the fields below say what it holds
    Malformed,   // not a PKCS#7 SignedData the system can read
    Unavailable, // this build cannot read one (no cryptography here)
};

enum class SignerSignature {
    Verifies,      // the signer's signature over its authenticated attributes holds
    DoesNotVerify, // it does not (wrong key, altered attributes, altered signature)
    NoCertificate, // the certificate the signer names is not in the message
    NotChecked,    // nothing to check it against (no authenticated attributes)
};

struct SignedDataInfo {
    SignedDataStatus status = SignedDataStatus::Malformed;
    std::string content_type_oid; // the encapsulated content's type
    // The contents octets of the encapsulated content's DER encoding (its tag
    // and length left out): what the messageDigest attribute is the digest of.
    std::vector<uint8_t> content;
    // The encapsulated content's whole encoding (tag and length included).
    std::vector<uint8_t> content_der;
    size_t signer_count = 0;
    size_t certificate_count = 0;
    // Of the first signer:
    std::string digest_algorithm_oid;
    bool has_message_digest = false;
    std::vector<uint8_t> message_digest;
    // "2026-12-10T14:35:00Z" (UTC) when the signingTime attribute is there.
    std::string signing_time;
    // The signer certificate's names, most specific part first, short
    // attribute names, ", " between parts: "CN=Test, O=Example, C=DE". The
    // common attributes (CN, O, OU, L, C) read alike on every system; rarer
    // ones take the system's own short names (ST or S, emailAddress or E).
    // They are what the certificate says: nothing vouches for them unless
    // its chain is checked, which is not done here.
    std::string subject;
    std::string issuer;
    SignerSignature signature = SignerSignature::NotChecked;
    // Unauthenticated attributes of the first signer that carry further
    // signatures: nested signatures (each value one more SignedData) and
    // countersignatures or time stamps. Counted, not checked.
    size_t nested_signature_count = 0;
    size_t countersignature_count = 0;
};

// Reads the DER-encoded ContentInfo `der` (a PKCS#7 SignedData) and checks
// the first signer's signature over its authenticated attributes with the
// certificate the message itself carries. Whether that certificate chains to
// anything trusted is not looked at.
SignedDataInfo ReadSignedData(const uint8_t* der, size_t size);

} // namespace hostos

#endif
