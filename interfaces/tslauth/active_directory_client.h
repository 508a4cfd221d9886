/* What libtslauth requires of an Active Directory provider plug-in.
 *
 * A provider plug-in is a shared object lib<name>.so installed as
 * /usr/libexec/tslauth/lib/lib<name>.so or /usr/libexec/tslauth/lib<name>.so. It exports two
 * data symbols with default visibility:
 *
 *     const ADProviderMetadata   ActiveDirectoryClientMetadata;
 *     const ADProviderOperations ActiveDirectoryClientOperations;
 *
 * Strings are null-terminated byte strings. A NULL slot means "not implemented". An operation
 * that returns memory also stores a deallocator through its last out-parameter; the library
 * hands the returned pointer to it exactly once, also when the pointer is NULL. The only
 * exception is GetActiveDomain, whose two names are released separately, each only when not
 * NULL. Slots 3, 5, 7, 8 and 9 may be called from several threads at once.
 */
#ifndef TSLAUTH_ACTIVE_DIRECTORY_CLIENT_H
#define TSLAUTH_ACTIVE_DIRECTORY_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ADStatus; /* 0 = success, else a Windows-style error number */
typedef uint32_t TrustState;
typedef void (*ADDeallocator)(void*);

typedef struct Credentials {
    const char* userName; /* either may be NULL */
    const char* password;
} Credentials;

typedef struct ADDomainNames {
    char* dnsName;
    char* netbiosName;
} ADDomainNames;

/* The machine-account join's records, in the field order of the library's QAP records. */
typedef struct ADDirectoryDomainInfo {
    const char *reserved, *netBIOSDomainName, *dnsDomainName, *domainSID;
} ADDirectoryDomainInfo;

typedef struct ADMachineAccountInfo {
    const char *hostName, *dnsDomainName, *reserved, *accountData1, *accountData2;
} ADMachineAccountInfo;

typedef struct ADProviderMetadata {
    int32_t apiVersion;              /* at most 3 */
    const char* pamModule;           /* never NULL */
    const char* pamModuleParameters; /* whitespace-separated words, or NULL */
    const char* nssModule;           /* never NULL */
    const char* nssModuleParameters; /* or NULL */
} ADProviderMetadata;

typedef struct ADProviderOperations {
    int32_t version; /* slots 12 and 13 count only when version >= 2 */
    /* 1 */
    ADStatus (*JoinDomain)(const char* domain, const char* computerContainer /* NULL when empty */,
                           const Credentials* credentials);
    /* 2 */
    ADStatus (*PartDomain)(const Credentials* credentials /* may be NULL */);
    /* 3 */
    ADStatus (*GetActiveDomain)(ADDomainNames* domain /* both preset NULL */,
                                ADDeallocator* deallocator);
    /* 4 */
    ADStatus (*SetPreferredDomainControllers)(const char* const* names /* NULL-terminated */);
    /* 5 */
    ADStatus (*GetPreferredDomainControllers)(char*** names, ADDeallocator* deallocator);
    /* 6 */
    void* reserved6;
    /* 7 */
    TrustState (*GetDomainTrustState)(void);
    /* 8 */
    ADStatus (*GetTrustedDomains)(ADDomainNames*** domains /* NULL-terminated */,
                                  ADDeallocator* deallocator);
    /* 9 */
    ADStatus (*GetMachineAccountDN)(char** dn, ADDeallocator* deallocator);
    /* 10 */
    ADStatus (*GetAnyDomainController)(const char* qualifier /* NULL when empty */,
                                       const char* domain, char** controller,
                                       ADDeallocator* deallocator);
    /* 11 */
    ADStatus (*ConvertCanonicalUsername)(const char* name, char** canonical,
                                         ADDeallocator* deallocator);
    /* 12 */
    ADStatus (*JoinDomainWithMachineAccount)(const ADDirectoryDomainInfo* domain,
                                             const ADMachineAccountInfo* account);
    /* 13 */
    ADStatus (*GetHostPrincipalForDomain)(const char* domain, char** principal,
                                          ADDeallocator* deallocator);
    /* 14 */
    uint32_t (*GetDomainTrustRelationship)(const char* domain);
    /* 15 */
    ADStatus (*SetSmartCardEnabledServices)(const char* const* services /* NULL-terminated */);
    /* 16 */
    ADStatus (*GetSmartCardEnabledServices)(char*** services, ADDeallocator* deallocator);
} ADProviderOperations;

#ifdef __cplusplus
}
#endif

#endif
