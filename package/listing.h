// The `list` output for a package read by InspectPackage: text for people
// (control characters escaped) or one JSON object.
#ifndef GLIM_PACKAGE_LISTING_H
#define GLIM_PACKAGE_LISTING_H

#include <string>

#include "package/read.h"

namespace glimpack {

// With `digests`, each record's digests (InspectedPackage::digest_algorithms)
// on lines of their own below it.
std::string FormatListingText(const InspectedPackage& package, bool digests = false);
// "OK (4 records)" or "1 of 4 records has problems".
std::string VerdictLine(const InspectedPackage& package);
std::string FormatListingJson(const InspectedPackage& package);
// What --json gives for a file that could not be read as a package at all
// (missing, unreadable, not a package, cut short): the same object with
// "ok": false and the problems that say why, and nothing else.
std::string FormatUnreadableJson(const std::string& path, const std::vector<Problem>& problems);
// A destination as list, test and extract show it: as Windows will store
// it, with the installer's own name for it when that differs;
// "(not installed)" for none.
std::string DestinationForDisplay(const Destination& destination);

} // namespace glimpack

#endif
