#ifndef TOOLS_TSLAUTH_CHANGES_H
#define TOOLS_TSLAUTH_CHANGES_H

// What a command changed on the host, told the same way by every command that changes it:
// "tslauth: changed: LINE" on standard error for each change, and the "changes" array of its
// --json output. The lines are the library's (GetLastHostChanges).
#include <authentication/hostname_check.h>

#include <functional>
#include <string>
#include <vector>

#include "output.h"

namespace tslauth {

// Runs `operation`, a library call that can change the host, on this thread; then tells on
// standard error what it changed, also when it throws. When it throws and `json` is set,
// standard output gets {"changes": [...]} as well, before the error goes to standard error.
// `first` runs before the changes are told, either way (a join's warnings). Returns the
// changes.
std::vector<std::string> RunChangingHost(
    bool json, std::function<void()> const& operation, std::function<void()> const& first = nullptr,
    ostrel::authentication::HostnameRepair const* repair = nullptr);

// The lines on standard error.
void TellChanges(std::vector<std::string> const& changes);

// The JSON array: {"change": LINE} each, with "file": PATH for a change of a file ("VERB PATH"
// or "VERB PATH: ..."); the host-name repair's entries keep their "search_domain_added" and
// "line".
Json ChangesJson(std::vector<std::string> const& changes,
                 ostrel::authentication::HostnameRepair const* repair = nullptr);

}  // namespace tslauth

#endif
