#include <authentication/authentication_store_factory.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <authentication/no_remote_authentication_store.h>

#include <stdexcept>
#include <typeinfo>

namespace ostrel {
namespace authentication {

NoRemoteAuthenticationStoreConfiguration::~NoRemoteAuthenticationStoreConfiguration() {}

NoRemoteAuthenticationStore::NoRemoteAuthenticationStore() {}

NoRemoteAuthenticationStore::~NoRemoteAuthenticationStore() {}

StoreConfiguration* NoRemoteAuthenticationStore::GetStoreConfiguration() const {
    return new NoRemoteAuthenticationStoreConfiguration();
}

std::string NoRemoteAuthenticationStore::GetDisplayName() const {
    return "None";
}

void NoRemoteAuthenticationStore::MakeActive() {
    AuthenticationConfiguration configuration;
    std::string previous = configuration["remote-authentication-store"];
    std::string name = GetDisplayName();
    if (previous == name) return;

    // The record changes first: from here on the host says "None", whatever happens next.
    configuration["remote-authentication-store"] = name;
    configuration.Write();

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the factory hands out auto_ptr
    std::auto_ptr<AuthenticationStore> store =
        Singleton<AuthenticationStoreFactory>::_instance->CreateInstance(previous);
#pragma GCC diagnostic pop
    if (store.get() == nullptr) throw UnknownRemoteAuthenticationStoreException(previous);
    RemoteAuthenticationStore* remote = dynamic_cast<RemoteAuthenticationStore*>(store.get());
    if (remote == nullptr) throw InvalidRemoteAuthenticationStoreException(previous);
    try {
        remote->MakeInactive();
    } catch (std::bad_cast const&) {
        throw InvalidRemoteAuthenticationStoreException(previous);
    }
}

void NoRemoteAuthenticationStore::MakeInactive() {
    throw std::runtime_error("Attempted to disable None Store");
}

}  // namespace authentication
}  // namespace ostrel
