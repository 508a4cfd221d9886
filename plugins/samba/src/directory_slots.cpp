// Answers read from the directory itself over LDAP: the machine account's DN, and the
// trusted domains when winbindd is not there to list them.
#include <plugin_results.h>
#include <syslog.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "machine_ldap.h"
#include "slots.h"
#include "statuses.h"

namespace sambaprovider {

using pluginresults::CopyString;
using pluginresults::FreeString;

namespace {

std::string FirstValue(LDAP* ldap, LDAPMessage* entry, char const* attribute) {
    berval** values = ldap_get_values_len(ldap, entry, attribute);
    std::string value;
    if (values != nullptr && values[0] != nullptr) {
        value.assign(values[0]->bv_val, values[0]->bv_len);
    }
    if (values != nullptr) ldap_value_free_len(values);
    return value;
}

}  // namespace

ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator) {
    if (dn == nullptr || deallocator == nullptr) return kInvalidParameter;
    *deallocator = FreeString;
    *dn = nullptr;
    Membership membership;
    try {
        membership = CurrentMembership();
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "Samba provider: %s", error.what());
        return kAccessDenied;
    }
    if (!membership.joined) return 0;  // not joined: no DN
    std::string const account = membership.config.netbiosName + "$";
    std::string found;
    ADStatus status = WithMachineLdap(membership, [&](LDAP* ldap, std::string const& base) {
        LDAPMessage* result = nullptr;
        ADStatus searched =
            SearchLdap(ldap, base, "(sAMAccountName=" + account + ")", {"1.1"}, result);
        LDAPMessage* entry = result != nullptr ? ldap_first_entry(ldap, result) : nullptr;
        char* name = entry != nullptr ? ldap_get_dn(ldap, entry) : nullptr;
        if (name != nullptr) {
            found = name;
            ldap_memfree(name);
        }
        if (result != nullptr) ldap_msgfree(result);
        if (searched != 0) return searched;
        return found.empty() ? kNoTrustSamAccount : 0u;
    });
    if (status != 0) return status;
    *dn = CopyString(found);
    return *dn != nullptr ? 0 : 8;
}

ADStatus ListTrustsOverLdap(Membership const& membership,
                            std::vector<std::pair<std::string, std::string> >& trusted) {
    return WithMachineLdap(membership, [&](LDAP* ldap, std::string const& base) {
        LDAPMessage* result = nullptr;
        // Trust type 2: another Active Directory domain (1 is an NT4 domain, 3 a realm).
        ADStatus searched =
            SearchLdap(ldap, "CN=System," + base, "(&(objectClass=trustedDomain)(trustType=2))",
                       {"trustPartner", "flatName"}, result);
        for (LDAPMessage* entry = result != nullptr ? ldap_first_entry(ldap, result) : nullptr;
             entry != nullptr; entry = ldap_next_entry(ldap, entry)) {
            trusted.emplace_back(FirstValue(ldap, entry, "trustPartner"),
                                 FirstValue(ldap, entry, "flatName"));
        }
        if (result != nullptr) ldap_msgfree(result);
        return searched;
    });
}

ADStatus TrustDirectionOverLdap(Membership const& membership, std::string const& domain,
                                uint32_t& direction) {
    direction = 0;
    // A domain name never needs escaping in a filter: anything else is no trusted domain.
    if (domain.empty() ||
        domain.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "abcdefghijklmnopqrstuvwxyz0123456789.-_") != std::string::npos) {
        return 0;
    }
    return WithMachineLdap(membership, [&](LDAP* ldap, std::string const& base) {
        LDAPMessage* result = nullptr;
        ADStatus searched =
            SearchLdap(ldap, "CN=System," + base,
                       "(&(objectClass=trustedDomain)(trustType=2)(|(trustPartner=" + domain +
                           ")(flatName=" + domain + ")))",
                       {"trustDirection"}, result);
        LDAPMessage* entry = result != nullptr ? ldap_first_entry(ldap, result) : nullptr;
        if (entry != nullptr) {
            direction = static_cast<uint32_t>(
                std::strtoul(FirstValue(ldap, entry, "trustDirection").c_str(), nullptr, 10) & 3);
        }
        if (result != nullptr) ldap_msgfree(result);
        return searched;
    });
}

}  // namespace sambaprovider
