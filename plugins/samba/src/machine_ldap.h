#ifndef SAMBA_PROVIDER_MACHINE_LDAP_H
#define SAMBA_PROVIDER_MACHINE_LDAP_H

// LDAP searches in the joined domain, bound as this host's machine account.
#include <ldap.h>
#include <tslauth/active_directory_client.h>

#include <functional>
#include <string>
#include <vector>

#include "member_config.h"
#include "membership.h"

namespace sambaprovider {

// Called with the bound handle and the domain's DN; returns a status.
using LdapWork = std::function<ADStatus(LDAP*, std::string const&)>;

// Finds a DC, gets the machine's ticket from the keytab and binds; then runs the work.
ADStatus WithMachineLdap(Membership const& membership, LdapWork const& work);

// The same with a known DC, as the machine account of `config`: with its password when one
// is given, else from the keytab.
ADStatus WithLdapAs(std::string const& dc, MemberConfig const& config, std::string const* password,
                    LdapWork const& work);

// A subtree search; `found` is the result chain to free with ldap_msgfree (NULL when the
// base does not exist). 1311 when the search failed.
ADStatus SearchLdap(LDAP* ldap, std::string const& base, std::string const& filter,
                    std::vector<char const*> attributes, LDAPMessage*& found);

// An entry's first value of the attribute as text; "" when it has none.
std::string AttributeValue(LDAP* ldap, LDAPMessage* entry, char const* attribute);

}  // namespace sambaprovider

#endif
