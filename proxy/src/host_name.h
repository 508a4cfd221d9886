#ifndef TSLAUTH_PROXYD_HOST_NAME_H
#define TSLAUTH_PROXYD_HOST_NAME_H

#include <string>

namespace proxyd {

// Whether `name` is DNS labels of 1 to 63 letters, digits and hyphens (none at either end of
// a label) joined by dots, at most 253 characters; false with the reason in `why` otherwise.
bool IsDnsName(std::string const& name, std::string& why);

// The computer account name (without "$") for a host name: its first label upper-cased.
// The host name is a DNS name (IsDnsName); the account name is at most 15 characters, not
// digits only and not a reserved name (KRBTGT, SYSTEM, ...). false
// with the reason in `why` otherwise.
bool AccountNameForHost(std::string const& hostName, std::string& account, std::string& why);

}  // namespace proxyd

#endif
