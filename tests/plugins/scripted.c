/* A provider and a proxy client whose every call does what the test program's table says; the
 * variants of test_plugins.h loaded together (globally) must not define a symbol twice. */
#include <dlfcn.h>
#include <stddef.h>

#include "plugin_hooks.h"

#define EXPORTED __attribute__((visibility("default")))
#ifdef PLUGIN_PROXY_ONLY
#define PROVIDER_EXPORTED static __attribute__((unused))
#else
#define PROVIDER_EXPORTED EXPORTED
#endif
#ifdef PLUGIN_PROVIDER_ONLY
#define PROXY_EXPORTED static __attribute__((unused))
#else
#define PROXY_EXPORTED EXPORTED
#endif

#ifndef PLUGIN_API_VERSION
#define PLUGIN_API_VERSION 3
#endif
#ifndef PLUGIN_TABLE_VERSION
#define PLUGIN_TABLE_VERSION 2
#endif

#if defined(HOSTILE_NULL_MODULE)
EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {3, NULL, NULL, NULL, NULL};
#elif defined(HOSTILE_LINE_BREAKS)
EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {
    3, "pam_evil.so\nauth\tsufficient\tpam_permit.so", "first\naccount sufficient pam_permit.so\n#",
    "evil", NULL};
#elif defined(HOSTILE_OVERLONG)
#define TEN(text) text text text text text text text text text text
EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {3, TEN(TEN(TEN("m"))) ".so",
                                                                   NULL, "overlong", NULL};
#elif defined(PLUGIN_NO_SLOTS)
EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {
    PLUGIN_API_VERSION, "pam_scripted.so", NULL, "scripted", NULL};
#elif !defined(PLUGIN_NO_METADATA)
PROVIDER_EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {
    PLUGIN_API_VERSION, "pam_scripted.so", "  try_first_pass \t unknown_ok  ", "scripted", "cache"};
#endif

__attribute__((constructor)) static void Loaded(void) {
    TestLoadHook hook = (TestLoadHook)dlsym(RTLD_DEFAULT, TEST_LOAD_HOOK);
    if (hook != NULL) hook();
}

#ifndef PLUGIN_NO_OPERATIONS

static uint32_t Call(TestCall call) {
    TestCallHook hook = (TestCallHook)dlsym(RTLD_DEFAULT, TEST_CALL_HOOK);
    return hook != NULL ? hook(&call) : 1359u;
}
#define CALL(number, ...) Call((TestCall){.slot = number, __VA_ARGS__})

static uint32_t GetDomainInfo(const char* server, int32_t verify, const char* thumbprint,
                              char** netBIOSDomainName, char** dnsDomainName, char** domainSID) {
    return CALL(17, .in = {server, thumbprint}, .strings = 2, .verify = verify,
                .out = {netBIOSDomainName, dnsDomainName, domainSID}, .outs = 3);
}
static void Release(char* string) {
    CALL(19, .in = {string}, .strings = 1);
}

#ifdef PLUGIN_NO_SLOTS

EXPORTED const ADProviderOperations ActiveDirectoryClientOperations = {.version =
                                                                           PLUGIN_TABLE_VERSION};
EXPORTED const QAPProxyClientTable QAPProxyClientOperations = {NULL, GetDomainInfo, NULL, Release};

#else

static uint32_t CreateMachineAccount(const char* server, const char* hostName,
                                     const char* container, int32_t verify, const char* thumbprint,
                                     char** accountData1, char** accountData2) {
    return CALL(18, .in = {server, hostName, container, thumbprint}, .strings = 4, .verify = verify,
                .out = {accountData1, accountData2}, .outs = 2);
}
static ADStatus JoinDomain(const char* domain, const char* container, const Credentials* who) {
    return CALL(1, .in = {domain, container}, .strings = 2, .credentials = who);
}
static ADStatus PartDomain(const Credentials* who) {
    return CALL(2, .credentials = who);
}
static ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator) {
    return CALL(3, .names = domain, .deallocator = deallocator);
}
static ADStatus SetPreferredDomainControllers(const char* const* names) {
    return CALL(4, .array = names);
}
static ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator) {
    return CALL(5, .list = names, .deallocator = deallocator);
}
static TrustState GetDomainTrustState(void) {
    return CALL(7);
}
static ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator) {
    return CALL(8, .domains = domains, .deallocator = deallocator);
}
static ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator) {
    return CALL(9, .out = {dn}, .outs = 1, .deallocator = deallocator);
}
static ADStatus GetAnyDomainController(const char* qualifier, const char* domain, char** controller,
                                       ADDeallocator* deallocator) {
    return CALL(10, .in = {qualifier, domain}, .strings = 2, .out = {controller}, .outs = 1,
                .deallocator = deallocator);
}
static ADStatus ConvertCanonicalUsername(const char* name, char** canonical,
                                         ADDeallocator* deallocator) {
    return CALL(11, .in = {name}, .strings = 1, .out = {canonical}, .outs = 1,
                .deallocator = deallocator);
}
static ADStatus JoinDomainWithMachineAccount(const ADDirectoryDomainInfo* d,
                                             const ADMachineAccountInfo* a) {
    return CALL(
        12, .strings = 9,
        .in = {d->reserved, d->netBIOSDomainName, d->dnsDomainName, d->domainSID, a->hostName,
               a->dnsDomainName, a->reserved, a->accountData1, a->accountData2});
}
static ADStatus GetHostPrincipalForDomain(const char* domain, char** principal,
                                          ADDeallocator* deallocator) {
    return CALL(13, .in = {domain}, .strings = 1, .out = {principal}, .outs = 1,
                .deallocator = deallocator);
}
static uint32_t GetDomainTrustRelationship(const char* domain) {
    return CALL(14, .in = {domain}, .strings = 1);
}
static ADStatus SetSmartCardEnabledServices(const char* const* services) {
    return CALL(15, .array = services);
}
static ADStatus GetSmartCardEnabledServices(char*** services, ADDeallocator* deallocator) {
    return CALL(16, .list = services, .deallocator = deallocator);
}

static ADStatus GetLastErrorText(char** text, ADDeallocator* deallocator) {
    return CALL(20, .out = {text}, .outs = 1, .deallocator = deallocator);
}
static ADStatus JoinDomainWithOptions(const char* domain, const char* container,
                                      const Credentials* who, uint32_t flags) {
    return CALL(21, .in = {domain, container}, .strings = 2, .credentials = who, .flags = flags);
}

/* Knows of E1 and E2 only: the library must not read the slots after them. */
PROVIDER_EXPORTED const ADProviderExtensions ActiveDirectoryClientExtensions = {
    2, GetLastErrorText, JoinDomainWithOptions, NULL, NULL};

/* clang-format off */
PROVIDER_EXPORTED const ADProviderOperations ActiveDirectoryClientOperations = {
    PLUGIN_TABLE_VERSION, JoinDomain, PartDomain, GetActiveDomain, SetPreferredDomainControllers,
    GetPreferredDomainControllers, NULL, GetDomainTrustState, GetTrustedDomains,
    GetMachineAccountDN, GetAnyDomainController, ConvertCanonicalUsername,
    JoinDomainWithMachineAccount, GetHostPrincipalForDomain, GetDomainTrustRelationship,
    SetSmartCardEnabledServices, GetSmartCardEnabledServices};
/* clang-format on */
PROXY_EXPORTED const QAPProxyClientTable QAPProxyClientOperations = {NULL, GetDomainInfo,
                                                                     CreateMachineAccount, Release};

#endif
#endif
