#ifndef AUTHENTICATION_NO_REMOTE_AUTHENTICATION_STORE_H
#define AUTHENTICATION_NO_REMOTE_AUTHENTICATION_STORE_H

#include <authentication/authentication_store.h>

namespace ostrel {
namespace authentication {

// An empty plain value, owned by whoever asked for it.
class TSLAUTH_EXPORT NoRemoteAuthenticationStoreConfiguration : public StoreConfiguration {
public:
    ~NoRemoteAuthenticationStoreConfiguration() override;
};

// The store registered as "None": local accounts only.
// Safe to call from any thread: it holds no state, and its file edits hold the files' lock.
// Owned by its creator (the factory hands it out in std::auto_ptr).
class TSLAUTH_EXPORT NoRemoteAuthenticationStore : public RemoteAuthenticationStore {
public:
    NoRemoteAuthenticationStore();
    ~NoRemoteAuthenticationStore() override;

    StoreConfiguration* GetStoreConfiguration() const override;
    std::string GetDisplayName() const override;

    // Records "None" as active, then deactivates the store that was recorded before.
    // Does nothing at all when "None" is already recorded.
    void MakeActive() override;

    // Always throws CallNotImplementedException: "None" stops being active only when another
    // store is activated.
    void MakeInactive() override;
};

}  // namespace authentication
}  // namespace ostrel

#endif
