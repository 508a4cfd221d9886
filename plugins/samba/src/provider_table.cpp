// The two symbols by which the library finds the Samba provider.
#include <tslauth/active_directory_client.h>

#include "last_error.h"
#include "slots.h"

#define SAMBA_PROVIDER_EXPORTED __attribute__((visibility("default")))

extern "C" {

SAMBA_PROVIDER_EXPORTED extern ADProviderMetadata const ActiveDirectoryClientMetadata;
SAMBA_PROVIDER_EXPORTED extern ADProviderOperations const ActiveDirectoryClientOperations;
SAMBA_PROVIDER_EXPORTED extern ADProviderExtensions const ActiveDirectoryClientExtensions;

ADProviderMetadata const ActiveDirectoryClientMetadata = {
    3, "pam_winbind.so", "try_first_pass cached_login", "winbind", nullptr,
};

ADProviderOperations const ActiveDirectoryClientOperations = {
    2,
    sambaprovider::JoinDomain,
    sambaprovider::PartDomain,
    sambaprovider::GetActiveDomain,
    sambaprovider::SetPreferredDomainControllers,
    sambaprovider::GetPreferredDomainControllers,
    nullptr,  // slot 6 is never called
    sambaprovider::GetDomainTrustState,
    sambaprovider::GetTrustedDomains,
    sambaprovider::GetMachineAccountDN,
    sambaprovider::GetAnyDomainController,
    sambaprovider::ConvertCanonicalUsername,
    sambaprovider::JoinDomainWithMachineAccount,
    sambaprovider::GetHostPrincipalForDomain,
    sambaprovider::GetDomainTrustRelationship,
    nullptr,  // smart-card services: Samba has no such setting
    nullptr,
};

ADProviderExtensions const ActiveDirectoryClientExtensions = {
    4,
    sambaprovider::GetLastErrorText,       // E1
    sambaprovider::JoinDomainWithOptions,  // E2
    sambaprovider::LookupAccount,          // E3
    sambaprovider::GetLastChanges,         // E4
};

}  // extern "C"
