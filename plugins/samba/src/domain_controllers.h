#ifndef SAMBA_PROVIDER_DOMAIN_CONTROLLERS_H
#define SAMBA_PROVIDER_DOMAIN_CONTROLLERS_H

// The addresses of a domain's DCs, from its DNS records (_ldap._tcp.dc._msdcs.DOMAIN and the
// targets' A and AAAA records), each query with a short deadline.
#include <string>
#include <vector>

namespace sambaprovider {

// In the order of the service records; empty when DNS gave none.
std::vector<std::string> DomainControllerAddresses(std::string const& dnsDomain);

// After a join: the joined domain's DCs written as "password server" unless preferred DCs are
// set. Logs and carries on when the configuration cannot be written.
void RecordDomainControllers();

}  // namespace sambaprovider

#endif
