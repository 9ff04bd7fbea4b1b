// The host's cryptography held to known answers, and the certificate table's
// reading on small files made here. Real signatures, made and altered at run
// time and held against osslsigncode, are tests/signing's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hostos/crypto.h"
#include "package/errors.h"
#include "package/stub.h"
#include "pe/authenticode.h"
#include "pe/pe_image.h"
#include "testkit/packages/pe_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using glim::pe::SignatureFault;
using glim::pe::SignatureOutcome;

std::string Hex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

TEST(HostCrypto, DigestsGiveTheKnownAnswersWholeOrInPieces) {
    struct Case {
        hostos::DigestAlgorithm algorithm;
        const char* name;
        const char* abc;
    };
    const Case cases[] = {
        {hostos::DigestAlgorithm::Md5, "md5", "900150983cd24fb0d6963f7d28e17f72"},
        {hostos::DigestAlgorithm::Sha1, "sha1", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {hostos::DigestAlgorithm::Sha256, "sha256",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {hostos::DigestAlgorithm::Sha384, "sha384",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
         "34c825a7"},
        {hostos::DigestAlgorithm::Sha512, "sha512",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
         "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    ASSERT_TRUE(hostos::CryptoAvailable());
    Bytes large(1 << 20);
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = uint8_t(i * 7 + (i >> 9));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(hostos::DigestAlgorithmName(c.algorithm), c.name);
        EXPECT_EQ(Hex(hostos::DigestOf(c.algorithm, "abc", 3)), c.abc);
        EXPECT_EQ(hostos::DigestOf(c.algorithm, "abc", 3).size(), hostos::DigestSize(c.algorithm));
        // Pieces of odd sizes give what the whole gives.
        hostos::Digest pieces(c.algorithm);
        ASSERT_TRUE(pieces.ok());
        for (size_t at = 0, step = 1; at < large.size(); at += step, step = step * 3 % 65521 + 1)
            pieces.Update(large.data() + at, std::min(step, large.size() - at));
        EXPECT_EQ(pieces.Finish(), hostos::DigestOf(c.algorithm, large.data(), large.size()));
    }
}

TEST(HostCrypto, DigestAlgorithmsAreKnownByTheirObjectIdentifiersOnly) {
    hostos::DigestAlgorithm a = hostos::DigestAlgorithm::Md5;
    EXPECT_TRUE(hostos::DigestAlgorithmFromOid("2.16.840.1.101.3.4.2.1", &a));
    EXPECT_EQ(a, hostos::DigestAlgorithm::Sha256);
    EXPECT_TRUE(hostos::DigestAlgorithmFromOid("1.3.14.3.2.26", &a));
    EXPECT_EQ(a, hostos::DigestAlgorithm::Sha1);
    // sha256WithRSAEncryption is a signature algorithm, not a digest.
    EXPECT_FALSE(hostos::DigestAlgorithmFromOid("1.2.840.113549.1.1.11", &a));
    EXPECT_FALSE(hostos::DigestAlgorithmFromOid("", &a));
}

TEST(HostCrypto, DecodesTheDerPiecesASignatureIsMadeOf) {
    // SEQUENCE { OID 1.2, OCTET STRING ff }
    const Bytes sequence = {0x30, 0x06, 0x06, 0x01, 0x2A, 0x04, 0x01, 0xFF};
    std::vector<Bytes> elements;
    ASSERT_TRUE(hostos::DecodeSequence(sequence.data(), sequence.size(), &elements));
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[0], (Bytes{0x06, 0x01, 0x2A}));
    EXPECT_EQ(elements[1], (Bytes{0x04, 0x01, 0xFF}));
    std::string oid;
    EXPECT_TRUE(hostos::DecodeObjectId(elements[0].data(), elements[0].size(), &oid));
    EXPECT_EQ(oid, "1.2");
    const Bytes signed_data = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    EXPECT_TRUE(hostos::DecodeObjectId(signed_data.data(), signed_data.size(), &oid));
    EXPECT_EQ(oid, "1.2.840.113549.1.7.2");

    // Not a sequence; cut short; an OCTET STRING taken for an OID.
    EXPECT_FALSE(hostos::DecodeSequence(elements[1].data(), elements[1].size(), &elements));
    EXPECT_FALSE(hostos::DecodeSequence(sequence.data(), sequence.size() - 1, &elements));
    const Bytes octets = {0x04, 0x01, 0xFF};
    EXPECT_FALSE(hostos::DecodeObjectId(octets.data(), octets.size(), &oid));

    // DigestInfo { AlgorithmIdentifier { sha1, NULL }, OCTET STRING (20) }
    Bytes info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                  0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    for (int i = 0; i < 20; ++i)
        info.push_back(uint8_t(0xA0 + i));
    hostos::DigestInfo digest;
    ASSERT_TRUE(hostos::DecodeDigestInfo(info.data(), info.size(), &digest));
    EXPECT_EQ(digest.algorithm_oid, "1.3.14.3.2.26");
    EXPECT_EQ(digest.digest, Bytes(info.end() - 20, info.end()));
    EXPECT_FALSE(hostos::DecodeDigestInfo(sequence.data(), sequence.size(), &digest));
}

TEST(HostCrypto, WhatIsNotASignedDataIsMalformed) {
    const Bytes empty;
    EXPECT_EQ(hostos::ReadSignedData(empty.data(), 0).status, hostos::SignedDataStatus::Malformed);
    const Bytes sequence = {0x30, 0x06, 0x06, 0x01, 0x2A, 0x04, 0x01, 0xFF};
    EXPECT_EQ(hostos::ReadSignedData(sequence.data(), sequence.size()).status,
              hostos::SignedDataStatus::Malformed);
    // A ContentInfo of type signedData whose content is cut off.
    const Bytes cut = {0x30, 0x0F, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                       0x0D, 0x01, 0x07, 0x02, 0xA0, 0x02, 0x30, 0x00};
    EXPECT_EQ(hostos::ReadSignedData(cut.data(), cut.size()).status,
              hostos::SignedDataStatus::Malformed);
}

// --- The certificate table -------------------------------------------------------

// A small PE file with a certificate table of `table` bytes appended at an
// 8-byte boundary (directory 4 pointing at it), then `after` bytes.
struct SignedFile {
    Bytes bytes;
    uint64_t table_offset = 0;
};

SignedFile WithTable(const Bytes& table, size_t after = 0, size_t unaligned = 3) {
    pe_builder::PeBuilder pe;
    pe.AddSection(".text", Bytes(100, 0xC3));
    SignedFile file;
    file.bytes = pe.Build().bytes;
    file.bytes.resize(file.bytes.size() + unaligned, 0x11); // the file's own last bytes
    file.table_offset = (file.bytes.size() + 7) / 8 * 8;
    file.bytes.resize(size_t(file.table_offset), 0);
    file.bytes.insert(file.bytes.end(), table.begin(), table.end());
    file.bytes.resize(file.bytes.size() + after, 0x22);
    uint32_t pe_offset = pe_builder::GetU32(file.bytes, 60);
    size_t entry = pe_offset + 24 + 96 + 8 * glim::pe::kDirSecurity;
    pe_builder::PutU32(file.bytes, entry, uint32_t(file.table_offset));
    pe_builder::PutU32(file.bytes, entry + 4, uint32_t(table.size()));
    return file;
}

// One WIN_CERTIFICATE entry holding `certificate`, padded to 8 bytes.
Bytes Entry(const Bytes& certificate, uint16_t revision = 0x0200, uint16_t type = 2,
            uint32_t length = 0) {
    Bytes entry(8);
    pe_builder::PutU32(entry, 0, length ? length : uint32_t(8 + certificate.size()));
    pe_builder::PutU16(entry, 4, revision);
    pe_builder::PutU16(entry, 6, type);
    entry.insert(entry.end(), certificate.begin(), certificate.end());
    entry.resize((entry.size() + 7) / 8 * 8, 0);
    return entry;
}

glim::pe::SignatureReport Check(const Bytes& file) {
    glim::pe::PeHeaders headers = glim::pe::ParseHeaders(file);
    auto read = [&file](uint64_t offset, uint8_t* buffer, size_t size) {
        if (offset > file.size() || size > file.size() - offset)
            return false;
        std::memcpy(buffer, file.data() + offset, size);
        return true;
    };
    return glim::pe::CheckSignature(read, file.size(), headers);
}

const Bytes kNotPkcs7 = {0x30, 0x06, 0x06, 0x01, 0x2A, 0x04, 0x01, 0xFF};

TEST(CertificateTable, AFileWithoutOneIsUnsigned) {
    pe_builder::PeBuilder pe;
    pe.AddSection(".text", Bytes(100, 0xC3));
    Bytes file = pe.Build().bytes;
    EXPECT_FALSE(glim::pe::HasCertificateTable(glim::pe::ParseHeaders(file)));
    glim::pe::SignatureReport report = Check(file);
    EXPECT_EQ(report.outcome, SignatureOutcome::Unsigned);
    EXPECT_EQ(report.table_size, 0u);
}

TEST(CertificateTable, IsFoundByFileOffsetWithTheSignersPaddingBeforeIt) {
    SignedFile file = WithTable(Entry(kNotPkcs7));
    glim::pe::SignatureReport report = Check(file.bytes);
    EXPECT_TRUE(glim::pe::HasCertificateTable(glim::pe::ParseHeaders(file.bytes)));
    EXPECT_EQ(report.table_offset, file.table_offset);
    EXPECT_EQ(report.table_size, 16u);
    EXPECT_EQ(report.padding_size, 5u); // 3 bytes of the file's own, 5 to the boundary
    EXPECT_EQ(report.padding_offset, file.table_offset - 5);
    EXPECT_EQ(report.entry_count, 1u);
    EXPECT_EQ(report.entry_revision, 0x0200);
    EXPECT_EQ(report.entry_type, 2);
    // The entry is read, but what it holds is no SignedData.
    EXPECT_EQ(report.outcome, SignatureOutcome::Malformed);
    EXPECT_EQ(report.fault, SignatureFault::NotSignedData);
}

TEST(CertificateTable, TablesThatCannotBeReadAreMalformed) {
    struct Case {
        const char* what;
        Bytes file;
        SignatureFault fault;
    };
    SignedFile past_end = WithTable(Entry(kNotPkcs7));
    past_end.bytes.resize(past_end.bytes.size() - 4);
    SignedFile in_headers = WithTable(Entry(kNotPkcs7));
    uint32_t pe_offset = pe_builder::GetU32(in_headers.bytes, 60);
    pe_builder::PutU32(in_headers.bytes, pe_offset + 24 + 96 + 32, 0x40);
    Bytes two = Entry(kNotPkcs7);
    Bytes second = Entry(kNotPkcs7, 0x0200, 1);
    two.insert(two.end(), second.begin(), second.end());
    Bytes many;
    for (int i = 0; i < 65; ++i) {
        Bytes empty = Entry({});
        many.insert(many.end(), empty.begin(), empty.end());
    }
    const Case cases[] = {
        {"past the end", past_end.bytes, SignatureFault::TableOutsideFile},
        {"in the headers", in_headers.bytes, SignatureFault::TableInHeaders},
        {"entry shorter than its header", WithTable(Entry(kNotPkcs7, 0x0200, 2, 4)).bytes,
         SignatureFault::BadEntryLength},
        {"entry past the table", WithTable(Entry(kNotPkcs7, 0x0200, 2, 17)).bytes,
         SignatureFault::BadEntryLength},
        {"table too short for a header", WithTable(Bytes(4, 0)).bytes,
         SignatureFault::BadEntryLength},
        {"revision 1", WithTable(Entry(kNotPkcs7, 0x0100)).bytes, SignatureFault::UnsupportedEntry},
        {"an X.509 entry", WithTable(Entry(kNotPkcs7, 0x0200, 1)).bytes,
         SignatureFault::UnsupportedEntry},
        {"not PKCS#7", WithTable(two).bytes, SignatureFault::NotSignedData},
        {"a table of empty entries", WithTable(many).bytes, SignatureFault::TooManyEntries},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        glim::pe::SignatureReport report = Check(c.file);
        EXPECT_EQ(report.outcome, SignatureOutcome::Malformed);
        EXPECT_EQ(report.fault, c.fault);
    }
    // Both entries of the last case were counted; only the first is read.
    EXPECT_EQ(Check(WithTable(two).bytes).entry_count, 2u);
}

TEST(CertificateTable, ATableThatDoesNotEndTheFileCoversNothingOfIt) {
    // Whether or not the table still reads: a payload appended after a
    // signed stub, or written over its table.
    EXPECT_EQ(Check(WithTable(Entry(kNotPkcs7), 1024).bytes).outcome, SignatureOutcome::NotAtEnd);
    EXPECT_EQ(Check(WithTable(Bytes(64, 0x5A), 1).bytes).outcome, SignatureOutcome::NotAtEnd);
}

TEST(CertificateTable, AFileThatCannotBeReadIsSaidSo) {
    SignedFile file = WithTable(Entry(kNotPkcs7));
    glim::pe::PeHeaders headers = glim::pe::ParseHeaders(file.bytes);
    auto fails = [](uint64_t, uint8_t*, size_t) { return false; };
    glim::pe::SignatureReport report = glim::pe::CheckSignature(fails, file.bytes.size(), headers);
    EXPECT_EQ(report.outcome, SignatureOutcome::Malformed);
    EXPECT_EQ(report.fault, SignatureFault::ReadFailed);
}

TEST(CertificateTable, OutcomesAndFaultsHaveStableNames) {
    EXPECT_STREQ(glim::pe::SignatureOutcomeName(SignatureOutcome::ChangedAfterSigning),
                 "changed-after-signing");
    EXPECT_STREQ(glim::pe::SignatureOutcomeName(SignatureOutcome::NotAtEnd), "not-at-end");
    EXPECT_STREQ(glim::pe::SignatureFaultName(SignatureFault::MessageDigestMismatch),
                 "message-digest-mismatch");
}

// --- Signed stubs -----------------------------------------------------------------

TEST(SignedStub, IsRefusedByPackAndFixStubForOneReason) {
    const char* why = "signed: laying it out or appending a payload would void its signature; "
                      "sign the finished package instead";
    Bytes stub = pe_builder::BuildStub().bytes;
    uint32_t pe_offset = pe_builder::GetU32(stub, 60);
    size_t entry = pe_offset + 24 + 96 + 8 * glim::pe::kDirSecurity;
    Bytes table = Entry(kNotPkcs7);
    pe_builder::PutU32(stub, entry, uint32_t(stub.size()));
    pe_builder::PutU32(stub, entry + 4, uint32_t(table.size()));
    stub.insert(stub.end(), table.begin(), table.end());
    try {
        glimpack::CheckStubLayout("SIGNED.EXE", stub);
        ADD_FAILURE() << "pack took a signed stub";
    } catch (const glimpack::ToolError& e) {
        EXPECT_EQ(std::string(e.what()), std::string("SIGNED.EXE: not a usable stub: ") + why);
    }
    try {
        glim::pe::FixStubLayout(stub);
        ADD_FAILURE() << "fix-stub took a signed stub";
    } catch (const glim::pe::PeError& e) {
        EXPECT_STREQ(e.what(), why);
    }
}

} // namespace
