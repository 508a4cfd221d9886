#include "preferred_dc.h"

#include <ldap.h>
#include <strings.h>
#include <sys/time.h>

#include <string>

#include "host_state.h"
#include "machine_ldap.h"

namespace sambahelper {

using sambaprovider::AttributeValue;
using sambaprovider::DomainDN;
using sambaprovider::Lower;

namespace {

int const kConnectSeconds = 2;
int const kAnswerSeconds = 3;

// The server's DNS host name when its root entry says it serves the domain, else empty.
std::string RootEntryHostName(std::string const& server, std::string const& dnsDomain) {
    bool const literalV6 = server.find(':') != std::string::npos;
    std::string const uri = "ldap://" + (literalV6 ? "[" + server + "]" : server);
    LDAP* ldap = nullptr;
    if (ldap_initialize(&ldap, uri.c_str()) != LDAP_SUCCESS || ldap == nullptr) return "";
    int version = LDAP_VERSION3;
    timeval connect = {kConnectSeconds, 0}, answer = {kAnswerSeconds, 0};
    ldap_set_option(ldap, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ldap, LDAP_OPT_NETWORK_TIMEOUT, &connect);
    ldap_set_option(ldap, LDAP_OPT_TIMEOUT, &answer);
    ldap_set_option(ldap, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    char dnsHostName[] = "dnsHostName", namingContext[] = "defaultNamingContext";
    char* attributes[] = {dnsHostName, namingContext, nullptr};
    LDAPMessage* result = nullptr;
    std::string name;
    if (ldap_search_ext_s(ldap, "", LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                          nullptr, &answer, 1, &result) == LDAP_SUCCESS) {
        LDAPMessage* entry = ldap_first_entry(ldap, result);
        if (entry != nullptr &&
            Lower(AttributeValue(ldap, entry, namingContext)) == Lower(DomainDN(dnsDomain))) {
            name = Lower(AttributeValue(ldap, entry, dnsHostName));
        }
    }
    if (result != nullptr) ldap_msgfree(result);
    ldap_unbind_ext_s(ldap, nullptr, nullptr);
    return name;
}

}  // namespace

std::string FirstAnsweringDC(std::vector<std::string> const& servers,
                             std::string const& dnsDomain) {
    for (std::string const& server : servers) {
        std::string const name = RootEntryHostName(server, dnsDomain);
        if (!name.empty()) return name;
    }
    return "";
}

}  // namespace sambahelper
