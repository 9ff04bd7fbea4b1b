// A program's Authenticode signature, checked against the file: where the
// certificate table is, whether it covers this file, what it says was signed
// and by whom, whether the signer's signature holds, and whether the file's
// own digest is still the one that was signed.
//
// The certificate table is found through data directory 4, whose "address"
// is a file offset (the table is never loaded). Signers append it to the
// file, padded to 8 bytes first; everything before it, padding included, is
// hashed except the checksum field and directory 4's own entry. The
// cryptography is the system's (hostos/crypto.h); whether the certificate
// chains to anything trusted is not checked here.
//
// The result is data only (no sentences): callers turn outcomes and faults
// into their own texts.
#ifndef GLIM_PE_AUTHENTICODE_H
#define GLIM_PE_AUTHENTICODE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pe/pe_image.h"

namespace glim::pe {

enum class SignatureOutcome {
    Unsigned,            // directory 4 is empty: no certificate table
    Intact,              // the signature holds and the file is as it was signed
    ChangedAfterSigning, // the signature holds, but the file's digest is no longer the signed one
    SignatureInvalid,    // the signature does not hold over what it says was signed
    Malformed,           // the table or the signature in it cannot be read as Authenticode
    NotAtEnd,            // the table does not end the file: it cannot cover this file
    CannotCheck,         // signed, but this build has no cryptography to check it with
};

// Stable kebab-case names: "unsigned", "intact", "changed-after-signing",
// "signature-invalid", "malformed", "not-at-end", "cannot-check".
const char* SignatureOutcomeName(SignatureOutcome outcome);

// What exactly is wrong, for Malformed and SignatureInvalid (None otherwise).
enum class SignatureFault {
    None,
    TableOutsideFile,       // the table runs past the end of the file
    TableInHeaders,         // the table starts inside the PE headers
    BadEntryLength,         // a WIN_CERTIFICATE length is below 8 or runs past the table
    UnsupportedEntry,       // the first entry is not revision 0x0200, PKCS_SIGNED_DATA
    EntryTooLarge,          // the first entry is larger than any signature needs to be
    TooManyEntries,         // more entries than any signed file has (64)
    NotSignedData,          // the entry is not a PKCS#7 SignedData
    NotIndirectData,        // its content is not an SpcIndirectDataContent for a PE image
    SignerCount,            // not exactly one signer
    UnknownDigestAlgorithm, // a digest algorithm this code does not compute
    NoMessageDigest,        // no messageDigest among the authenticated attributes
    MessageDigestMismatch,  // messageDigest is not the digest of the signed content
    NoSignerCertificate,    // the signer's certificate is not in the signature
    SignatureDoesNotVerify, // the signer's signature over its attributes does not hold
    ReadFailed,             // the file could not be read
};

// "none", "table-outside-file", ... (the enumerator's name in kebab case).
const char* SignatureFaultName(SignatureFault fault);

struct SignatureReport {
    SignatureOutcome outcome = SignatureOutcome::Unsigned;
    SignatureFault fault = SignatureFault::None;
    // The certificate table as directory 4 gives it (file offset and size).
    uint64_t table_offset = 0;
    uint64_t table_size = 0;
    // The zero bytes directly before the table, at most 7: what a signer's
    // 8-byte alignment adds. A file whose own data ended in zeros shows them
    // here too; the caller knows where its data ends.
    uint64_t padding_offset = 0;
    uint64_t padding_size = 0;
    // WIN_CERTIFICATE entries in the table; only the first is checked, as
    // Windows does. More than one is worth a note.
    size_t entry_count = 0;
    uint16_t entry_revision = 0; // of the first entry
    uint16_t entry_type = 0;
    // Of the signature in the first entry, where it could be read:
    std::string algorithm;              // the file digest's: "sha1", "sha256", ...
    std::vector<uint8_t> signed_digest; // the digest the signature holds
    std::vector<uint8_t> file_digest;   // the file's, computed (Intact, ChangedAfterSigning)
    std::string subject;                // "CN=Test, O=Example" (most specific part first)
    std::string issuer;
    std::string signing_time; // "2026-12-10T14:35:00Z", empty when not given
    // Further signatures carried inside this one: nested signatures (what
    // dual signing adds) and countersignatures or time stamps. Counted, never
    // checked, never part of the outcome.
    size_t nested_signature_count = 0;
    size_t countersignature_count = 0;
};

// Reads `size` bytes at file offset `offset` into `buffer`; false unless all
// of them were read.
using ReadAt = std::function<bool(uint64_t offset, uint8_t* buffer, size_t size)>;

// Checks the signature of the file of `file_size` bytes that `read` reads and
// whose headers are `headers`. Reads the file in pieces (never whole), so
// memory stays small whatever its size. Never throws on bad input.
SignatureReport CheckSignature(const ReadAt& read, uint64_t file_size, const PeHeaders& headers);

// A ReadAt over an open descriptor (its position is moved).
ReadAt ReadAtDescriptor(int fd);

} // namespace glim::pe

#endif
