/* The scripted plug-in hands every call to TEST_CALL_HOOK, and its loading to TEST_LOAD_HOOK,
 * which the test program exports (tests/support/test_plugins.cpp). */
#ifndef TESTS_PLUGINS_PLUGIN_HOOKS_H
#define TESTS_PLUGINS_PLUGIN_HOOKS_H

#include <tslauth/active_directory_client.h>
#include <tslauth/qap_proxy_client.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Slots 1 to 16 are the provider's; the proxy client's words 1 to 3 come as slots 17 to 19;
 * the provider's extensions E1 and E2 as slots 20 and 21. */
typedef struct TestCall {
    int slot;
    const char* in[9];        /* the string arguments, in order */
    int strings;              /* how many of in[] */
    const char* const* array; /* slots 4 and 15 */
    const Credentials* credentials;
    int32_t verify; /* the proxy client's verify flag */
    char** out[3];  /* string out-parameters */
    int outs;
    ADDomainNames* names;     /* slot 3 */
    char*** list;             /* slots 5 and 16 */
    ADDomainNames*** domains; /* slot 8 */
    ADDeallocator* deallocator;
    uint32_t flags; /* E2 */
} TestCall;

#define TEST_CALL_HOOK "TslauthTestCall"
typedef uint32_t (*TestCallHook)(TestCall* call);

/* Every build calls it from its constructor, inside dlopen. */
#define TEST_LOAD_HOOK "TslauthTestLoaded"
typedef void (*TestLoadHook)(void);

#ifdef __cplusplus
}
#endif

#endif
