/* A minimal Active Directory provider plug-in: a host that is never joined to a domain.
 *
 * Build and install (the loader looks for lib<name>.so in /usr/libexec/tslauth/lib):
 *
 *     cc -std=c99 -Wall -Wextra -fPIC -shared -fvisibility=hidden \
 *        -I"$(pkg-config --variable=includedir tslauth)" -o libminimal.so minimal_provider.c
 *     install -m 0644 libminimal.so /usr/libexec/tslauth/lib/
 *     echo 'provider = minimal' > /etc/ostrel/tslauth/provider.conf
 *
 * Everything but the two tables is static or hidden, so the plug-in exports exactly the
 * symbols the library looks up.
 */
#define _POSIX_C_SOURCE 200809L /* strdup */

#include <stdlib.h>
#include <string.h>
#include <tslauth/active_directory_client.h>

#define PLUGIN_EXPORT __attribute__((visibility("default")))

enum {
    kSuccess = 0,
    kNotEnoughMemory = 8, /* ERROR_NOT_ENOUGH_MEMORY */
    kNotSupported = 50,   /* ERROR_NOT_SUPPORTED */
    kNotJoined = 7,       /* trust state of a host without a domain */
};

/* After a successful call the library hands the returned pointer to the deallocator stored
   beside it exactly once, also when it is NULL (free accepts NULL). After a failed call it
   releases nothing, so a failing slot frees what it allocated itself. */
static void ReleaseString(void* string) {
    free(string);
}

static ADStatus JoinDomain(const char* domain, const char* computerContainer,
                           const Credentials* credentials) {
    (void)domain;
    (void)computerContainer;
    (void)credentials; /* borrowed for the duration of the call only */
    return kNotSupported;
}

static ADStatus PartDomain(const Credentials* credentials) {
    (void)credentials;
    return kSuccess; /* never joined: nothing to leave */
}

/* Slot 3: both names stay NULL (not joined). Non-NULL names would each be released
   separately through *deallocator. */
static ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator) {
    (void)domain;
    *deallocator = ReleaseString;
    return kSuccess;
}

/* Slot 7 may run on several threads at once: keep it free of shared mutable state. */
static TrustState GetDomainTrustState(void) {
    return kNotJoined;
}

/* Slot 11: returns memory, so it stores the deallocator for it. */
static ADStatus ConvertCanonicalUsername(const char* name, char** canonical,
                                         ADDeallocator* deallocator) {
    *deallocator = ReleaseString;
    *canonical = strdup(name);
    return *canonical != NULL ? kSuccess : kNotEnoughMemory;
}

PLUGIN_EXPORT const ADProviderMetadata ActiveDirectoryClientMetadata = {
    3,                /* apiVersion */
    "pam_minimal.so", /* pamModule */
    "try_first_pass", /* pamModuleParameters */
    "minimal",        /* nssModule */
    NULL,             /* nssModuleParameters */
};

/* A NULL slot means "not implemented"; the library reports that to its caller. */
PLUGIN_EXPORT const ADProviderOperations ActiveDirectoryClientOperations = {
    .version = 2,
    .JoinDomain = JoinDomain,
    .PartDomain = PartDomain,
    .GetActiveDomain = GetActiveDomain,
    .GetDomainTrustState = GetDomainTrustState,
    .ConvertCanonicalUsername = ConvertCanonicalUsername,
};
