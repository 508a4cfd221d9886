#ifndef SAMBA_HELPER_PREFERRED_DC_H
#define SAMBA_HELPER_PREFERRED_DC_H

#include <string>
#include <vector>

namespace sambahelper {

// The DNS host name of the first of `servers` (names or addresses, in order) whose root
// entry, read anonymously over LDAP, names it a DC of `dnsDomain`; empty when none does.
// Each server gets at most a few seconds, also one that accepts connections and never
// answers.
std::string FirstAnsweringDC(std::vector<std::string> const& servers, std::string const& dnsDomain);

}  // namespace sambahelper

#endif
