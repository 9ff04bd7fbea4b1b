// The findings a `--json` answer names, as "code@record" ("code" alone for
// the package as a whole), in order: what tests compare, so that they hold
// the tool to its codes and not to the wording of its texts.
#ifndef GLIM_TESTS_SUPPORT_PROBLEM_CODES_H
#define GLIM_TESTS_SUPPORT_PROBLEM_CODES_H

#include <regex>
#include <string>
#include <vector>

namespace problem_codes {

// The package-level "problems" of one object of list or test --json (the
// part before "records", which repeats them per record).
inline std::vector<std::string> Of(const std::string& json) {
    const std::string top = json.substr(0, json.find("\"records\""));
    std::vector<std::string> codes;
    static const std::regex kProblem(
        R"re(\{"code": "([a-z0-9-]+)", "text": "(?:[^"\\]|\\.)*"(?:, "record": (\d+))?\})re");
    for (std::sregex_iterator it(top.begin(), top.end(), kProblem), end; it != end; ++it)
        codes.push_back((*it)[1].str() + ((*it)[2].matched ? "@" + (*it)[2].str() : ""));
    return codes;
}

} // namespace problem_codes

#endif
