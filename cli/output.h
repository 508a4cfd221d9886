#ifndef TOOLS_TSLAUTH_OUTPUT_H
#define TOOLS_TSLAUTH_OUTPUT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tslauth {

// The --json outputs: members in the order they were added.
using Json = nlohmann::ordered_json;

// The command's JSON text of a value, on one line: ", " between members and elements, ": "
// after a key. Strings are escaped by nlohmann-json (control characters escaped, other bytes
// as they are; bytes that are not UTF-8 become U+FFFD).
std::string JsonText(Json const& value);

// The unified diff (three lines of context) that turns `before` into `after`, with the
// given file labels; empty when they are equal.
std::string UnifiedDiff(std::string const& before, std::string const& after,
                        std::string const& beforeLabel, std::string const& afterLabel);

}  // namespace tslauth

#endif
