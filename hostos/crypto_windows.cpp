// The host's cryptography on Windows: the system's CryptoAPI, digests from
// advapi32 (the AES provider, which has the SHA-2 family since XP SP3) and
// DER and PKCS#7 decoding from crypt32. Nothing here needs a DLL beyond the
// system's.
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "hostos/crypto.h"
#include "hostos/windows_internal.h"

namespace hostos {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr const char* kMessageDigestOid = "1.2.840.113549.1.9.4";
constexpr const char* kSigningTimeOid = "1.2.840.113549.1.9.5";
constexpr const char* kNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";
constexpr const char* kTimeStampOid = "1.3.6.1.4.1.311.3.3.1";
constexpr const char* kCounterSignatureOid = "1.2.840.113549.1.9.6";

ALG_ID AlgorithmId(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::Md5:
        return CALG_MD5;
    case DigestAlgorithm::Sha1:
        return CALG_SHA1;
    case DigestAlgorithm::Sha256:
        return CALG_SHA_256;
    case DigestAlgorithm::Sha384:
        return CALG_SHA_384;
    case DigestAlgorithm::Sha512:
        return CALG_SHA_512;
    }
    return 0;
}

// Whether the `size` bytes at `field` are the DER length field of `length`
// (short form below 128, else 0x80 + count and the count's bytes).
bool LengthFieldIs(const uint8_t* field, size_t size, size_t length) {
    if (length < 0x80)
        return size == 1 && field[0] == length;
    size_t count = 0;
    for (size_t rest = length; rest; rest >>= 8)
        count++;
    if (size != 1 + count || field[0] != 0x80 + count)
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (field[1 + i] != uint8_t(length >> (8 * (count - 1 - i))))
            return false;
    }
    return true;
}

// One decoded structure, in memory crypt32 allocated.
class Decoded {
  public:
    Decoded(LPCSTR type, const uint8_t* der, size_t size, DWORD flags = 0) {
        DWORD length = 0;
        if (size <= 0xFFFFFFFFu &&
            !CryptDecodeObjectEx(X509_ASN_ENCODING, type, der, DWORD(size),
                                 CRYPT_DECODE_ALLOC_FLAG | flags, nullptr, &data_, &length))
            data_ = nullptr;
    }
    ~Decoded() {
        if (data_)
            LocalFree(data_);
    }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    template <typename T> const T* get() const { return static_cast<const T*>(data_); }

  private:
    void* data_ = nullptr;
};

bool GetParam(HCRYPTMSG msg, DWORD type, DWORD index, std::vector<uint8_t>* out) {
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, type, index, nullptr, &size))
        return false;
    out->assign(size, 0);
    if (size && !CryptMsgGetParam(msg, type, index, out->data(), &size))
        return false;
    out->resize(size);
    return true;
}

DWORD GetCount(HCRYPTMSG msg, DWORD type) {
    DWORD count = 0;
    DWORD size = sizeof count;
    return CryptMsgGetParam(msg, type, 0, &count, &size) ? count : 0;
}

const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        if (attributes.rgAttr[i].pszObjId && std::strcmp(attributes.rgAttr[i].pszObjId, oid) == 0)
            return &attributes.rgAttr[i];
    }
    return nullptr;
}

// Most specific part first, short names, ", " between parts, as UTF-8.
std::string NameText(CERT_NAME_BLOB* name) {
    DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    DWORD length = CertNameToStrW(X509_ASN_ENCODING, name, flags, nullptr, 0);
    if (length <= 1)
        return {};
    std::wstring text(length, L'\0');
    length = CertNameToStrW(X509_ASN_ENCODING, name, flags, &text[0], length);
    return win::Narrow(text.c_str(), length ? length - 1 : 0);
}

std::string TimeText(const CRYPT_ATTR_BLOB& value) {
    Decoded decoded(X509_CHOICE_OF_TIME, value.pbData, value.cbData);
    SYSTEMTIME t;
    if (!decoded.get<FILETIME>() || !FileTimeToSystemTime(decoded.get<FILETIME>(), &t))
        return {};
    char text[96];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

// The contents octets of one DER SEQUENCE: its elements' encodings, one
// after the other.
bool SequenceContents(const std::vector<uint8_t>& der, std::vector<uint8_t>* contents) {
    std::vector<std::vector<uint8_t>> elements;
    if (!DecodeSequence(der.data(), der.size(), &elements))
        return false;
    contents->clear();
    for (const std::vector<uint8_t>& e : elements)
        contents->insert(contents->end(), e.begin(), e.end());
    return true;
}

} // namespace

bool CryptoAvailable() {
    return true;
}

struct Digest::State {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    void Release() {
        if (hash)
            CryptDestroyHash(hash);
        if (provider)
            CryptReleaseContext(provider, 0);
        hash = 0;
        provider = 0;
    }
    ~State() { Release(); }
};

Digest::Digest(DigestAlgorithm algorithm) : algorithm_(algorithm), state_(new State) {
    if (!CryptAcquireContextW(&state_->provider, nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT)) {
        state_->provider = 0;
        return;
    }
    if (!CryptCreateHash(state_->provider, AlgorithmId(algorithm), 0, 0, &state_->hash)) {
        state_->hash = 0;
        state_->Release();
    }
}

Digest::~Digest() = default;

bool Digest::ok() const {
    return state_->hash != 0;
}

void Digest::Update(const void* data, size_t size) {
    const BYTE* p = static_cast<const BYTE*>(data);
    while (state_->hash && size) {
        DWORD n = size > 0x40000000u ? 0x40000000u : DWORD(size);
        if (!CryptHashData(state_->hash, p, n, 0))
            state_->Release();
        p += n;
        size -= n;
    }
}

std::vector<uint8_t> Digest::Finish() {
    std::vector<uint8_t> out;
    if (!state_->hash)
        return out;
    BYTE value[64];
    DWORD size = sizeof value;
    if (CryptGetHashParam(state_->hash, HP_HASHVAL, value, &size, 0))
        out.assign(value, value + size);
    state_->Release();
    return out;
}

bool DecodeSequence(const uint8_t* der, size_t size, std::vector<std::vector<uint8_t>>* elements) {
    if (size < 2 || der[0] != 0x30) // a SEQUENCE, not any constructed value
        return false;
    // Without copying, each element is where it lies in `der`.
    Decoded decoded(X509_SEQUENCE_OF_ANY, der, size, CRYPT_DECODE_NOCOPY_FLAG);
    const CRYPT_SEQUENCE_OF_ANY* sequence = decoded.get<CRYPT_SEQUENCE_OF_ANY>();
    if (!sequence)
        return false;
    // The elements must fill the sequence, one after the other, and its
    // length field must say so: the decoder may take a shorter sequence.
    size_t contents = 0;
    for (DWORD i = 0; i < sequence->cValue; ++i)
        contents += sequence->rgValue[i].cbData;
    if (contents >= size || !LengthFieldIs(der + 1, size - 1 - contents, contents))
        return false;
    const uint8_t* at = der + (size - contents);
    elements->clear();
    for (DWORD i = 0; i < sequence->cValue; ++i) {
        const CRYPT_DER_BLOB& blob = sequence->rgValue[i];
        if (blob.pbData != at)
            return false;
        elements->emplace_back(blob.pbData, blob.pbData + blob.cbData);
        at += blob.cbData;
    }
    return true;
}

bool DecodeObjectId(const uint8_t* der, size_t size, std::string* oid) {
    Decoded decoded(X509_OBJECT_IDENTIFIER, der, size);
    const LPSTR* text = decoded.get<LPSTR>();
    if (!text || !*text)
        return false;
    *oid = *text;
    return !oid->empty();
}

bool DecodeDigestInfo(const uint8_t* der, size_t size, DigestInfo* info) {
    std::vector<std::vector<uint8_t>> parts, algorithm;
    if (!DecodeSequence(der, size, &parts) || parts.size() != 2 ||
        !DecodeSequence(parts[0].data(), parts[0].size(), &algorithm) || algorithm.empty() ||
        !DecodeObjectId(algorithm[0].data(), algorithm[0].size(), &info->algorithm_oid))
        return false;
    Decoded digest(X509_OCTET_STRING, parts[1].data(), parts[1].size());
    const CRYPT_DATA_BLOB* blob = digest.get<CRYPT_DATA_BLOB>();
    if (!blob)
        return false;
    info->digest.assign(blob->pbData, blob->pbData + blob->cbData);
    return true;
}

SignedDataInfo ReadSignedData(const uint8_t* der, size_t size) {
    SignedDataInfo info;
    if (size == 0 || size > 0x7FFFFFFFu)
        return info;
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (!msg)
        return info;
    struct Release {
        HCRYPTMSG msg;
        HCERTSTORE store = nullptr;
        PCCERT_CONTEXT certificate = nullptr;
        ~Release() {
            if (certificate)
                CertFreeCertificateContext(certificate);
            if (store)
                CertCloseStore(store, 0);
            CryptMsgClose(msg);
        }
    } release{msg};
    if (!CryptMsgUpdate(msg, der, DWORD(size), TRUE) ||
        GetCount(msg, CMSG_TYPE_PARAM) != CMSG_SIGNED)
        return info;

    std::vector<uint8_t> type;
    if (GetParam(msg, CMSG_INNER_CONTENT_TYPE_PARAM, 0, &type) && !type.empty())
        info.content_type_oid.assign(
            reinterpret_cast<const char*>(type.data()),
            strnlen(reinterpret_cast<const char*>(type.data()), type.size()));
    // For content other than plain data this is the content's whole
    // encoding; the messageDigest is over its contents octets.
    if (!GetParam(msg, CMSG_CONTENT_PARAM, 0, &info.content_der) ||
        !SequenceContents(info.content_der, &info.content))
        return info;
    info.signer_count = GetCount(msg, CMSG_SIGNER_COUNT_PARAM);
    info.certificate_count = GetCount(msg, CMSG_CERT_COUNT_PARAM);
    info.status = SignedDataStatus::Read;
    if (info.signer_count == 0)
        return info;

    std::vector<uint8_t> signer_bytes;
    if (!GetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, &signer_bytes) ||
        signer_bytes.size() < sizeof(CMSG_SIGNER_INFO)) {
        info.status = SignedDataStatus::Malformed;
        return info;
    }
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signer_bytes.data());
    if (signer->HashAlgorithm.pszObjId)
        info.digest_algorithm_oid = signer->HashAlgorithm.pszObjId;
    if (const CRYPT_ATTRIBUTE* digest = FindAttribute(signer->AuthAttrs, kMessageDigestOid)) {
        if (digest->cValue == 1) {
            Decoded value(X509_OCTET_STRING, digest->rgValue[0].pbData, digest->rgValue[0].cbData);
            if (const CRYPT_DATA_BLOB* blob = value.get<CRYPT_DATA_BLOB>()) {
                info.has_message_digest = true;
                info.message_digest.assign(blob->pbData, blob->pbData + blob->cbData);
            }
        }
    }
    if (const CRYPT_ATTRIBUTE* time = FindAttribute(signer->AuthAttrs, kSigningTimeOid)) {
        if (time->cValue >= 1)
            info.signing_time = TimeText(time->rgValue[0]);
    }
    for (DWORD i = 0; i < signer->UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = signer->UnauthAttrs.rgAttr[i];
        if (!a.pszObjId)
            continue;
        if (std::strcmp(a.pszObjId, kNestedSignatureOid) == 0)
            info.nested_signature_count += a.cValue;
        else if (std::strcmp(a.pszObjId, kTimeStampOid) == 0 ||
                 std::strcmp(a.pszObjId, kCounterSignatureOid) == 0)
            info.countersignature_count += a.cValue;
    }

    // The certificate the signer names by issuer and serial number, among
    // those the message carries.
    release.store = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, msg);
    if (release.store) {
        CERT_INFO wanted{};
        wanted.Issuer = signer->Issuer;
        wanted.SerialNumber = signer->SerialNumber;
        release.certificate = CertGetSubjectCertificateFromStore(release.store, kEncoding, &wanted);
    }
    if (signer->AuthAttrs.cAttr == 0) {
        info.signature = SignerSignature::NotChecked;
    } else if (!release.certificate) {
        info.signature = SignerSignature::NoCertificate;
    } else {
        info.signature =
            CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, release.certificate->pCertInfo)
                ? SignerSignature::Verifies
                : SignerSignature::DoesNotVerify;
    }
    if (release.certificate) {
        info.subject = NameText(&release.certificate->pCertInfo->Subject);
        info.issuer = NameText(&release.certificate->pCertInfo->Issuer);
    }
    return info;
}

} // namespace hostos
