#ifndef AUTHENTICATION_JOIN_PREFLIGHT_H
#define AUTHENTICATION_JOIN_PREFLIGHT_H

// PreflightCheck is a plain value.

#include <authentication/export.h>

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel {
namespace authentication {

// The longest short host name a directory keeps whole as a computer account name; longer
// names are cut, so that two hosts may end up sharing one account.
constexpr std::size_t kNetBIOSNameMaxLength = 15;

// Whether the short name fits a computer account name without being cut.
TSLAUTH_EXPORT bool FitsNetBIOSName(std::string const& shortName);

// One check a join would make, with what to do when it fails.
struct TSLAUTH_EXPORT PreflightCheck {
    std::string name;  // what is checked, e.g. "short name matches the resolved name"
    bool passed = false;
    std::string detail;  // the values compared
    std::string hint;    // what to fix; empty when passed
};

// The host-name checks of CheckHostnameForDomain, whether the domain resolves and the
// NetBIOS length limit, in that order. Only reads: nothing on the host changes and nothing
// is logged. A host name that cannot be read or resolved is a failed check, not an
// exception.
TSLAUTH_EXPORT std::vector<PreflightCheck> PreflightJoin(std::string const& domain);

}  // namespace authentication
}  // namespace ostrel

#endif
