#include <authentication/active_directory_store.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <syslog.h>

#include "change_record.h"

namespace ostrel {
namespace authentication {

ActiveDirectoryStoreConfiguration::~ActiveDirectoryStoreConfiguration() {}

ActiveDirectoryStore::ActiveDirectoryStore(int timeout) : timeout(timeout) {
    std::string name;
    try {
        ProviderConfiguration configuration;
        name = configuration["provider"];
    } catch (IOError const&) {
        throw InvalidActiveDirectoryProviderException("(none installed)");
    }
    if (name.empty()) throw InvalidActiveDirectoryProviderException("(unset)");
    try {
        provider.reset(new ActiveDirectoryProvider(name));
    } catch (IOError const&) {
        throw InvalidActiveDirectoryProviderException(name);
    }
    configurationCache.reset(new ActiveDirectoryStoreConfiguration());
    trustStateCache.reset(new TrustState(0));
    trustedDomainsCache.reset(new std::deque<Domain>());
}

ActiveDirectoryStore::~ActiveDirectoryStore() {}

std::string ActiveDirectoryStore::GetDisplayName() const {
    return "Active Directory";
}

void ActiveDirectoryStore::SetPreferredDomainControllers(
    std::deque<std::string> const& controllers) {
    ChangeRecord record;
    try {
        provider->SetPreferredDomainControllers(controllers);
    } catch (CallNotImplementedException const&) {
        syslog(LOG_WARNING, "Setting of preferred domain controllers is not implemented.");
    }
}

std::string ActiveDirectoryStore::GetDomainControllerForDomain(std::string const& domain) const {
    try {
        return provider->GetAnyDomainController("", domain);
    } catch (CallNotImplementedException const&) {
        return std::string();
    }
}

std::string ActiveDirectoryStore::GetHostPrincipalForDomain(std::string const& domain) const {
    try {
        return provider->GetHostPrincipalForDomain(domain);
    } catch (CallNotImplementedException const&) {
        return std::string();
    }
}

std::uint32_t ActiveDirectoryStore::GetDomainTrustRelationship(std::string const& domain) const {
    try {
        return provider->GetDomainTrustRelationship(domain);
    } catch (CallNotImplementedException const&) {
        return 0;
    }
}

void ActiveDirectoryStore::SetSmartCardEnabledServices(
    std::vector<std::string> const& services) const {
    provider->SetSmartCardEnabledServices(services);
}

std::vector<std::string> ActiveDirectoryStore::GetSmartCardEnabledServices() const {
    return provider->GetSmartCardEnabledServices();
}

std::string ActiveDirectoryStore::ConvertCanonicalUsername(std::string const& name) const {
    try {
        return provider->ConvertCanonicalUsername(name);
    } catch (CallNotImplementedException const&) {
        return name;
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the factory hands out auto_ptr
template <>
std::auto_ptr<AuthenticationStore> Constructor<ActiveDirectoryStore>() {
    return std::auto_ptr<AuthenticationStore>(new ActiveDirectoryStore(60));
}
#pragma GCC diagnostic pop

}  // namespace authentication
}  // namespace ostrel
