#ifndef SAMBA_PROVIDER_STATUSES_H
#define SAMBA_PROVIDER_STATUSES_H

// The Windows-style statuses this provider reports, and those Samba's libraries answer with.
#include <cstdint>

namespace sambaprovider {

// Reported to the library.
uint32_t const kFileNotFound = 2;
uint32_t const kAccessDenied = 5;
uint32_t const kInvalidParameter = 87;
uint32_t const kDirectoryInvalid = 267;
uint32_t const kServiceNotActive = 1062;  // winbindd is not running
uint32_t const kInvalidComputerName = 1210;
uint32_t const kInvalidDomainName = 1212;
uint32_t const kNoLogonServers = 1311;
uint32_t const kInvalidAccountName = 1315;
uint32_t const kAccountExists = 1316;
uint32_t const kNoSuchUser = 1317;
uint32_t const kLogonFailure = 1326;
uint32_t const kNoSuchDomain = 1355;
uint32_t const kInternalError = 1359;
uint32_t const kNoTrustSamAccount = 1787;
uint32_t const kAccountLockedOut = 1909;
uint32_t const kAlreadyJoined = 2691;
uint32_t const kNotJoined = 2692;
uint32_t const kTimedOut = 10060;

// Answered by libnetapi.
uint32_t const kSemaphoreTimeout = 121;   // a DC that stopped answering in mid-call
uint32_t const kNetConnectFailed = 1003;  // "failed to connect to IPC$"
uint32_t const kNetUserNotFound = 2221;
uint32_t const kNoneMapped = 1332;  // NetUserGetInfo of a name the domain does not have
uint32_t const kDcNotFound = 2453;
uint32_t const kSetupNotJoinedOu = 2694;  // the container does not exist
uint32_t const kInvalidProvisioningData = 2710;
uint32_t const kJoinPerformedMustRestart = 2713;  // an offline join's success

}  // namespace sambaprovider

#endif
