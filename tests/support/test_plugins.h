#ifndef TESTS_SUPPORT_TEST_PLUGINS_H
#define TESTS_SUPPORT_TEST_PLUGINS_H

// Installs the builds of the scripted plug-in (tests/plugins/scripted.c) into the sandbox of
// a SandboxTest.

#include <string>

namespace test_plugins {

enum class Plugin {
    kScriptedProvider,  // API 3, table version 2, every slot and the proxy client's words
                        // scripted; PAM "pam_scripted.so" with "  try_first_pass \t unknown_ok  ",
                        // NSS "scripted" with "cache"
    kEmptyProvider,     // every slot and proxy word 2 NULL, NULL parameter strings
    kVersion1Provider,  // table version 1
    kAPI4Provider,
    kNegativeAPIProvider,
    kNoMetadataProvider,
    kNoOperationsProvider,  // neither operations table
    kNullModuleProvider,    // metadata that breaks the contract: NULL module names,
    kLineBreakProvider,     // a PAM module name and parameters with line breaks,
    kOverlongProvider,      // a 1 MiB PAM module name with 100,000 parameters
};

enum class Location {
    kLibSubdirectory,  // /usr/libexec/tslauth/lib/lib<name>.so, the first place looked at
    kPluginDirectory,  // /usr/libexec/tslauth/lib<name>.so
};

std::string PluginPath(std::string const& name, Location where);

// Copies the built plug-in to PluginPath(name, where) and returns that path. Fails the test
// unless /usr/libexec is the sandbox's private overlay.
std::string InstallPlugin(Plugin plugin, std::string const& name,
                          Location where = Location::kLibSubdirectory);

// Write /etc/ostrel/tslauth/provider.conf or qapprovider.conf: "provider = <name>".
void WriteProviderConfiguration(std::string const& name);
void WriteQAPProviderConfiguration(std::string const& name);

// Whether the object at this path is loaded in the process (dlopen with RTLD_NOLOAD).
bool IsLoaded(std::string const& path);

}  // namespace test_plugins

#endif
