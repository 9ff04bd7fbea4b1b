// The one verdict on a package: what is wrong with it, decided the same way
// for list, test, extract, pack (on the package it is about to publish) and
// the browser page, all of which read packages through a package session
// (package/session.h). Three stages, each as cheap as it can be:
//
//  1. Not a package at all (opening the session throws): not a PE file, no
//     "LASTRES" resource first in the resource directory, a payload header
//     or record table cut short by the end of the file, no saver record.
//  2. Structure, without decoding anything (the session's opening): bodies
//     outside the file, out of order or over the record table; destinations
//     the installer cannot write safely (unsafe extensions, device names,
//     names too long, two records on one file); records over the size limit
//     or claiming more than their stored bytes can ever decode to; bodies
//     beyond the 2 GiB the installer can seek.
//  3. Contents (JudgeContents, on what the session read): every stored body
//     read and every stream decoded in full, stopping as soon as a stream has
//     used its stored bytes.
//
// The verdict only judges what it is given; it reads nothing itself.
#ifndef GLIM_PACKAGE_VERDICT_H
#define GLIM_PACKAGE_VERDICT_H

#include <string>

#include "package/read.h"

namespace glimpack {

// Stage 2 on a package whose record table was read, from scratch: what an
// earlier judgement found (under other limits, say) is forgotten.
void JudgeStructure(InspectedPackage& pkg, const Limits& limits);
// The part of stage 2 that needs only the package's name, its first file
// number and the records' extensions: each record's destination, or why it
// has none. `pack` asks it before it reads any input.
void JudgeDestinations(InspectedPackage& pkg);

// Stage 3 for one record without structural problems, whose contents were
// read in full as `read`: adds what is wrong with them to its problems, and
// keeps their CRC-32 when nothing is.
void JudgeContents(InspectedRecord& record, const StreamResult& read);

} // namespace glimpack

#endif
