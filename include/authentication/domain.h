#ifndef AUTHENTICATION_DOMAIN_H
#define AUTHENTICATION_DOMAIN_H

// A plain value.

#include <authentication/export.h>

#include <iosfwd>
#include <string>

namespace ostrel {
namespace authentication {

// An Active Directory domain by its two names; either may be empty when unknown.
class TSLAUTH_EXPORT Domain {
public:
    Domain();
    Domain(Domain const& other);
    Domain(std::string const& dnsName, std::string const& netbiosName);
    Domain& operator=(Domain const& other);
    ~Domain();

    bool operator==(Domain const& other) const;
    bool operator!=(Domain const& other) const { return !(*this == other); }

    std::string dnsName;
    std::string netbiosName;
};

// "DNS Name: <dns>, NetBIOS Name: <netbios>", "(unset)" for an empty name, no line end.
TSLAUTH_EXPORT std::ostream& operator<<(std::ostream& stream, Domain const& domain);

}  // namespace authentication
}  // namespace ostrel

#endif
