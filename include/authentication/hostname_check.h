#ifndef AUTHENTICATION_HOSTNAME_CHECK_H
#define AUTHENTICATION_HOSTNAME_CHECK_H

#include <authentication/export.h>

#include <string>
#include <vector>

namespace ostrel {
namespace authentication {

// How the host's name fits a domain it is to join, found without changing anything on the
// host. A join refuses the host name when Problem() is not empty; otherwise it writes
// fullyQualifiedName with the alias shortName into the hosts file for the management address,
// and, when fullyQualifiedNameMatches is false and the domain resolves, adds the domain to the
// DNS search list first. A plain value.
struct TSLAUTH_EXPORT HostnameCheck {
    std::string domain;         // as given, no case change or trimming
    std::string hostName;       // what the system reports as the host's name
    std::string canonicalName;  // hostName resolved through the system resolver
    std::string shortName;      // hostName up to its first "."
    std::string expectedName;   // shortName + "." + domain
    // canonicalName, or expectedName when canonicalName has no "."
    std::string fullyQualifiedName;

    // The first label of canonicalName equals shortName, case included.
    bool shortNameMatches = false;
    // fullyQualifiedName equals expectedName without regard to case (global locale).
    bool fullyQualifiedNameMatches = false;
    // Whether the domain was looked up: only when the short name matches and the fully
    // qualified name does not, the one case in which a join acts on the answer.
    bool domainLookedUp = false;
    bool domainResolves = false;
    // shortName is one of "localhost", "linux", "hostname" (exact, case-sensitive).
    bool blacklisted = false;

    // Why a join would refuse this host name: "shortname does not match FQDN" or "hostname is
    // in blacklist" (checked in that order); empty when it would go on.
    std::string Problem() const;
};

// What a join did to make the host's name resolve, for a caller that shows it to the
// administrator: the warnings it also wrote to the system log, and each change to the host's
// files (a file whose bytes stayed the same counts as unchanged). A plain value.
struct TSLAUTH_EXPORT HostnameRepair {
    std::vector<std::string> warnings;  // as logged, without a line end
    std::string searchDomainAdded;      // the domain added to the DNS search list, or empty
    std::string hostsEntry;             // the hosts line written, without a line end, or empty
};

// Reads and resolves the host's name and compares it with the domain. Only reads: nothing on
// the host changes and nothing is logged. Throws InvalidHostNameException when the host name
// cannot be read ("unable to get hostname") or resolved ("hostname cannot be resolved", or
// the resolver's error text).
TSLAUTH_EXPORT HostnameCheck CheckHostnameForDomain(std::string const& domain);

}  // namespace authentication
}  // namespace ostrel

#endif
