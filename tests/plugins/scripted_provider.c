/* A provider plug-in that does whatever the test program's script says (plugin_hooks.h).
 * Compile definitions make the variants a test needs:
 *   PLUGIN_API_VERSION      metadata API version (default 3)
 *   PLUGIN_TABLE_VERSION    operations table version (default 2)
 *   PLUGIN_NO_SLOTS         every slot NULL
 *   PLUGIN_NULL_PARAMETERS  NULL PAM and NSS parameter strings
 *   PLUGIN_NO_METADATA, PLUGIN_NO_OPERATIONS   leave that symbol out */
#include <dlfcn.h>
#include <stddef.h>

#include "plugin_hooks.h"

#define EXPORTED __attribute__((visibility("default")))

#ifndef PLUGIN_API_VERSION
#define PLUGIN_API_VERSION 3
#endif
#ifndef PLUGIN_TABLE_VERSION
#define PLUGIN_TABLE_VERSION 2
#endif

#ifdef PLUGIN_NULL_PARAMETERS
#define PAM_PARAMETERS NULL
#define NSS_PARAMETERS NULL
#else
#define PAM_PARAMETERS "  try_first_pass \t unknown_ok  "
#define NSS_PARAMETERS "cache"
#endif

#ifndef PLUGIN_NO_METADATA
EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {
    PLUGIN_API_VERSION, "pam_scripted.so", PAM_PARAMETERS, "scripted", NSS_PARAMETERS};
#endif

#if !defined(PLUGIN_NO_OPERATIONS) && !defined(PLUGIN_NO_SLOTS)

static const ADProviderOperations* Hooks(void) {
    TestProviderHooks hooks = (TestProviderHooks)dlsym(RTLD_DEFAULT, TEST_PROVIDER_HOOKS_SYMBOL);
    return hooks != NULL ? hooks() : NULL;
}

#define FORWARD(slot, fallback, ...)             \
    const ADProviderOperations* hooks = Hooks(); \
    return hooks != NULL ? hooks->slot(__VA_ARGS__) : (fallback)

static ADStatus JoinDomain(const char* domain, const char* container, const Credentials* who) {
    FORWARD(JoinDomain, TEST_PLUGIN_NO_HOOKS_STATUS, domain, container, who);
}
static ADStatus PartDomain(const Credentials* who) {
    FORWARD(PartDomain, TEST_PLUGIN_NO_HOOKS_STATUS, who);
}
static ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator) {
    FORWARD(GetActiveDomain, TEST_PLUGIN_NO_HOOKS_STATUS, domain, deallocator);
}
static ADStatus SetPreferredDomainControllers(const char* const* names) {
    FORWARD(SetPreferredDomainControllers, TEST_PLUGIN_NO_HOOKS_STATUS, names);
}
static ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator) {
    FORWARD(GetPreferredDomainControllers, TEST_PLUGIN_NO_HOOKS_STATUS, names, deallocator);
}
static TrustState GetDomainTrustState(void) {
    FORWARD(GetDomainTrustState, 0);
}
static ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator) {
    FORWARD(GetTrustedDomains, TEST_PLUGIN_NO_HOOKS_STATUS, domains, deallocator);
}
static ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator) {
    FORWARD(GetMachineAccountDN, TEST_PLUGIN_NO_HOOKS_STATUS, dn, deallocator);
}
static ADStatus GetAnyDomainController(const char* qualifier, const char* domain, char** controller,
                                       ADDeallocator* deallocator) {
    FORWARD(GetAnyDomainController, TEST_PLUGIN_NO_HOOKS_STATUS, qualifier, domain, controller,
            deallocator);
}
static ADStatus ConvertCanonicalUsername(const char* name, char** canonical,
                                         ADDeallocator* deallocator) {
    FORWARD(ConvertCanonicalUsername, TEST_PLUGIN_NO_HOOKS_STATUS, name, canonical, deallocator);
}
static ADStatus JoinDomainWithMachineAccount(const ADDirectoryDomainInfo* domain,
                                             const ADMachineAccountInfo* account) {
    FORWARD(JoinDomainWithMachineAccount, TEST_PLUGIN_NO_HOOKS_STATUS, domain, account);
}
static ADStatus GetHostPrincipalForDomain(const char* domain, char** principal,
                                          ADDeallocator* deallocator) {
    FORWARD(GetHostPrincipalForDomain, TEST_PLUGIN_NO_HOOKS_STATUS, domain, principal, deallocator);
}
static uint32_t GetDomainTrustRelationship(const char* domain) {
    FORWARD(GetDomainTrustRelationship, 0, domain);
}
static ADStatus SetSmartCardEnabledServices(const char* const* services) {
    FORWARD(SetSmartCardEnabledServices, TEST_PLUGIN_NO_HOOKS_STATUS, services);
}
static ADStatus GetSmartCardEnabledServices(char*** services, ADDeallocator* deallocator) {
    FORWARD(GetSmartCardEnabledServices, TEST_PLUGIN_NO_HOOKS_STATUS, services, deallocator);
}

EXPORTED const ADProviderOperations ActiveDirectoryClientOperations = {
    PLUGIN_TABLE_VERSION,
    JoinDomain,
    PartDomain,
    GetActiveDomain,
    SetPreferredDomainControllers,
    GetPreferredDomainControllers,
    NULL,
    GetDomainTrustState,
    GetTrustedDomains,
    GetMachineAccountDN,
    GetAnyDomainController,
    ConvertCanonicalUsername,
    JoinDomainWithMachineAccount,
    GetHostPrincipalForDomain,
    GetDomainTrustRelationship,
    SetSmartCardEnabledServices,
    GetSmartCardEnabledServices,
};

#elif defined(PLUGIN_NO_SLOTS)

EXPORTED const ADProviderOperations ActiveDirectoryClientOperations = {.version =
                                                                           PLUGIN_TABLE_VERSION};

#endif
