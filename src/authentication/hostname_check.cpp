// Reading the host's name and comparing it with a domain; nothing here changes the host.
#include <authentication/exceptions.h>
#include <authentication/hostname_check.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <locale>
#include <vector>

#include "host_names.h"

namespace ostrel {
namespace authentication {

namespace {

std::size_t const kMaxResolverBuffer = 1 << 20;

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
    // A hosts line with many aliases or addresses needs more room than the usual answer;
    // the buffer grows until the answer fits.
    std::vector<char> buffer(1024);
    int error = 0;
    int status = 0;
    while ((status = gethostbyname_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result,
                                     &error)) == ERANGE &&
           buffer.size() < kMaxResolverBuffer) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        throw InvalidHostNameException(status == ERANGE ? std::strerror(ERANGE) : hstrerror(error));
    }
    if (result == nullptr || result->h_name == nullptr) {
        throw InvalidHostNameException("hostname cannot be resolved");
    }
    return std::string(result->h_name);
}

bool NameResolves(std::string const& name) {
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return false;
    freeaddrinfo(result);
    return true;
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
        check.domainResolves = NameResolves(domain);
    }
    check.blacklisted = IsBlacklisted(check.shortName);
    return check;
}

}  // namespace authentication
}  // namespace ostrel
