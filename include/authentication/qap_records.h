#ifndef AUTHENTICATION_QAP_RECORDS_H
#define AUTHENTICATION_QAP_RECORDS_H

// Both records are plain values.

#include <authentication/export.h>

#include <string>

namespace ostrel {
namespace authentication {
namespace QAP {

// The domain a machine account is joined to, as the authentication proxy reports it. The
// provider hands the fields to its plug-in in this order.
struct TSLAUTH_EXPORT DirectoryDomainInfo {
    std::string reserved;
    std::string netBIOSDomainName;
    std::string dnsDomainName;
    std::string domainSID;
};

// A machine account that the authentication proxy created for this host; the account data
// is passed on to the provider unchanged. Fields reach the plug-in in this order.
struct TSLAUTH_EXPORT MachineAccountInfo {
    std::string hostName;
    std::string dnsDomainName;
    std::string reserved;
    std::string accountData1;
    std::string accountData2;
};

}  // namespace QAP
}  // namespace authentication
}  // namespace ostrel

#endif
