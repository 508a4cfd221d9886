#ifndef QAP_CLIENT_MESSAGES_H
#define QAP_CLIENT_MESSAGES_H

#include <string>

#include "exchange.h"

namespace qapclient {

struct DomainInfo {
    std::string netbiosName;
    std::string dnsName;
    std::string sid;
};

struct MachineAccount {
    std::string account;
    std::string provisioning;
};

// The body of POST /v1/machine-accounts; no container asks for the service's default.
// Throws Failure (87) for text that JSON cannot carry (not UTF-8).
std::string MachineAccountRequest(char const* hostName, char const* container);

// A 200 answer to GET /v1/domain and a 201 answer to POST /v1/machine-accounts. Any other
// answer is the service's refusal: its JSON status is thrown as a Failure, or 1359 when the
// answer is not what the protocol says.
DomainInfo ReadDomainInfo(Answer const& answer);
MachineAccount ReadMachineAccount(Answer const& answer);

}  // namespace qapclient

#endif
