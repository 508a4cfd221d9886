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
 * NULL. Slots 3, 5, 7, 8 and 9 and extension slot E3 may be called from several threads at
 * once.
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

/* Optional capabilities added after the table above was fixed. A plug-in may also export
 *
 *     const ADProviderExtensions ActiveDirectoryClientExtensions;
 *
 * The library reads only the first `count` slots; a slot beyond them, or NULL, is not
 * implemented, and the library then behaves as with a plug-in that exports no such table.
 * New slots are only ever appended. */

/* Flags of JoinDomainWithOptions. */
#define AD_JOIN_REUSE_ACCOUNT 0x1u /* join over an existing computer account of the host's name */

typedef struct ADProviderExtensions {
    int32_t count; /* number of slots below that the plug-in knows of */
    /* E1: the plug-in's own words on the last failed operation of the calling thread, or
     * NULL when it has none; the deallocator is called once with the returned pointer. */
    ADStatus (*GetLastErrorText)(char** text, ADDeallocator* deallocator);
    /* E2: slot 1 with flags (AD_JOIN_...). */
    ADStatus (*JoinDomainWithOptions)(const char* domain,
                                      const char* computerContainer /* NULL when empty */,
                                      const Credentials* credentials, uint32_t flags);
    /* E3: looks an account or group name up in the directory: its canonical name, its SID
     * and whether it is a group (1) or a user (0). The library presets both strings to NULL
     * and releases each non-NULL one separately with the deallocator, also after a failure.
     * An unknown name is 1317 (no such user), a directory that cannot be asked 1311 or 1062.
     * Called on a worker thread, like the queries: keep it reentrant. */
    ADStatus (*LookupAccount)(const char* name, char** canonical, char** sid, uint32_t* isGroup,
                              ADDeallocator* deallocator);
    /* E4: what the last join, leave or change of settings of the calling thread changed on the
     * host, one line each (a NULL-terminated array, "" never among them). */
    ADStatus (*GetLastChanges)(char*** changes, ADDeallocator* deallocator);
} ADProviderExtensions;

#ifdef __cplusplus
}
#endif

#endif
