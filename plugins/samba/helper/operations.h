#ifndef SAMBA_HELPER_OPERATIONS_H
#define SAMBA_HELPER_OPERATIONS_H

#include <cstdint>
#include <string>

#include "netapi_session.h"
#include "wire.h"

namespace sambahelper {

using sambaprovider::Fields;

// A request's field, empty when the request has none.
std::string Field(Fields const& request, char const* key);

// Each takes the request's fields, fills the answer's and returns a Windows-style status.
// The answer's "error" field says what failed, for the plug-in's log.
uint32_t Join(Fields const& request, Fields& answer);
uint32_t OfflineJoin(Fields const& request, Fields& answer);
uint32_t Leave(Fields const& request, Fields& answer);
uint32_t FindDomainController(Fields const& request, Fields& answer);
// Creates a computer account for another host and answers the provisioning text that the
// host's offline join takes (for an enrolment service that joins hosts on their behalf).
uint32_t Provision(Fields const& request, Fields& answer);
// The same in a session that serves one provisioning after another (its connections to the DC
// kept); `checkFailed` tells a failure of the question whether the name is free, made before
// anything was created.
uint32_t Provision(NetapiSession& session, Fields const& request, Fields& answer,
                   bool& checkFailed);
// The domain's NetBIOS name, DNS name and SID, asked of a DC with the request's credentials.
uint32_t DomainInfo(Fields const& request, Fields& answer);
// Deletes the computer account "account" that Provision made, on the DC "dc" (else any
// writable DC); an account that is not there is no failure ("deleted" says which).
uint32_t Unprovision(Fields const& request, Fields& answer);

}  // namespace sambahelper

#endif
