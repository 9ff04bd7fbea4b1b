// The glimpack commands (listed in commands.def). Each takes the arguments
// after its own name and returns the process exit code by the one rule of
// tools/glimpack/cli.h: 0 all good, 1 the command line, 2 a package, a file
// or the system.
#ifndef GLIM_TOOLS_GLIMPACK_COMMANDS_H
#define GLIM_TOOLS_GLIMPACK_COMMANDS_H

#include <string>

#include "package/read.h"
#include "tools/glimpack/cli.h"

namespace glimpack {

// A package read with its verdict (package/verdict.h), every record's
// contents checked (with the `digests` of each), progress shown meanwhile
// unless `quiet`.
// With `json` (may be null), a package that cannot be read at all still
// gets its object there, with the findings that say why, before the
// refusal goes on to the caller.
InspectedPackage ReadAndJudge(const std::string& package, const Limits& limits,
                              const std::vector<hostos::DigestAlgorithm>& digests, bool quiet,
                              JsonList* json = nullptr);

// What extract does for one package, for scan --extract: every record of the
// package `session` holds written below `target`, the folder the session
// was opened to see as the Windows directory; a package with any problem is
// refused before anything is written, and a failure leaves nothing behind.
// With `salvage`, each record that cannot be written is named and left out
// instead; returns how many were.
class PackageSession;
size_t ExtractEveryRecord(PackageSession& session, const std::string& target, bool quiet,
                          bool salvage);

int CmdPack(int argc, char** argv);
int CmdList(int argc, char** argv);
int CmdExtract(int argc, char** argv);
int CmdTest(int argc, char** argv);
int CmdScan(int argc, char** argv);
int CmdCompress(int argc, char** argv);
int CmdDecompress(int argc, char** argv);
int CmdFixStub(int argc, char** argv);
int CmdHelp(int argc, char** argv);

} // namespace glimpack

#endif
