#ifndef AUTHENTICATION_AUTHENTICATION_STORE_H
#define AUTHENTICATION_AUTHENTICATION_STORE_H

#include <authentication/export.h>

#include <string>

namespace ostrel {
namespace authentication {

// A snapshot of a store's configuration, owned by whoever asked for it. A plain value.
class TSLAUTH_EXPORT StoreConfiguration {
public:
    virtual ~StoreConfiguration();
};

// A way for the host to authenticate users. Which store is active is recorded in
// authentication.conf under "remote-authentication-store", read afresh on every question.
// Owned by whoever made it (the factory hands stores out in std::auto_ptr) and deleted through
// this base; each store says which threads may call it.
class TSLAUTH_EXPORT AuthenticationStore {
public:
    virtual StoreConfiguration* GetStoreConfiguration() const = 0;
    virtual std::string GetDisplayName() const = 0;
    virtual bool IsActive() const = 0;
    virtual void MakeActive() = 0;
    virtual ~AuthenticationStore();
};

// Threads and ownership as the derived store says.
class TSLAUTH_EXPORT RemoteAuthenticationStore : public AuthenticationStore {
public:
    // True exactly when authentication.conf records this store's display name.
    bool IsActive() const override;
    ~RemoteAuthenticationStore() override;
    // Undoes this store's activation.
    virtual void MakeInactive() = 0;
};

// Base of the stores that are backed by a directory service. Threads and ownership as the
// derived store says.
class TSLAUTH_EXPORT DirectoryStore : public RemoteAuthenticationStore {
public:
    ~DirectoryStore() override;
};

}  // namespace authentication
}  // namespace ostrel

#endif
