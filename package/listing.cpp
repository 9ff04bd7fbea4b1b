#include "package/listing.h"

#include <cstring>

#include "package/text.h"

namespace glimpack {
namespace {

std::string Padded(const std::string& text, size_t width, bool right) {
    if (text.size() >= width)
        return text;
    std::string pad(width - text.size(), ' ');
    return right ? pad + text : text + pad;
}

} // namespace

std::string FormatListingText(const InspectedPackage& pkg) {
    std::string title(pkg.header.title, strnlen(pkg.header.title, PAYLOAD_TITLE_SIZE));
    std::string out;
    out += "Package:           " + EscapeForDisplay(pkg.path, false) + "\n";
    out += "Title:             \"" + EscapeForDisplay(Windows1252ToUtf8(title), true) + "\"\n";
    out += "First file number: " + std::to_string(pkg.header.first_file_number) + "\n";
    out += "Records:           " + std::to_string(pkg.records.size()) + "\n\n";
    out += "    #  Role       Method          Stored    Unpacked      Offset  Destination\n";
    for (const InspectedRecord& r : pkg.records) {
        const PayloadRecord& p = r.record;
        std::string destination = r.destination.empty()
                                      ? "(not installed: " + r.destination_problem + ")"
                                      : EscapeForDisplay(r.destination, false);
        out += Padded(std::to_string(r.index), 5, true) + "  " + Padded(r.role, 9, false) + "  " +
               Padded(p.unpacked_size ? "compressed" : "stored", 10, false) + "  " +
               Padded(std::to_string(p.stored_size), 10, true) + "  " +
               Padded(p.unpacked_size ? std::to_string(p.unpacked_size) : "-", 10, true) + "  " +
               Padded(std::to_string(p.offset), 10, true) + "  " + destination + "\n";
        for (const std::string& problem : r.problems)
            out += "       problem: " + problem + "\n";
    }
    out += "\nInstalled total:   " + std::to_string(pkg.installed_total) + " bytes\n";
    return out;
}

std::string FormatListingJson(const InspectedPackage& pkg) {
    std::string title(pkg.header.title, strnlen(pkg.header.title, PAYLOAD_TITLE_SIZE));
    std::string out = "{\n";
    out += "  \"package\": " + JsonString(pkg.path) + ",\n";
    out += "  \"title\": " + JsonString(Windows1252ToUtf8(title)) + ",\n";
    out += "  \"first_file_number\": " + std::to_string(pkg.header.first_file_number) + ",\n";
    out += "  \"payload_offset\": " + std::to_string(pkg.location.payload_pos) + ",\n";
    out += "  \"records\": [";
    for (size_t i = 0; i < pkg.records.size(); i++) {
        const InspectedRecord& r = pkg.records[i];
        const PayloadRecord& p = r.record;
        size_t ext_length = strnlen(p.extension, PAYLOAD_EXTENSION_SIZE);
        out += i ? ",\n    {" : "\n    {";
        out += "\"index\": " + std::to_string(r.index);
        out += ", \"role\": " + JsonString(r.role);
        out += ", \"destination\": " +
               (r.destination.empty() ? std::string("null") : JsonString(r.destination));
        if (r.destination.empty())
            out += ", \"destination_problem\": " + JsonString(r.destination_problem);
        out += ", \"method\": \"" + std::string(p.unpacked_size ? "compressed" : "stored") + "\"";
        out += ", \"stored_size\": " + std::to_string(p.stored_size);
        out += ", \"unpacked_size\": " + std::to_string(p.unpacked_size);
        out += ", \"offset\": " + std::to_string(p.offset);
        out += ", \"extension\": " +
               JsonString(Windows1252ToUtf8(std::string(p.extension, ext_length)));
        out += ", \"problems\": [";
        for (size_t k = 0; k < r.problems.size(); k++)
            out += (k ? ", " : "") + JsonString(r.problems[k]);
        out += "]}";
    }
    out += pkg.records.empty() ? "],\n" : "\n  ],\n";
    out += "  \"installed_total\": " + std::to_string(pkg.installed_total) + "\n}\n";
    return out;
}

} // namespace glimpack
