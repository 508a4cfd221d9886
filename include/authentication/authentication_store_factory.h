#ifndef AUTHENTICATION_AUTHENTICATION_STORE_FACTORY_H
#define AUTHENTICATION_AUTHENTICATION_STORE_FACTORY_H

#include <authentication/authentication_store.h>
#include <authentication/export.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace ostrel {
namespace authentication {

// Publishes the one live object of T in _instance for as long as it exists. No lock: T's
// construction and destruction must not overlap other threads' reads of _instance.
template <class T>
class TSLAUTH_EXPORT Singleton {
public:
    static T* _instance;

protected:
    Singleton() { _instance = static_cast<T*>(this); }
    ~Singleton() { _instance = nullptr; }
};

template <class T>
T* Singleton<T>::_instance = nullptr;

// Makes a new store of type T for the factory.
template <class T>
std::auto_ptr<AuthenticationStore> Constructor() {
    return std::auto_ptr<AuthenticationStore>(new T());
}

// The registry of stores by display name. The library builds the only instance when it is
// loaded; reach it through Singleton<AuthenticationStoreFactory>::_instance.
// Lookups are safe from any thread; RegisterType takes no lock, so register before other threads
// use the factory. The library owns it; each store it makes is the caller's (std::auto_ptr).
class TSLAUTH_EXPORT AuthenticationStoreFactory : public Singleton<AuthenticationStoreFactory> {
public:
    typedef std::auto_ptr<AuthenticationStore> (*StoreConstructor)();

    AuthenticationStoreFactory();
    ~AuthenticationStoreFactory();

    // The first registration of a name stays; later ones are ignored.
    void RegisterType(std::string const& name, StoreConstructor constructor);
    // A new store, or an empty pointer when the name is not registered.
    std::auto_ptr<AuthenticationStore> CreateInstance(std::string const& name);
    // Registered names in ascending byte order.
    std::vector<std::string> GetRegisteredStores() const;

private:
    AuthenticationStoreFactory(AuthenticationStoreFactory const&) = delete;
    AuthenticationStoreFactory& operator=(AuthenticationStoreFactory const&) = delete;

    std::map<std::string, StoreConstructor> constructors;
};

extern template class Singleton<AuthenticationStoreFactory>;

}  // namespace authentication
}  // namespace ostrel

#pragma GCC diagnostic pop

#endif
