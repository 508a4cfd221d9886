#ifndef AUTHENTICATION_HOST_NAMES_H
#define AUTHENTICATION_HOST_NAMES_H

#include <string>

namespace ostrel {
namespace authentication {

// The host's name as the system reports it. Throws InvalidHostNameException.
std::string GetHostname();

// The canonical name the system resolver gives for `name`. Throws InvalidHostNameException.
std::string ResolveHostname(std::string const& name);

// Whether the system resolver has an address for `name` (getaddrinfo, safe in any thread).
// Preflight and the join ask through this one function, so they cannot disagree.
bool NameResolves(std::string const& name);

// `name` up to, not including, its first "."; all of it when it has none.
std::string ShortName(std::string const& name);

}  // namespace authentication
}  // namespace ostrel

#endif
