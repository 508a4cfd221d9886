// Joining with the credentials of an account that may add computers, and leaving.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>

#include <string>

#include "change_record.h"

namespace ostrel {
namespace authentication {

void ActiveDirectoryStore::JoinDomain(std::string const& domain, Credentials const& credentials,
                                      bool skipHostnameCheck) {
    HostnameRepair repair;
    JoinDomain(domain, credentials, skipHostnameCheck, repair);
}

void ActiveDirectoryStore::JoinDomain(std::string const& domain, Credentials const& credentials,
                                      bool skipHostnameCheck, HostnameRepair& repair) {
    JoinDomain(domain, credentials, skipHostnameCheck, repair, JoinOptions());
}

void ActiveDirectoryStore::JoinDomain(std::string const& domain, Credentials const& credentials,
                                      bool skipHostnameCheck, HostnameRepair& repair,
                                      JoinOptions const& options) {
    ChangeRecord record;
    // An empty user name may be meaningful to the plug-in; an empty password never is.
    if (credentials.userName == nullptr) {
        throw InvalidCredentialsException("no username was specified");
    }
    if (credentials.password == nullptr || *credentials.password == '\0') {
        throw InvalidCredentialsException(
            "empty or no password was specified; the account must have a non-empty password to "
            "join the host to domain");
    }

    // "domain/container": the container keeps any further "/".
    std::string::size_type const slash = domain.find('/');
    std::string const domainName = domain.substr(0, slash);
    std::string const computerContainer =
        slash == std::string::npos ? std::string() : domain.substr(slash + 1);

    // Refused before the host-name repair changes any file.
    if (options.flags != 0 && !provider->CanJoinWithOptions()) {
        throw CallNotImplementedException();
    }
    if (!skipHostnameCheck) SanitiseHostnameForDomain(domainName, repair);
    provider->JoinDomain(domainName, computerContainer, credentials, options);
}

void ActiveDirectoryStore::PartDomain() {
    ChangeRecord record;
    provider->PartDomain();
}

void ActiveDirectoryStore::PartDomain(Credentials const& credentials) {
    ChangeRecord record;
    provider->PartDomain(credentials);
}

std::string ActiveDirectoryStore::GetLastErrorText() const {
    return provider->GetLastErrorText();
}

}  // namespace authentication
}  // namespace ostrel
