#ifndef TOOLS_TSLAUTH_OUTPUT_H
#define TOOLS_TSLAUTH_OUTPUT_H

#include <string>
#include <vector>

namespace tslauth {

// A JSON string literal, quotes included.
std::string JsonString(std::string const& text);
// A JSON array of strings.
std::string JsonStrings(std::vector<std::string> const& texts);

// The unified diff (three lines of context) that turns `before` into `after`, with the
// given file labels; empty when they are equal.
std::string UnifiedDiff(std::string const& before, std::string const& after,
                        std::string const& beforeLabel, std::string const& afterLabel);

}  // namespace tslauth

#endif
