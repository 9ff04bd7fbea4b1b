#include "package/build_policy.h"

#include <cstring>

#include "hostos/os.h"
#include "package/problems.h"
#include "package/session.h"
#include "package/verdict.h"

namespace glimpack {

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
