/* The scriptable test plug-ins forward every operation to the test program that loaded them.
 * The test program exports the two functions named here; the plug-ins look them up with
 * dlsym(RTLD_DEFAULT, ...) on every call, so the script a test sets up lives in the test
 * program and outlasts the plug-in being unloaded and loaded again. */
#ifndef TESTS_PLUGINS_PLUGIN_HOOKS_H
#define TESTS_PLUGINS_PLUGIN_HOOKS_H

#include <tslauth/active_directory_client.h>
#include <tslauth/qap_proxy_client.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the test program's provider operations; slots 1 to 16 are all set. */
#define TEST_PROVIDER_HOOKS_SYMBOL "TslauthTestProviderHooks"
typedef const ADProviderOperations* (*TestProviderHooks)(void);

/* Returns the test program's proxy-client operations; words 1 to 3 are set. */
#define TEST_QAP_PROXY_HOOKS_SYMBOL "TslauthTestQAPProxyHooks"
typedef const QAPProxyClientTable* (*TestQAPProxyHooks)(void);

/* What a plug-in answers when the program that loaded it offers no hooks. */
#define TEST_PLUGIN_NO_HOOKS_STATUS 1359u

#ifdef __cplusplus
}
#endif

#endif
