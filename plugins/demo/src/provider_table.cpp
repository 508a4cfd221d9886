// The two symbols by which the library finds the demo directory's provider.
#include <tslauth/active_directory_client.h>

#include "provider_slots.h"

#define DEMO_EXPORTED __attribute__((visibility("default")))

extern "C" {

DEMO_EXPORTED extern ADProviderMetadata const ActiveDirectoryClientMetadata;
DEMO_EXPORTED extern ADProviderOperations const ActiveDirectoryClientOperations;

ADProviderMetadata const ActiveDirectoryClientMetadata = {
    3, "pam_demodirectory.so", "try_first_pass", "demodirectory", nullptr,
};

ADProviderOperations const ActiveDirectoryClientOperations = {
    2,
    demodirectory::JoinDomain,
    demodirectory::PartDomain,
    demodirectory::GetActiveDomain,
    demodirectory::SetPreferredDomainControllers,
    demodirectory::GetPreferredDomainControllers,
    nullptr,  // slot 6 is never called
    demodirectory::GetDomainTrustState,
    demodirectory::GetTrustedDomains,
    demodirectory::GetMachineAccountDN,
    demodirectory::GetAnyDomainController,
    demodirectory::ConvertCanonicalUsername,
    demodirectory::JoinDomainWithMachineAccount,
    demodirectory::GetHostPrincipalForDomain,
    demodirectory::GetDomainTrustRelationship,
    demodirectory::SetSmartCardEnabledServices,
    demodirectory::GetSmartCardEnabledServices,
};

}  // extern "C"
