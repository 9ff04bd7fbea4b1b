#include "package/build_policy.h"

#include <cstring>

#include "base/windows_names.h"
#include "hostos/os.h"
#include "package/problems.h"
#include "package/session.h"
#include "package/text.h"
#include "package/verdict.h"

namespace glimpack {

namespace {

// Why Windows cannot hold `name` as the name of a file, or "" when it can.
// The package is built on this system, but it is saved, copied and run on
// Windows under this name, which also names what it installs.
std::string WindowsNameProblem(const std::string& name) {
    std::vector<unsigned int> units;
    for (size_t pos = 0; pos < name.size();) {
        uint32_t code_point = 0;
        size_t length = DecodeUnicode(name, pos, &code_point);
        if (length == 0)
            return "it is not UTF-8";
        units.push_back(code_point);
        pos += length;
    }
    if (WithoutTrailingDotsAndBlanks(units.data(), units.size()) != units.size())
        return "it ends in a dot or a blank, which Windows drops";
    size_t at = 0;
    switch (WindowsNameFaultOf(units.data(), units.size(), &at)) {
    case WINDOWS_NAME_PLAIN:
        break;
    case WINDOWS_NAME_EMPTY:
        return "it is empty";
    case WINDOWS_NAME_FORBIDDEN_CHARACTER: {
        std::string character;
        hostos::AppendUtf8(character, units[at]);
        return "it holds a character Windows does not allow in names (\"" +
               EscapeForDisplay(character, false) + "\")";
    }
    case WINDOWS_NAME_DEVICE:
        return "it is a device name on Windows";
    }
    return "";
}

} // namespace

std::vector<PackInput> PlanInputs(const std::string& output, uint16_t first_number,
                                  const std::vector<std::string>& data_files) {
    std::vector<PackInput> inputs(data_files.size() + 2);
    std::memcpy(inputs[0].extension, ".SCR", PAYLOAD_EXTENSION_SIZE);
    std::memcpy(inputs[1].extension, ".DAT", PAYLOAD_EXTENSION_SIZE);
    for (size_t i = 0; i < data_files.size(); i++)
        ExtensionFromFileName(data_files[i], inputs[i + 2].extension);

    // The records the package will have, as far as their names go: the
    // verdict's own judgement of destinations, asked before anything large
    // is read.
    InspectedPackage planned;
    planned.module_path = ModulePathFor(hostos::FileNamePart(output));
    planned.header.first_file_number = first_number;
    for (size_t i = 0; i < inputs.size(); i++) {
        InspectedRecord r;
        r.index = uint32_t(i);
        std::memcpy(r.record.extension, inputs[i].extension, PAYLOAD_EXTENSION_SIZE);
        planned.records.push_back(r);
    }
    JudgeDestinations(planned);
    if (!planned.Sound())
        Refuse(output, planned.AllProblems(), "");
    // What the destinations do not show: the package's own name, which a
    // Windows user must be able to save it under.
    if (std::string problem = WindowsNameProblem(hostos::FileNamePart(output)); !problem.empty())
        Refuse(output, ProblemCode::kPackageNameNotWindows, {problem});
    return inputs;
}

void CheckBuiltPackage(const std::string& built_path, const std::string& output,
                       const Limits& limits, const CheckProgress& progress) {
    PackageSession::Options options;
    options.limits = limits;
    options.as_name = hostos::FileNamePart(output);
    PackageSession session(built_path, options);
    const uint64_t total = session.package().installed_bytes;
    std::function<void(uint64_t)> each;
    if (progress)
        each = [&progress, total](uint64_t bytes) { progress(bytes, total); };
    session.CheckAllContents(each);
    if (!session.package().Sound()) {
        std::vector<Problem> problems = {Problem{ProblemCode::kBuiltPackageFails, {}, {}}};
        for (const Problem& p : session.package().AllProblems())
            problems.push_back(p);
        Refuse(output, problems, "");
    }
}

void BuildCheckedPackage(const PackOptions& options, PackTarget& target, const Limits& limits,
                         const CheckProgress& check_progress) {
    BuildPackage(options, target);
    const std::string built = target.Finish();
    CheckBuiltPackage(built, options.output, limits, check_progress);
}

} // namespace glimpack
