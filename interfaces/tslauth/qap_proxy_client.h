/* What libtslauth requires of an authentication-proxy (QAP) client plug-in.
 *
 * A proxy-client plug-in is a shared object lib<name>.so installed as
 * /usr/libexec/tslauth/lib/lib<name>.so or /usr/libexec/tslauth/lib<name>.so. It exports one
 * data symbol with default visibility:
 *
 *     const QAPProxyClientTable QAPProxyClientOperations;
 *
 * Words 1, 2 and 3 must all be set. Statuses are 0 for success, else an error number. The
 * out-parameters are preset to NULL; after a successful call the library copies every
 * returned string and hands each non-NULL one back to Release, in out-parameter order.
 * Each call runs on the thread of the library call that needs it; calls on different threads
 * are not serialized, so two may run at once.
 */
#ifndef TSLAUTH_QAP_PROXY_CLIENT_H
#define TSLAUTH_QAP_PROXY_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QAPProxyClientTable {
    void* reserved; /* word 0, never read */
    uint32_t (*GetDomainInfo)(const char* server, int32_t verifyCertificate, const char* thumbprint,
                              char** netBIOSDomainName, char** dnsDomainName, char** domainSID);
    uint32_t (*CreateMachineAccount)(const char* server, const char* hostName,
                                     const char* computerContainer /* NULL when empty */,
                                     int32_t verifyCertificate, const char* thumbprint,
                                     char** accountData1, char** accountData2);
    void (*Release)(char* string); /* word 3 */
} QAPProxyClientTable;

#ifdef __cplusplus
}
#endif

#endif
