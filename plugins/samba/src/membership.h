#ifndef SAMBA_PROVIDER_MEMBERSHIP_H
#define SAMBA_PROVIDER_MEMBERSHIP_H

#include <tslauth/active_directory_client.h>

#include <string>
#include <utility>
#include <vector>

#include "member_config.h"

namespace sambaprovider {

// The host's membership as the configuration and the machine secrets tell it.
struct Membership {
    MemberConfig config;
    bool joined = false;
};

// Throws std::runtime_error when the configuration cannot be read.
Membership CurrentMembership();

// Whether `domain` names the joined domain (its DNS or NetBIOS name, any case).
bool IsJoinedDomain(Membership const& membership, char const* domain);

// The joined domain's trusts of other Active Directory domains, as (DNS name, NetBIOS name).
ADStatus ListTrustsOverLdap(Membership const& membership,
                            std::vector<std::pair<std::string, std::string> >& trusted);

// The direction of the joined domain's trust of `domain` (its DNS or NetBIOS name) as the
// directory holds it: 1 inbound, 2 outbound, 3 both; 0 when it has no such trust.
ADStatus TrustDirectionOverLdap(Membership const& membership, std::string const& domain,
                                uint32_t& direction);

}  // namespace sambaprovider

#endif
