#include <authentication/authentication_store_factory.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <authentication/no_remote_authentication_store.h>
#include <errno.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <typeinfo>

#include "change_record.h"
#include "file_content.h"
#include "files_lock.h"
#include "store_switch.h"

namespace ostrel {
namespace authentication {

namespace {

char const kKey[] = "remote-authentication-store";

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the factory hands out auto_ptr
std::auto_ptr<AuthenticationStore> CreateStore(std::string const& name) {
    return Singleton<AuthenticationStoreFactory>::_instance->CreateInstance(name);
}
#pragma GCC diagnostic pop

// With "None" recorded, a provider module may still be in the PAM file (a switch that failed
// half-way in an older version, or an administrator's edit): it comes out. Nothing is loaded
// when no provider is named; a provider that cannot be loaded cannot name its module.
void RemoveLeftoverProviderModule(std::string const& none) {
    try {
        if (ProviderConfiguration()["provider"].empty()) return;
    } catch (Exception const&) {
        return;
    }
    if (::access(kPAMFile, F_OK) != 0 && errno == ENOENT) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    std::auto_ptr<AuthenticationStore> store;
#pragma GCC diagnostic pop
    try {
        store = CreateStore("Active Directory");
    } catch (Exception const& failure) {
        syslog(LOG_WARNING, "Cannot check the PAM file for a provider module: %s", failure.what());
        return;
    }
    auto* remote = dynamic_cast<RemoteAuthenticationStore*>(store.get());
    if (remote == nullptr) return;
    // "None" was read unlocked: an activation that came since keeps its module, or the record
    // would name a store the PAM file no longer consults.
    FilesLock lock;
    if (AuthenticationConfiguration()[kKey] == none) remote->MakeInactive();
}

}  // namespace

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
    ChangeRecord changes;
    WatchedFiles const watched{kRecordFile, kPAMFile};
    std::string const name = GetDisplayName();
    std::string const previous = AuthenticationConfiguration()[kKey];
    if (previous == name) {
        RemoveLeftoverProviderModule(name);
        return;
    }
    // The previous store is made (its plug-in loaded) before anything changes and before the
    // files are locked: a store that cannot be loaded leaves the host as it was.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    std::auto_ptr<AuthenticationStore> store = CreateStore(previous);
#pragma GCC diagnostic pop
    RemoteAuthenticationStore* remote = dynamic_cast<RemoteAuthenticationStore*>(store.get());

    FilesLock lock;
    AuthenticationConfiguration configuration;
    FileSnapshot const record = TakeSnapshot(kRecordFile);
    FileSnapshot pam{kPAMFile, std::string(), 0};
    bool const hasPAM = ::access(kPAMFile, F_OK) == 0;
    if (hasPAM) pam = TakeSnapshot(kPAMFile);
    // The record changes first: "None" is recorded before the previous store is deactivated.
    // When that fails, or the deactivation does, the previous record goes back, so that the
    // record and the PAM file agree and a retry does the whole switch again.
    auto const restore = [&] {
        if (hasPAM) RestoreIfChanged(pam);
        RestoreIfChanged(record);
    };
    UndoIfFails(
        [&] {
            configuration[kKey] = name;
            configuration.Write();
        },
        restore);
    // A recorded name that names no remote store has nothing to deactivate and nothing to
    // agree with: "None" stays recorded.
    if (store.get() == nullptr) throw UnknownRemoteAuthenticationStoreException(previous);
    if (remote == nullptr) throw InvalidRemoteAuthenticationStoreException(previous);
    UndoIfFails(
        [&] {
            try {
                remote->MakeInactive();
            } catch (std::bad_cast const&) {
                throw InvalidRemoteAuthenticationStoreException(previous);
            }
        },
        restore);
}

void NoRemoteAuthenticationStore::MakeInactive() {
    throw CallNotImplementedException();
}

}  // namespace authentication
}  // namespace ostrel
