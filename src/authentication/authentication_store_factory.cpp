#include <authentication/active_directory_store.h>
#include <authentication/authentication_store_factory.h>
#include <authentication/no_remote_authentication_store.h>

// The factory's interface hands stores out in std::auto_ptr.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace ostrel {
namespace authentication {

template class Singleton<AuthenticationStoreFactory>;

AuthenticationStoreFactory::AuthenticationStoreFactory() {
    RegisterType("Active Directory", &Constructor<ActiveDirectoryStore>);
    RegisterType("None", &Constructor<NoRemoteAuthenticationStore>);
}

AuthenticationStoreFactory::~AuthenticationStoreFactory() {}

void AuthenticationStoreFactory::RegisterType(std::string const& name,
                                              StoreConstructor constructor) {
    constructors.insert(std::make_pair(name, constructor));
}

std::auto_ptr<AuthenticationStore> AuthenticationStoreFactory::CreateInstance(
    std::string const& name) {
    std::map<std::string, StoreConstructor>::const_iterator it = constructors.find(name);
    if (it == constructors.end()) return std::auto_ptr<AuthenticationStore>();
    return it->second();
}

std::vector<std::string> AuthenticationStoreFactory::GetRegisteredStores() const {
    std::vector<std::string> names;
    for (std::map<std::string, StoreConstructor>::const_iterator it = constructors.begin();
         it != constructors.end(); ++it) {
        names.push_back(it->first);
    }
    return names;
}

namespace {
// The library's one factory, built when the library is loaded.
AuthenticationStoreFactory factory;
}  // namespace

}  // namespace authentication
}  // namespace ostrel
