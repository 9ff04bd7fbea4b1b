// What every system's cryptography shares: the algorithms' names, sizes and
// object identifiers.
#include "hostos/crypto.h"

#include <iterator>

namespace hostos {
namespace {

struct AlgorithmRow {
    DigestAlgorithm algorithm;
    const char* name;
    size_t size;
    const char* oid;
};

constexpr AlgorithmRow kAlgorithms[] = {
    {DigestAlgorithm::Md5, "md5", 16, "1.2.840.113549.2.5"},
    {DigestAlgorithm::Sha1, "sha1", 20, "1.3.14.3.2.26"},
    {DigestAlgorithm::Sha256, "sha256", 32, "2.16.840.1.101.3.4.2.1"},
    {DigestAlgorithm::Sha384, "sha384", 48, "2.16.840.1.101.3.4.2.2"},
    {DigestAlgorithm::Sha512, "sha512", 64, "2.16.840.1.101.3.4.2.3"},
};

const AlgorithmRow& RowOf(DigestAlgorithm algorithm) {
    for (const AlgorithmRow& row : kAlgorithms) {
        if (row.algorithm == algorithm)
            return row;
    }
    return kAlgorithms[std::size(kAlgorithms) - 1];
}

} // namespace

const char* DigestAlgorithmName(DigestAlgorithm algorithm) {
    return RowOf(algorithm).name;
}

size_t DigestSize(DigestAlgorithm algorithm) {
    return RowOf(algorithm).size;
}

bool DigestAlgorithmFromName(const std::string& name, DigestAlgorithm* algorithm) {
    for (const AlgorithmRow& row : kAlgorithms) {
        if (name == row.name) {
            *algorithm = row.algorithm;
            return true;
        }
    }
    return false;
}

bool DigestAlgorithmFromOid(const std::string& oid, DigestAlgorithm* algorithm) {
    for (const AlgorithmRow& row : kAlgorithms) {
        if (oid == row.oid) {
            *algorithm = row.algorithm;
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> DigestOf(DigestAlgorithm algorithm, const void* data, size_t size) {
    Digest digest(algorithm);
    digest.Update(data, size);
    return digest.Finish();
}

} // namespace hostos
