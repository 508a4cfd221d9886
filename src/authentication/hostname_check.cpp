// Reading the host's name and comparing it with a domain; nothing here changes the host.
#include <authentication/exceptions.h>
#include <authentication/hostname_check.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <locale>

#include "host_names.h"

namespace ostrel {
namespace authentication {

namespace {

char const kShortNameMismatch[] = "shortname does not match FQDN";
char const kBlacklisted[] = "hostname is in blacklist";

// Host names that distributions leave in place when nobody named the host.
bool IsBlacklisted(std::string const& shortName) {
    static char const* const blacklist[] = {"localhost", "linux", "hostname"};
    for (char const* name : blacklist) {
        if (shortName == name) return true;
    }
    return false;
}

bool EqualIgnoringCase(std::string const& a, std::string const& b) {
    if (a.size() != b.size()) return false;
    std::locale const global;
    std::ctype<char> const& ctype = std::use_facet<std::ctype<char> >(global);
    for (std::string::size_type i = 0; i < a.size(); ++i) {
        if (ctype.toupper(a[i]) != ctype.toupper(b[i])) return false;
    }
    return true;
}

bool DomainResolves(std::string const& domain) {
    // Only the presence of an answer matters, so the shared result is never read.
    return gethostbyname(domain.c_str()) != nullptr;
}

}  // namespace

std::string GetHostname() {
    char buffer[65];
    buffer[64] = '\0';
    if (gethostname(buffer, 64) != 0) throw InvalidHostNameException("unable to get hostname");
    return std::string(buffer);
}

std::string ResolveHostname(std::string const& name) {
    struct hostent entry;
    struct hostent* result = nullptr;
    char buffer[1024];
    int error = 0;
    if (gethostbyname_r(name.c_str(), &entry, buffer, sizeof buffer, &result, &error) != 0) {
        throw InvalidHostNameException(hstrerror(error));
    }
    if (result == nullptr || result->h_name == nullptr) {
        throw InvalidHostNameException("hostname cannot be resolved");
    }
    return std::string(result->h_name);
}

std::string ShortName(std::string const& name) {
    return name.substr(0, name.find('.'));
}

std::string HostnameCheck::Problem() const {
    if (!shortNameMatches) return kShortNameMismatch;
    if (blacklisted) return kBlacklisted;
    return std::string();
}

HostnameCheck CheckHostnameForDomain(std::string const& domain) {
    HostnameCheck check;
    check.domain = domain;
    check.hostName = GetHostname();
    // The full name is resolved, before any shortening.
    check.canonicalName = ResolveHostname(check.hostName);
    check.shortName = ShortName(check.hostName);
    check.shortNameMatches = ShortName(check.canonicalName) == check.shortName;
    check.expectedName = check.shortName + "." + domain;
    check.fullyQualifiedName = check.canonicalName.find('.') == std::string::npos
                                   ? check.expectedName
                                   : check.canonicalName;
    check.fullyQualifiedNameMatches =
        EqualIgnoringCase(check.fullyQualifiedName, check.expectedName);
    if (check.shortNameMatches && !check.fullyQualifiedNameMatches) {
        check.domainLookedUp = true;
        check.domainResolves = DomainResolves(domain);
    }
    check.blacklisted = IsBlacklisted(check.shortName);
    return check;
}

}  // namespace authentication
}  // namespace ostrel
