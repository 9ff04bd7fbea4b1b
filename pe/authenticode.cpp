#include "pe/authenticode.h"

#include <algorithm>
#include <cstdio>

#include "base/byte_order.h"
#include "hostos/crypto.h"
#include "hostos/os.h"

namespace glim::pe {
namespace {

// WIN_CERTIFICATE: u32 dwLength (header included), u16 wRevision,
// u16 wCertificateType, then the certificate; entries start 8-byte aligned.
constexpr size_t kEntryHeaderSize = 8;
constexpr uint16_t kRevision2 = 0x0200;
constexpr uint16_t kTypePkcsSignedData = 0x0002;
// A signature with its certificates and time stamps is a few KB; a larger
// entry is not read into memory.
constexpr uint64_t kMaxEntrySize = 4u << 20;
// Signed files have one entry, rarely two; walking a table of millions of
// 8-byte entries would only take time.
constexpr size_t kMaxEntries = 64;
constexpr size_t kReadPiece = 64 * 1024;
// Offset of directory 4's entry in a PE32 optional header.
constexpr size_t kSecurityEntryOffset = 96 + 8 * kDirSecurity;

constexpr const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kPeImageDataOid = "1.3.6.1.4.1.311.2.1.15";

struct Range {
    uint64_t offset;
    uint64_t size;
};

// Hashes [begin, end) of the file without the excluded ranges (sorted, not
// overlapping), in pieces.
bool HashFile(const ReadAt& read, uint64_t begin, uint64_t end, std::vector<Range> excluded,
              hostos::Digest* digest) {
    std::sort(excluded.begin(), excluded.end(),
              [](const Range& a, const Range& b) { return a.offset < b.offset; });
    std::vector<uint8_t> buffer(kReadPiece);
    uint64_t at = begin;
    auto hash_to = [&](uint64_t stop) {
        while (at < stop) {
            size_t n = size_t(std::min<uint64_t>(stop - at, buffer.size()));
            if (!read(at, buffer.data(), n))
                return false;
            digest->Update(buffer.data(), n);
            at += n;
        }
        return true;
    };
    for (const Range& r : excluded) {
        if (!hash_to(std::min(r.offset, end)))
            return false;
        at = std::max(at, std::min(r.offset + r.size, end));
    }
    return hash_to(end);
}

void Fault(SignatureReport* report, SignatureOutcome outcome, SignatureFault fault) {
    report->outcome = outcome;
    report->fault = fault;
}

// Reads the SignedData in the first entry: what was signed, by whom, and
// whether the signer's signature holds. Leaves report->outcome Intact when
// all of it does.
void ReadSignature(const std::vector<uint8_t>& der, SignatureReport* report,
                   hostos::DigestAlgorithm* file_algorithm) {
    hostos::SignedDataInfo info = hostos::ReadSignedData(der.data(), der.size());
    if (info.status == hostos::SignedDataStatus::Unavailable)
        return Fault(report, SignatureOutcome::CannotCheck, SignatureFault::None);
    if (info.status != hostos::SignedDataStatus::Read)
        return Fault(report, SignatureOutcome::Malformed, SignatureFault::NotSignedData);
    report->subject = info.subject;
    report->issuer = info.issuer;
    report->signing_time = info.signing_time;
    report->nested_signature_count = info.nested_signature_count;
    report->countersignature_count = info.countersignature_count;

    // SpcIndirectDataContent: SEQUENCE { SEQUENCE { type OID (a PE image), ...
    // }, DigestInfo }.
    std::vector<std::vector<uint8_t>> parts, data;
    std::string type;
    hostos::DigestInfo signed_digest;
    if (info.content_type_oid != kIndirectDataOid ||
        !hostos::DecodeSequence(info.content_der.data(), info.content_der.size(), &parts) ||
        parts.size() < 2 || !hostos::DecodeSequence(parts[0].data(), parts[0].size(), &data) ||
        data.empty() || !hostos::DecodeObjectId(data[0].data(), data[0].size(), &type) ||
        type != kPeImageDataOid ||
        !hostos::DecodeDigestInfo(parts[1].data(), parts[1].size(), &signed_digest))
        return Fault(report, SignatureOutcome::Malformed, SignatureFault::NotIndirectData);
    report->signed_digest = signed_digest.digest;
    if (info.signer_count != 1)
        return Fault(report, SignatureOutcome::Malformed, SignatureFault::SignerCount);
    hostos::DigestAlgorithm signer_algorithm;
    if (!hostos::DigestAlgorithmFromOid(signed_digest.algorithm_oid, file_algorithm) ||
        !hostos::DigestAlgorithmFromOid(info.digest_algorithm_oid, &signer_algorithm))
        return Fault(report, SignatureOutcome::Malformed, SignatureFault::UnknownDigestAlgorithm);
    report->algorithm = hostos::DigestAlgorithmName(*file_algorithm);
    if (signed_digest.digest.size() != hostos::DigestSize(*file_algorithm))
        return Fault(report, SignatureOutcome::Malformed, SignatureFault::NotIndirectData);

    // The signer signed its attributes; the messageDigest among them binds
    // the content, and the content holds the file's digest. A digest
    // rewritten inside the signature breaks the middle link.
    if (!info.has_message_digest)
        return Fault(report, SignatureOutcome::SignatureInvalid, SignatureFault::NoMessageDigest);
    if (hostos::DigestOf(signer_algorithm, info.content.data(), info.content.size()) !=
        info.message_digest)
        return Fault(report, SignatureOutcome::SignatureInvalid,
                     SignatureFault::MessageDigestMismatch);
    switch (info.signature) {
    case hostos::SignerSignature::Verifies:
        break;
    case hostos::SignerSignature::NoCertificate:
        return Fault(report, SignatureOutcome::SignatureInvalid,
                     SignatureFault::NoSignerCertificate);
    case hostos::SignerSignature::NotChecked:
        // Authenticode always signs attributes; without them nothing binds
        // the content to the signer.
        return Fault(report, SignatureOutcome::SignatureInvalid, SignatureFault::NoMessageDigest);
    case hostos::SignerSignature::DoesNotVerify:
        return Fault(report, SignatureOutcome::SignatureInvalid,
                     SignatureFault::SignatureDoesNotVerify);
    }
    report->outcome = SignatureOutcome::Intact;
}

// Reads the padding before the table, walks its entries and reads the
// signature in the first.
void ReadTable(const ReadAt& read, SignatureReport* report, hostos::DigestAlgorithm* algorithm) {
    uint64_t table_end = report->table_offset + report->table_size;
    // The padding a signer's alignment put before the table.
    uint8_t before[7];
    size_t lookback = size_t(std::min<uint64_t>(report->table_offset, sizeof before));
    if (!read(report->table_offset - lookback, before, lookback)) {
        Fault(report, SignatureOutcome::Malformed, SignatureFault::ReadFailed);
        return;
    }
    while (report->padding_size < lookback && before[lookback - 1 - report->padding_size] == 0)
        report->padding_size++;
    report->padding_offset = report->table_offset - report->padding_size;

    // The entries, each 8-byte aligned after the one before.
    uint64_t first_length = 0;
    for (uint64_t at = report->table_offset; at < table_end;) {
        uint8_t header[kEntryHeaderSize];
        if (table_end - at < kEntryHeaderSize) {
            Fault(report, SignatureOutcome::Malformed, SignatureFault::BadEntryLength);
            return;
        }
        if (!read(at, header, sizeof header)) {
            Fault(report, SignatureOutcome::Malformed, SignatureFault::ReadFailed);
            return;
        }
        uint64_t length = GetU32(header);
        if (length < kEntryHeaderSize || length > table_end - at) {
            Fault(report, SignatureOutcome::Malformed, SignatureFault::BadEntryLength);
            return;
        }
        if (report->entry_count == 0) {
            first_length = length;
            report->entry_revision = GetU16(header + 4);
            report->entry_type = GetU16(header + 6);
        }
        if (++report->entry_count > kMaxEntries) {
            Fault(report, SignatureOutcome::Malformed, SignatureFault::TooManyEntries);
            return;
        }
        at += (length + 7) / 8 * 8;
    }
    if (report->entry_revision != kRevision2 || report->entry_type != kTypePkcsSignedData) {
        Fault(report, SignatureOutcome::Malformed, SignatureFault::UnsupportedEntry);
        return;
    }
    if (first_length - kEntryHeaderSize > kMaxEntrySize) {
        Fault(report, SignatureOutcome::Malformed, SignatureFault::EntryTooLarge);
        return;
    }
    std::vector<uint8_t> der(size_t(first_length - kEntryHeaderSize));
    if (!read(report->table_offset + kEntryHeaderSize, der.data(), der.size())) {
        Fault(report, SignatureOutcome::Malformed, SignatureFault::ReadFailed);
        return;
    }

    ReadSignature(der, report, algorithm);
}

} // namespace

const char* SignatureOutcomeName(SignatureOutcome outcome) {
    switch (outcome) {
    case SignatureOutcome::Unsigned:
        return "unsigned";
    case SignatureOutcome::Intact:
        return "intact";
    case SignatureOutcome::ChangedAfterSigning:
        return "changed-after-signing";
    case SignatureOutcome::SignatureInvalid:
        return "signature-invalid";
    case SignatureOutcome::Malformed:
        return "malformed";
    case SignatureOutcome::NotAtEnd:
        return "not-at-end";
    case SignatureOutcome::CannotCheck:
        return "cannot-check";
    }
    return "?";
}

const char* SignatureFaultName(SignatureFault fault) {
    switch (fault) {
    case SignatureFault::None:
        return "none";
    case SignatureFault::TableOutsideFile:
        return "table-outside-file";
    case SignatureFault::TableInHeaders:
        return "table-in-headers";
    case SignatureFault::BadEntryLength:
        return "bad-entry-length";
    case SignatureFault::UnsupportedEntry:
        return "unsupported-entry";
    case SignatureFault::EntryTooLarge:
        return "entry-too-large";
    case SignatureFault::TooManyEntries:
        return "too-many-entries";
    case SignatureFault::NotSignedData:
        return "not-signed-data";
    case SignatureFault::NotIndirectData:
        return "not-indirect-data";
    case SignatureFault::SignerCount:
        return "signer-count";
    case SignatureFault::UnknownDigestAlgorithm:
        return "unknown-digest-algorithm";
    case SignatureFault::NoMessageDigest:
        return "no-message-digest";
    case SignatureFault::MessageDigestMismatch:
        return "message-digest-mismatch";
    case SignatureFault::NoSignerCertificate:
        return "no-signer-certificate";
    case SignatureFault::SignatureDoesNotVerify:
        return "signature-does-not-verify";
    case SignatureFault::ReadFailed:
        return "read-failed";
    }
    return "?";
}

SignatureReport CheckSignature(const ReadAt& read, uint64_t file_size, const PeHeaders& headers) {
    SignatureReport report;
    if (!HasCertificateTable(headers))
        return report;
    const DataDirectory& dir = headers.directories[kDirSecurity];
    report.table_offset = dir.rva;
    report.table_size = dir.size;
    uint64_t table_end = report.table_offset + report.table_size;
    if (table_end > file_size) {
        Fault(&report, SignatureOutcome::Malformed, SignatureFault::TableOutsideFile);
        return report;
    }
    if (report.table_offset <
            headers.section_table_offset() + headers.sections.size() * kSectionHeaderSize ||
        report.table_offset < headers.size_of_headers) {
        Fault(&report, SignatureOutcome::Malformed, SignatureFault::TableInHeaders);
        return report;
    }

    hostos::DigestAlgorithm algorithm = hostos::DigestAlgorithm::Sha256;
    ReadTable(read, &report, &algorithm);
    // A table elsewhere was made for another file (a stub signed before its
    // payload was appended, the table now perhaps overwritten by it): what it
    // still says is reported, but it covers nothing of this file.
    if (table_end != file_size) {
        report.outcome = SignatureOutcome::NotAtEnd;
        report.fault = SignatureFault::None;
        return report;
    }
    if (report.outcome != SignatureOutcome::Intact)
        return report;

    hostos::Digest digest(algorithm);
    size_t checksum = headers.checksum_offset();
    size_t entry = headers.optional_header_offset() + kSecurityEntryOffset;
    if (!HashFile(read, 0, report.table_offset, {{checksum, 4}, {entry, 8}}, &digest)) {
        Fault(&report, SignatureOutcome::Malformed, SignatureFault::ReadFailed);
        return report;
    }
    report.file_digest = digest.Finish();
    if (report.file_digest != report.signed_digest)
        report.outcome = SignatureOutcome::ChangedAfterSigning;
    return report;
}

ReadAt ReadAtDescriptor(int fd) {
    return [fd](uint64_t offset, uint8_t* buffer, size_t size) {
        if (offset > uint64_t(INT64_MAX) || hostos::Seek(fd, int64_t(offset), SEEK_SET) < 0)
            return false;
        size_t done = 0;
        while (done < size) {
            long n = hostos::Read(fd, buffer + done, size - done);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    };
}

} // namespace glim::pe
