// The host's cryptography on systems with OpenSSL's libcrypto: its digests,
// its DER decoder and its PKCS#7 reader.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "hostos/crypto.h"

namespace hostos {
namespace {

// Microsoft's identifiers for signatures carried inside a signature.
constexpr const char* kNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";
constexpr const char* kTimeStampOid = "1.3.6.1.4.1.311.3.3.1";
constexpr const char* kCounterSignatureOid = "1.2.840.113549.1.9.6";

const EVP_MD* MdOf(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::Md5:
        return EVP_md5();
    case DigestAlgorithm::Sha1:
        return EVP_sha1();
    case DigestAlgorithm::Sha256:
        return EVP_sha256();
    case DigestAlgorithm::Sha384:
        return EVP_sha384();
    case DigestAlgorithm::Sha512:
        return EVP_sha512();
    }
    return nullptr;
}

std::string OidText(const ASN1_OBJECT* object) {
    if (!object)
        return {};
    char text[128];
    int n = OBJ_obj2txt(text, sizeof text, object, 1);
    if (n <= 0 || size_t(n) >= sizeof text)
        return {};
    return text;
}

// The header of one DER element at `*p`: on success *p is at its contents
// and *content_size is their length. Indefinite lengths are not DER.
bool ReadHeader(const uint8_t** p, size_t available, long* content_size, int* tag, int* tag_class) {
    if (available == 0 || available > size_t(LONG_MAX))
        return false;
    const unsigned char* q = *p;
    int result = ASN1_get_object(&q, content_size, tag, tag_class, long(available));
    if (result & 0x80)
        return false;
    if (result == (V_ASN1_CONSTRUCTED | 1))
        return false; // indefinite length
    *p = q;
    return true;
}

// `der` is one whole element; its contents octets.
bool ContentsOf(const uint8_t* der, size_t size, std::vector<uint8_t>* contents) {
    const uint8_t* p = der;
    long length = 0;
    int tag = 0, tag_class = 0;
    if (!ReadHeader(&p, size, &length, &tag, &tag_class))
        return false;
    if (size_t(p - der) + size_t(length) != size)
        return false;
    contents->assign(p, p + length);
    return true;
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    // Most specific part first, short names, ", " between parts; UTF-8 kept,
    // control characters escaped.
    unsigned long flags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN |
                          ASN1_STRFLGS_ESC_2253 | ASN1_STRFLGS_ESC_CTRL |
                          ASN1_STRFLGS_UTF8_CONVERT | ASN1_STRFLGS_DUMP_UNKNOWN |
                          ASN1_STRFLGS_DUMP_DER;
    std::string text;
    if (X509_NAME_print_ex(bio, name, 0, flags) >= 0) {
        char* data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        if (n > 0 && data)
            text.assign(data, size_t(n));
    }
    BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TYPE* value) {
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME))
        return {};
    std::tm tm{};
    // UTCTime and GeneralizedTime are both ASN1_TIME's representations.
    if (ASN1_TIME_to_tm(value->value.utctime, &tm) != 1)
        return {};
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

SignerSignature VerifySigner(PKCS7_SIGNER_INFO* si, X509* certificate) {
    if (!si->auth_attr || sk_X509_ATTRIBUTE_num(si->auth_attr) == 0)
        return SignerSignature::NotChecked;
    if (!certificate)
        return SignerSignature::NoCertificate;
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    const EVP_MD* md = si->digest_alg ? EVP_get_digestbyobj(si->digest_alg->algorithm) : nullptr;
    if (!key || !md || !si->enc_digest)
        return SignerSignature::DoesNotVerify;
    // The signature is over the attributes encoded as a SET OF, not as the
    // [0] IMPLICIT field they are stored in.
    unsigned char* attributes = nullptr;
    int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes,
                               ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (length <= 0 || !attributes)
        return SignerSignature::DoesNotVerify;
    SignerSignature result = SignerSignature::DoesNotVerify;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context && EVP_DigestVerifyInit(context, nullptr, md, nullptr, key) == 1 &&
        EVP_DigestVerify(context, si->enc_digest->data, size_t(si->enc_digest->length), attributes,
                         size_t(length)) == 1)
        result = SignerSignature::Verifies;
    EVP_MD_CTX_free(context);
    OPENSSL_free(attributes);
    return result;
}

} // namespace

bool CryptoAvailable() {
    return true;
}

struct Digest::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Digest::Digest(DigestAlgorithm algorithm) : algorithm_(algorithm), state_(new State) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context && EVP_DigestInit_ex(state_->context, MdOf(algorithm), nullptr) != 1) {
        EVP_MD_CTX_free(state_->context);
        state_->context = nullptr;
    }
}

Digest::~Digest() = default;

bool Digest::ok() const {
    return state_->context != nullptr;
}

void Digest::Update(const void* data, size_t size) {
    if (state_->context && EVP_DigestUpdate(state_->context, data, size) != 1) {
        EVP_MD_CTX_free(state_->context);
        state_->context = nullptr;
    }
}

std::vector<uint8_t> Digest::Finish() {
    std::vector<uint8_t> out;
    if (!state_->context)
        return out;
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->context, value, &size) == 1)
        out.assign(value, value + size);
    EVP_MD_CTX_free(state_->context);
    state_->context = nullptr;
    return out;
}

bool DecodeSequence(const uint8_t* der, size_t size, std::vector<std::vector<uint8_t>>* elements) {
    const uint8_t* p = der;
    long length = 0;
    int tag = 0, tag_class = 0;
    if (!ReadHeader(&p, size, &length, &tag, &tag_class) || tag != V_ASN1_SEQUENCE ||
        tag_class != V_ASN1_UNIVERSAL || size_t(p - der) + size_t(length) != size)
        return false;
    elements->clear();
    const uint8_t* end = der + size;
    while (p < end) {
        const uint8_t* start = p;
        long element_length = 0;
        if (!ReadHeader(&p, size_t(end - p), &element_length, &tag, &tag_class) ||
            size_t(element_length) > size_t(end - p))
            return false;
        p += element_length;
        elements->emplace_back(start, p);
    }
    return true;
}

bool DecodeObjectId(const uint8_t* der, size_t size, std::string* oid) {
    if (size > size_t(LONG_MAX))
        return false;
    const unsigned char* p = der;
    ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, long(size));
    if (!object)
        return false;
    bool whole = p == der + size;
    *oid = OidText(object);
    ASN1_OBJECT_free(object);
    return whole && !oid->empty();
}

bool DecodeDigestInfo(const uint8_t* der, size_t size, DigestInfo* info) {
    if (size > size_t(LONG_MAX))
        return false;
    const unsigned char* p = der;
    X509_SIG* sig = d2i_X509_SIG(nullptr, &p, long(size));
    if (!sig)
        return false;
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(sig, &algorithm, &digest);
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    info->algorithm_oid = OidText(object);
    info->digest.assign(digest->data, digest->data + digest->length);
    bool whole = p == der + size;
    X509_SIG_free(sig);
    return whole && !info->algorithm_oid.empty();
}

SignedDataInfo ReadSignedData(const uint8_t* der, size_t size) {
    SignedDataInfo info;
    if (size > size_t(LONG_MAX))
        return info;
    const unsigned char* p = der;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, long(size));
    if (!p7)
        return info;
    struct Release {
        PKCS7* p7;
        ~Release() { PKCS7_free(p7); }
    } release{p7};
    if (!PKCS7_type_is_signed(p7) || !p7->d.sign || !p7->d.sign->contents)
        return info;
    PKCS7* inner = p7->d.sign->contents;
    info.content_type_oid = OidText(inner->type);
    // The content as it is encoded: an OCTET STRING for plain data, any
    // other type as it came.
    unsigned char* encoded = nullptr;
    int encoded_size = -1;
    if (PKCS7_type_is_data(inner)) {
        if (inner->d.data)
            encoded_size = i2d_ASN1_OCTET_STRING(inner->d.data, &encoded);
    } else if (inner->d.other) {
        encoded_size = i2d_ASN1_TYPE(inner->d.other, &encoded);
    }
    if (encoded_size > 0 && encoded) {
        info.content_der.assign(encoded, encoded + encoded_size);
        OPENSSL_free(encoded);
        if (!ContentsOf(info.content_der.data(), info.content_der.size(), &info.content))
            return info;
    }

    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
    info.signer_count = signers ? size_t(sk_PKCS7_SIGNER_INFO_num(signers)) : 0;
    STACK_OF(X509)* certificates = p7->d.sign->cert;
    info.certificate_count = certificates ? size_t(sk_X509_num(certificates)) : 0;
    info.status = SignedDataStatus::Read;
    if (info.signer_count == 0)
        return info;

    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    if (si->digest_alg)
        info.digest_algorithm_oid = OidText(si->digest_alg->algorithm);
    ASN1_TYPE* digest = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
    if (digest && digest->type == V_ASN1_OCTET_STRING && digest->value.octet_string) {
        info.has_message_digest = true;
        const ASN1_OCTET_STRING* value = digest->value.octet_string;
        info.message_digest.assign(value->data, value->data + value->length);
    }
    info.signing_time = TimeText(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime));

    X509* certificate = nullptr;
    if (certificates && si->issuer_and_serial)
        certificate = X509_find_by_issuer_and_serial(certificates, si->issuer_and_serial->issuer,
                                                     si->issuer_and_serial->serial);
    if (certificate) {
        info.subject = NameText(X509_get_subject_name(certificate));
        info.issuer = NameText(X509_get_issuer_name(certificate));
    }
    info.signature = VerifySigner(si, certificate);

    for (int i = 0; si->unauth_attr && i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
        X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
        std::string oid = OidText(X509_ATTRIBUTE_get0_object(attribute));
        size_t values = size_t(X509_ATTRIBUTE_count(attribute));
        if (oid == kNestedSignatureOid)
            info.nested_signature_count += values;
        else if (oid == kTimeStampOid || oid == kCounterSignatureOid)
            info.countersignature_count += values;
    }
    return info;
}

} // namespace hostos
