// The `list` output for a package read by InspectPackage: text for people
// (control characters escaped) or one JSON object.
#ifndef GLIM_PACKAGE_LISTING_H
#define GLIM_PACKAGE_LISTING_H

#include <string>

#include "package/read.h"

namespace glimpack {

std::string FormatListingText(const InspectedPackage& package);
// "OK (4 records)" or "1 of 4 records has problems".
std::string VerdictLine(const InspectedPackage& package);
std::string FormatListingJson(const InspectedPackage& package);

} // namespace glimpack

#endif
