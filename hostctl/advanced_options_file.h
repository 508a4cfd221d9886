#ifndef HOSTCTL_SRC_ADVANCED_OPTIONS_FILE_H
#define HOSTCTL_SRC_ADVANCED_OPTIONS_FILE_H

#include <hostctl/advanced_options.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>

namespace HostCtl {
namespace Adv {

struct AdvancedBranchNode {
    std::map<std::string, std::shared_ptr<AdvancedBranchNode const>> branches;
    std::map<std::string, std::variant<std::int64_t, std::string>> options;
};

// Parses the advanced options file, one option a line:
//
//     Branch.Option = int:VALUE
//     Branch.Sub.Option = string:VALUE
//
// Blank lines and lines whose first non-blank character is '#' are ignored. A name has at
// least a branch and an option, its parts made of letters, digits, '_' and '-'. Blanks
// around the name, the '=' and the typed value are ignored; a string value is the rest of the
// line after "string:", an integer a signed decimal of 64 bits. Anything else, or an option
// defined twice, throws HostCtlException naming `path` and the line: a wrong value is never
// guessed at.
std::shared_ptr<AdvancedBranchNode const> ParseAdvancedOptions(std::string const& path,
                                                               std::string const& content);

}  // namespace Adv
}  // namespace HostCtl

#endif
