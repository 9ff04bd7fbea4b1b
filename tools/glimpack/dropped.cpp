#include "tools/glimpack/dropped.h"

#include <cstdio>
#include <vector>

#include "hostos/os.h"
#include "package/text.h"
#include "tools/glimpack/commands.h"

namespace glimpack {

bool IsDroppedFile(const std::string& argument) {
    return !argument.empty() && argument[0] != '-' &&
           hostos::GetStatus(argument, true).kind == hostos::Kind::Regular;
}

int ExtractDropped(const std::string& package) {
    std::string name = hostos::FileNamePart(package);
    std::string folder = hostos::DirectoryPart(package);
    Print(stdout, "glimpack: extracting %s\n", EscapeForDisplay(package, false).c_str());
    // `extract` makes its new folder in the current one: the package's.
    if (!folder.empty() && !hostos::ChangeDirectory(folder)) {
        const int error = hostos::LastError();
        ReportError("glimpack: " + folder + ": " + hostos::ErrorText(error));
        return kExitBadInput;
    }
    std::vector<char> arg(name.begin(), name.end());
    arg.push_back('\0');
    char* argv[] = {arg.data(), nullptr};
    return RunCommand("extract", CmdExtract, 1, argv);
}

} // namespace glimpack
