/* A proxy-client plug-in that does whatever the test program's script says (plugin_hooks.h).
 * Word 0 of its table is NULL. Compile definitions make the variants a test needs:
 *   PLUGIN_NO_CREATE  word 2 NULL
 *   PLUGIN_NO_TABLE   no table symbol */
#include <dlfcn.h>
#include <stddef.h>

#include "plugin_hooks.h"

#ifndef PLUGIN_NO_TABLE

static const QAPProxyClientTable* Hooks(void) {
    TestQAPProxyHooks hooks = (TestQAPProxyHooks)dlsym(RTLD_DEFAULT, TEST_QAP_PROXY_HOOKS_SYMBOL);
    return hooks != NULL ? hooks() : NULL;
}

static uint32_t GetDomainInfo(const char* server, int32_t verify, const char* thumbprint,
                              char** netBIOSDomainName, char** dnsDomainName, char** domainSID) {
    const QAPProxyClientTable* hooks = Hooks();
    if (hooks == NULL) return TEST_PLUGIN_NO_HOOKS_STATUS;
    return hooks->GetDomainInfo(server, verify, thumbprint, netBIOSDomainName, dnsDomainName,
                                domainSID);
}

#ifndef PLUGIN_NO_CREATE
static uint32_t CreateMachineAccount(const char* server, const char* hostName,
                                     const char* container, int32_t verify, const char* thumbprint,
                                     char** accountData1, char** accountData2) {
    const QAPProxyClientTable* hooks = Hooks();
    if (hooks == NULL) return TEST_PLUGIN_NO_HOOKS_STATUS;
    return hooks->CreateMachineAccount(server, hostName, container, verify, thumbprint,
                                       accountData1, accountData2);
}
#define CREATE CreateMachineAccount
#else
#define CREATE NULL
#endif

static void Release(char* string) {
    const QAPProxyClientTable* hooks = Hooks();
    if (hooks != NULL) hooks->Release(string);
}

__attribute__((visibility("default")))
const QAPProxyClientTable QAPProxyClientOperations = {NULL, GetDomainInfo, CREATE, Release};

#endif
