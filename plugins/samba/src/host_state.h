#ifndef SAMBA_PROVIDER_HOST_STATE_H
#define SAMBA_PROVIDER_HOST_STATE_H

#include <string>

#include "letter_case.h"

namespace sambaprovider {

// The computer account's name for this host: its short host name in upper case. Empty when
// the name cannot be an account name (1 to 15 letters, digits and hyphens), so that two
// hosts never share an account by truncation.
std::string AccountNameForHost();

// Whether this host holds a machine password for the workgroup. The machine secrets are the
// truth; winbind's cached view and the configuration file are not.
bool HoldsMachineSecret(std::string const& workgroup);
// One value of the machine secrets as text ("" when missing), without its terminating NUL.
std::string ReadMachineSecret(std::string const& key);

// "corp.example" -> "DC=corp,DC=example"
std::string DomainDN(std::string const& dnsDomain);
// A DC name as Samba returns it (\\\\NAME), without the backslashes; "" for NULL.
std::string StripBackslashes(char const* name);
// A container as the join takes it: a DN without the domain's components gets them
// appended; a path ("Hosts/Linux") is passed on as it is.
std::string CompleteContainer(std::string const& container, std::string const& dnsDomain);

}  // namespace sambaprovider

#endif
