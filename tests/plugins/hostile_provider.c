/* Provider plug-ins whose metadata breaks the contract. Their operations are the scripted ones
 * (scripted_provider.c), so a test scripts them as usual. Compile definitions:
 *   HOSTILE_NULL_MODULE   NULL PAM and NSS module names and parameter strings
 *   HOSTILE_LINE_BREAKS   a PAM module name and parameters that carry line breaks
 *   HOSTILE_OVERLONG      a 1 MiB PAM module name and 100,000 PAM parameters */
#include <string.h>

#define PLUGIN_NO_METADATA
#include "scripted_provider.c"

#if defined(HOSTILE_NULL_MODULE)

EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {3, NULL, NULL, NULL, NULL};

#elif defined(HOSTILE_LINE_BREAKS)

EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {
    3, "pam_evil.so\nauth\tsufficient\tpam_permit.so", "first\naccount sufficient pam_permit.so\n#",
    "evil", NULL};

#elif defined(HOSTILE_OVERLONG)

#define MODULE_LENGTH (1 << 20)
#define PARAMETER_COUNT 100000

static char module[MODULE_LENGTH + 1];
static char parameters[2 * PARAMETER_COUNT + 1];

EXPORTED const ADProviderMetadata ActiveDirectoryClientMetadata = {3, module, parameters,
                                                                   "overlong", NULL};

/* Filled when the plug-in is loaded, before the library reads the metadata. */
__attribute__((constructor)) static void FillMetadata(void) {
    memset(module, 'm', MODULE_LENGTH - 3);
    memcpy(module + MODULE_LENGTH - 3, ".so", 3);
    for (int i = 0; i < PARAMETER_COUNT; ++i) {
        parameters[2 * i] = (char)('a' + i % 26);
        parameters[2 * i + 1] = ' ';
    }
}

#endif
