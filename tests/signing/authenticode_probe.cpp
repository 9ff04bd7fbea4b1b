// Prints what pe/authenticode.h reports for each file named, one JSON object
// per line, for the signing tests to hold against osslsigncode's verdict.
#include <cstdio>
#include <string>
#include <vector>

#include "hostos/os.h"
#include "pe/authenticode.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

// The names come from test certificates: plain ASCII, but quoted properly.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

int Probe(const std::string& path) {
    int fd = hostos::OpenRead(path);
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot open\n", path.c_str());
        return 2;
    }
    hostos::Status status = hostos::GetStatus(fd);
    std::vector<uint8_t> head(size_t(status.size < 65536 ? status.size : 65536));
    glim::pe::ReadAt read = glim::pe::ReadAtDescriptor(fd);
    glim::pe::PeHeaders headers;
    try {
        if (!read(0, head.data(), head.size()))
            throw glim::pe::PeError("cannot read");
        headers = glim::pe::ParseHeaders(head);
    } catch (const glim::pe::PeError& e) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
        hostos::Close(fd);
        return 2;
    }
    glim::pe::SignatureReport r = glim::pe::CheckSignature(read, status.size, headers);
    hostos::Close(fd);
    std::printf("{\"outcome\": \"%s\", \"fault\": \"%s\", \"algorithm\": %s, \"subject\": %s, "
                "\"issuer\": %s, \"signing_time\": %s, \"table_offset\": %llu, "
                "\"table_size\": %llu, \"padding_offset\": %llu, \"padding_size\": %llu, "
                "\"entries\": %zu, \"nested\": %zu, \"countersignatures\": %zu, "
                "\"signed_digest\": \"%s\", \"file_digest\": \"%s\"}\n",
                glim::pe::SignatureOutcomeName(r.outcome), glim::pe::SignatureFaultName(r.fault),
                Quoted(r.algorithm).c_str(), Quoted(r.subject).c_str(), Quoted(r.issuer).c_str(),
                Quoted(r.signing_time).c_str(), static_cast<unsigned long long>(r.table_offset),
                static_cast<unsigned long long>(r.table_size),
                static_cast<unsigned long long>(r.padding_offset),
                static_cast<unsigned long long>(r.padding_size), r.entry_count,
                r.nested_signature_count, r.countersignature_count, Hex(r.signed_digest).c_str(),
                Hex(r.file_digest).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int worst = 0;
    for (int i = 1; i < argc; ++i) {
        int rc = Probe(argv[i]);
        worst = rc > worst ? rc : worst;
    }
    return worst;
}
