/* A provider plug-in for the benchmarks: every slot the store's workers use answers at once
 * with small fixed results, unless the benchmark holds that slot (bench_provider_control.h);
 * then its calls block until the slot is released. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <tslauth/active_directory_client.h>

#include "bench_provider_control.h"

#define EXPORTED __attribute__((visibility("default")))
#define SLOTS 17

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t released = PTHREAD_COND_INITIALIZER;
static int held[SLOTS];
static unsigned blocked[SLOTS];
static unsigned long returned[SLOTS];

static void Enter(int slot) {
    pthread_mutex_lock(&lock);
    if (held[slot]) {
        ++blocked[slot];
        while (held[slot]) pthread_cond_wait(&released, &lock);
        --blocked[slot];
    }
    pthread_mutex_unlock(&lock);
}

static void Leave(int slot) {
    pthread_mutex_lock(&lock);
    ++returned[slot];
    pthread_mutex_unlock(&lock);
}

EXPORTED void BenchProviderHold(int slot) {
    pthread_mutex_lock(&lock);
    held[slot] = 1;
    pthread_mutex_unlock(&lock);
}

EXPORTED void BenchProviderRelease(int slot) {
    pthread_mutex_lock(&lock);
    held[slot] = 0;
    pthread_cond_broadcast(&released);
    pthread_mutex_unlock(&lock);
}

EXPORTED unsigned BenchProviderBlocked(int slot) {
    pthread_mutex_lock(&lock);
    unsigned count = blocked[slot];
    pthread_mutex_unlock(&lock);
    return count;
}

EXPORTED unsigned long BenchProviderReturned(int slot) {
    pthread_mutex_lock(&lock);
    unsigned long count = returned[slot];
    pthread_mutex_unlock(&lock);
    return count;
}

/* Arrays are one allocation each: the pointers, then the texts they point to. */
static char** MakeArray(const char* const* texts, size_t count) {
    size_t bytes = (count + 1) * sizeof(char*);
    for (size_t i = 0; i < count; ++i) bytes += strlen(texts[i]) + 1;
    char** array = malloc(bytes);
    if (array == NULL) return NULL;
    char* at = (char*)(array + count + 1);
    for (size_t i = 0; i < count; ++i) {
        size_t length = strlen(texts[i]) + 1;
        memcpy(at, texts[i], length);
        array[i] = at;
        at += length;
    }
    array[count] = NULL;
    return array;
}

static ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator) {
    Enter(3);
    domain->dnsName = strdup("bench.example.com");
    domain->netbiosName = strdup("BENCH");
    *deallocator = free;
    Leave(3);
    return 0;
}

static ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator) {
    static const char* const controllers[] = {"dc1.bench.example.com", "dc2.bench.example.com"};
    Enter(5);
    *names = MakeArray(controllers, 2);
    *deallocator = free;
    Leave(5);
    return 0;
}

static TrustState GetDomainTrustState(void) {
    Enter(7);
    Leave(7);
    return 1;
}

static void FreeDomains(void* pointer) {
    ADDomainNames** domains = pointer;
    if (domains == NULL) return;
    for (ADDomainNames** domain = domains; *domain != NULL; ++domain) free(*domain);
    free(domains);
}

static ADDomainNames* MakeDomain(const char* dnsName, const char* netbiosName) {
    size_t dnsLength = strlen(dnsName) + 1;
    size_t netbiosLength = strlen(netbiosName) + 1;
    ADDomainNames* domain = malloc(sizeof *domain + dnsLength + netbiosLength);
    if (domain == NULL) return NULL;
    domain->dnsName = (char*)(domain + 1);
    domain->netbiosName = domain->dnsName + dnsLength;
    memcpy(domain->dnsName, dnsName, dnsLength);
    memcpy(domain->netbiosName, netbiosName, netbiosLength);
    return domain;
}

static ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator) {
    Enter(8);
    ADDomainNames** list = calloc(3, sizeof *list);
    if (list != NULL) {
        list[0] = MakeDomain("trusted1.example.com", "TRUSTED1");
        list[1] = MakeDomain("trusted2.example.com", "TRUSTED2");
    }
    *domains = list;
    *deallocator = FreeDomains;
    Leave(8);
    return 0;
}

static ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator) {
    Enter(9);
    *dn = strdup("CN=BENCH-HOST,CN=Computers,DC=bench,DC=example,DC=com");
    *deallocator = free;
    Leave(9);
    return 0;
}

EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {3, "pam_bench.so",
                                                                   "try_first_pass", "bench", NULL};

EXPORTED const ADProviderOperations ActiveDirectoryClientOperations = {
    .version = 2,
    .GetActiveDomain = GetActiveDomain,
    .GetPreferredDomainControllers = GetPreferredDomainControllers,
    .GetDomainTrustState = GetDomainTrustState,
    .GetTrustedDomains = GetTrustedDomains,
    .GetMachineAccountDN = GetMachineAccountDN,
};
