#include <authentication/authentication_store.h>
#include <authentication/configuration.h>

namespace ostrel {
namespace authentication {

StoreConfiguration::~StoreConfiguration() {}

AuthenticationStore::~AuthenticationStore() {}

bool RemoteAuthenticationStore::IsActive() const {
    AuthenticationConfiguration configuration;
    std::string name = GetDisplayName();
    return configuration["remote-authentication-store"] == name;
}

RemoteAuthenticationStore::~RemoteAuthenticationStore() {}

DirectoryStore::~DirectoryStore() {}

}  // namespace authentication
}  // namespace ostrel
