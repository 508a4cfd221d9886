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

}  // namespace sambaprovider

#endif
