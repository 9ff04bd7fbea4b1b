#include "package/build.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "format/naming.h"
#include "hostos/os.h"
#include "package/errors.h"
#include "package/stub.h"
#include "package/text.h"

namespace glimpack {

std::string PackageTitle(const std::string& utf8, const std::string& subject) {
    std::string problem;
    std::optional<std::string> converted = Utf8ToWindows1252(utf8, &problem);
    if (!converted)
        Fail(subject, "the title " + problem);
    if (converted->size() > PAYLOAD_TITLE_SIZE)
        Fail(subject, "the title is " + std::to_string(converted->size()) +
                          " bytes in Windows-1252; at most 32 fit");
    return *converted;
}

uint16_t ParseFirstFileNumber(const std::string& text, const std::string& subject) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError(subject + " needs a decimal number, not \"" +
                         EscapeForDisplay(text, true) + "\"");
    size_t digits = text.find_first_not_of('0');
    std::string significant = digits == std::string::npos ? "0" : text.substr(digits);
    if (significant.size() > 5 || std::stoul(significant) > 65535)
        Fail(subject, text + " is over 65535");
    return static_cast<uint16_t>(std::stoul(significant));
}

EncodedBody StoreBody(const std::vector<uint8_t>& input) {
    return EncodedBody{input, 0};
}

EncodedBody CompressOrStoreBody(const std::vector<uint8_t>& input, encoder::Mode mode) {
    if (input.size() > encoder::kMaxInputSize)
        return StoreBody(input);
    std::vector<uint8_t> packed = encoder::Compress(input.data(), input.size(), mode);
    if (packed.empty() || packed.size() >= input.size())
        return StoreBody(input);
    EncodedBody body;
    body.bytes = std::move(packed);
    body.unpacked_size = static_cast<uint32_t>(input.size());
    return body;
}

void ExtensionFromFileName(const std::string& path, char extension[PAYLOAD_EXTENSION_SIZE]) {
    std::memset(extension, 0, PAYLOAD_EXTENSION_SIZE);
    std::string name = hostos::FileNamePart(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return;
    std::string ext = name.substr(dot);
    for (char& c : ext) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    // The installer's own rule on what may follow the dot, checked first so
    // that a character it refuses is named as such (a byte of UTF-8 is not a
    // character of the extension).
    for (size_t i = 1; i < ext.size(); i++) {
        if (!IsExtensionCharacter(static_cast<unsigned char>(ext[i])))
            Fail(path, "extension \"" + EscapeForDisplay(ext, true) +
                           "\" cannot be used in a file name (use letters, digits or "
                           "_~!#$%&'()@^{}-)");
    }
    if (ext.size() == 1)
        Fail(path, "extension \".\" cannot be used in a file name (nothing follows the dot)");
    if (ext.size() > PAYLOAD_EXTENSION_SIZE)
        Fail(path, "extension \"" + EscapeForDisplay(ext, true) + "\" has " +
                       std::to_string(ext.size() - 1) + " characters after the dot; at most 3 fit");
    // The record's field is NUL-padded, and not terminated when 4 bytes long.
    std::memcpy(extension, ext.data(), ext.size()); // NOLINT(bugprone-not-null-terminated-result)
}

PackPlan PlanPackage(const std::string& output, uint32_t payload_pos, uint32_t rsrc_raw_end,
                     const std::vector<uint64_t>& body_sizes) {
    PackPlan plan;
    plan.payload_pos = payload_pos;
    uint64_t pos = static_cast<uint64_t>(payload_pos) + PAYLOAD_HEADER_SIZE +
                   PAYLOAD_RECORD_SIZE * (static_cast<uint64_t>(body_sizes.size()) + 1);
    for (uint64_t size : body_sizes) {
        if (pos > PACKAGE_MAX_SIZE)
            break;
        plan.offsets.push_back(static_cast<uint32_t>(pos));
        pos += size;
    }
    plan.payload_end = pos;
    plan.file_size = std::max<uint64_t>(pos, rsrc_raw_end);
    if (plan.payload_end > PACKAGE_MAX_SIZE || plan.offsets.size() != body_sizes.size())
        Fail(output, "the package would need " + std::to_string(pos) +
                         " bytes or more; the installer reads packages of at most " +
                         std::to_string(PACKAGE_MAX_SIZE) + " bytes");
    return plan;
}

void BuildPackage(const PackOptions& options, const BodyEncoder& encoder, const ByteSink& out) {
    if (options.inputs.size() < 2)
        throw UsageError("a package needs a saver (--scr) and a data file (--dat)");
    if (options.title_1252.size() > PAYLOAD_TITLE_SIZE)
        Fail(options.output, "title longer than 32 bytes");

    const std::vector<uint8_t>& stub = options.stub;
    StubLayout layout = CheckStubLayout(options.stub_path, stub);

    std::vector<EncodedBody> bodies;
    std::vector<uint64_t> sizes;
    for (const PackInput& input : options.inputs) {
        if (input.data.empty())
            Fail(input.path, "empty file (a stored size of 0 would end the record table)");
        if (input.data.size() > PACKAGE_MAX_SIZE)
            Fail(input.path, "too large for a package");
        bodies.push_back(encoder(input.data));
        if (bodies.back().bytes.empty())
            Fail(input.path, "encoded to an empty body");
        sizes.push_back(bodies.back().bytes.size());
    }
    PackPlan plan =
        PlanPackage(options.output, layout.location.payload_pos, layout.rsrc_raw_end, sizes);

    out(stub.data(), plan.payload_pos);

    PayloadHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.title, options.title_1252.data(), options.title_1252.size());
    header.first_file_number = options.first_number;
    uint8_t bytes[PAYLOAD_HEADER_SIZE];
    EncodePayloadHeader(&header, bytes);
    out(bytes, sizeof bytes);

    for (size_t i = 0; i < bodies.size(); i++) {
        PayloadRecord record;
        std::memset(&record, 0, sizeof record);
        record.offset = plan.offsets[i];
        record.stored_size = static_cast<uint32_t>(bodies[i].bytes.size());
        record.unpacked_size = bodies[i].unpacked_size;
        std::memcpy(record.extension, options.inputs[i].extension, PAYLOAD_EXTENSION_SIZE);
        uint8_t raw[PAYLOAD_RECORD_SIZE];
        EncodePayloadRecord(&record, raw);
        out(raw, sizeof raw);
    }
    uint8_t terminator[PAYLOAD_RECORD_SIZE] = {};
    out(terminator, sizeof terminator);
    for (const EncodedBody& body : bodies)
        out(body.bytes.data(), body.bytes.size());

    // The Windows loader refuses a file that ends inside a section's raw
    // data; the payload starts inside that of .rsrc, so fill up to its end.
    if (plan.payload_end < plan.file_size) {
        std::vector<uint8_t> zeros(plan.file_size - plan.payload_end, 0);
        out(zeros.data(), zeros.size());
    }
}

} // namespace glimpack
