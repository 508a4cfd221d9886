#include <authentication/active_directory_provider.h>
#include <authentication/exceptions.h>
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "provider_script.h"
#include "sandbox.h"
#include "test_plugins.h"
#include "thrown.h"

using namespace ostrel::authentication;
using namespace test_plugins;

namespace {

class ProviderLoadingTest : public sandbox::SandboxTest {
protected:
    ProviderScript script;
};

TEST_F(ProviderLoadingTest, LooksInTheLibSubdirectoryFirstThenInThePluginDirectory) {
    std::string const first = InstallPlugin(Plugin::kVersion1Provider, "ad");
    std::string const second =
        InstallPlugin(Plugin::kScriptedProvider, "ad", Location::kPluginDirectory);
    EXPECT_EQ(first, "/usr/libexec/tslauth/lib/libad.so");
    EXPECT_EQ(second, "/usr/libexec/tslauth/libad.so");
    {
        ActiveDirectoryProvider provider("ad");
        EXPECT_EQ(provider.GetAPIVersion(), 1);
        EXPECT_TRUE(IsLoaded(first));
        EXPECT_FALSE(IsLoaded(second));
    }

    // Without the first file, and with a first file that does not load, the second one is used.
    InstallPlugin(Plugin::kScriptedProvider, "only", Location::kPluginDirectory);
    EXPECT_EQ(ActiveDirectoryProvider("only").GetAPIVersion(), 2);
    sandbox::WriteFile(PluginPath("ad", Location::kLibSubdirectory), "not a shared object\n");
    EXPECT_EQ(ActiveDirectoryProvider("ad").GetAPIVersion(), 2);
}

TEST_F(ProviderLoadingTest, ReportsTheLoadersErrorForTheSecondPath) {
    EXPECT_EQ(Catch<IOError>([] { ActiveDirectoryProvider("missing"); }).message,
              "Unable to open provider: /usr/libexec/tslauth/libmissing.so: cannot open shared "
              "object file: No such file or directory");

    // The failure of the first path is not what is reported.
    sandbox::WriteFile(PluginPath("broken", Location::kLibSubdirectory), "not a shared object\n");
    EXPECT_EQ(Catch<IOError>([] { ActiveDirectoryProvider("broken"); }).message,
              "Unable to open provider: /usr/libexec/tslauth/libbroken.so: cannot open shared "
              "object file: No such file or directory");

    sandbox::WriteFile(PluginPath("broken", Location::kPluginDirectory), std::string(128, 'x'));
    EXPECT_EQ(Catch<IOError>([] { ActiveDirectoryProvider("broken"); }).message,
              "Unable to open provider: /usr/libexec/tslauth/libbroken.so: invalid ELF header");
}

TEST_F(ProviderLoadingTest, RefusesPluginsWithoutASymbolOrWithANewerAPIAndUnloadsThem) {
    std::string const api4 = InstallPlugin(Plugin::kAPI4Provider, "api4");
    Thrown const tooNew =
        Catch<InvalidActiveDirectoryProviderException>([] { ActiveDirectoryProvider("api4"); });
    EXPECT_EQ(tooNew.message,
              "The specified Active Directory provider 'api4' is invalid: The API version (4) "
              "is not supported by this version of libtslauth");
    EXPECT_EQ(tooNew.code, 0u);
    EXPECT_FALSE(IsLoaded(api4));

    std::string const noMetadata = InstallPlugin(Plugin::kNoMetadataProvider, "nometa");
    EXPECT_EQ(Catch<InvalidActiveDirectoryProviderException>([] {
                  ActiveDirectoryProvider("nometa");
              }).message,
              "The specified Active Directory provider 'nometa' is invalid: " + noMetadata +
                  ": undefined symbol: ActiveDirectoryClientMetadata");
    EXPECT_FALSE(IsLoaded(noMetadata));

    std::string const noOperations =
        InstallPlugin(Plugin::kNoOperationsProvider, "noops", Location::kPluginDirectory);
    EXPECT_EQ(Catch<InvalidActiveDirectoryProviderException>([] {
                  ActiveDirectoryProvider("noops");
              }).message,
              "The specified Active Directory provider 'noops' is invalid: " + noOperations +
                  ": undefined symbol: ActiveDirectoryClientOperations");
    EXPECT_FALSE(IsLoaded(noOperations));

    // The API version is signed: a negative one is not "above 3".
    InstallPlugin(Plugin::kNegativeAPIProvider, "negative");
    EXPECT_EQ(ActiveDirectoryProvider("negative").GetAPIVersion(), 2);
}

TEST_F(ProviderLoadingTest, RefusesNamesThatAreEmptyOrLeaveThePluginDirectory) {
    // An empty name would form ".../lib/lib.so"; nothing is loaded.
    std::string const unnamed = InstallPlugin(Plugin::kScriptedProvider, "");
    EXPECT_EQ(
        Catch<InvalidActiveDirectoryProviderException>([] { ActiveDirectoryProvider(""); }).message,
        "The specified Active Directory provider '(unset)' is invalid");
    EXPECT_FALSE(IsLoaded(unnamed));

    // With a directory ".../lib/lib" this name would reach ".../libexec/tslauth/libevil.so".
    sandbox::MakeDirectory("/usr/libexec/tslauth/lib/lib");
    std::string const evil =
        InstallPlugin(Plugin::kScriptedProvider, "evil", Location::kPluginDirectory);
    ASSERT_TRUE(sandbox::PathExists("/usr/libexec/tslauth/lib/lib/../../libevil.so"));
    EXPECT_EQ(Catch<InvalidActiveDirectoryProviderException>([] {
                  ActiveDirectoryProvider("/../../libevil");
              }).message,
              "The specified Active Directory provider '/../../libevil' is invalid: a provider "
              "name must not contain '/' or NUL characters");
    EXPECT_FALSE(IsLoaded(evil));
    EXPECT_EQ(Catch<InvalidActiveDirectoryProviderException>([] {
                  ActiveDirectoryProvider(std::string("evil\0/x", 7));
              }).code,
              0u);
}

TEST_F(ProviderLoadingTest, CachesTheMetadataWithoutCallingThePlugin) {
    InstallPlugin(Plugin::kScriptedProvider, "scripted");
    {
        ActiveDirectoryProvider const provider("scripted");
        EXPECT_EQ(provider.PAMModule(), "pam_scripted.so");
        EXPECT_EQ(provider.PAMModuleParameters(),
                  (std::list<std::string>{"try_first_pass", "unknown_ok"}));
        EXPECT_EQ(provider.NSSModule(), "scripted");
        EXPECT_EQ(provider.NSSModuleParameters(), std::list<std::string>{"cache"});
        EXPECT_EQ(provider.GetAPIVersion(), 2);
    }
    for (int slot = 1; slot <= 16; ++slot) {
        if (slot == 6) continue;
        EXPECT_EQ(script.Calls(static_cast<Slot>(slot)), 0u) << "slot " << slot;
    }

    InstallPlugin(Plugin::kEmptyProvider, "empty");
    ActiveDirectoryProvider const empty("empty");
    EXPECT_EQ(empty.PAMModule(), "pam_scripted.so");
    EXPECT_TRUE(empty.PAMModuleParameters().empty());
    EXPECT_TRUE(empty.NSSModuleParameters().empty());
}

TEST_F(ProviderLoadingTest, UnloadsWhenDestroyedAndTheScriptOutlivesAReload) {
    std::string const path = InstallPlugin(Plugin::kScriptedProvider, "scripted");
    script.SetString(kGetMachineAccountDN, "CN=sandbox-host,DC=ad");
    auto provider = std::make_unique<ActiveDirectoryProvider>("scripted");
    EXPECT_TRUE(IsLoaded(path));
    EXPECT_EQ(provider->GetMachineAccountDN(), "CN=sandbox-host,DC=ad");
    provider.reset();
    EXPECT_FALSE(IsLoaded(path));

    provider = std::make_unique<ActiveDirectoryProvider>("scripted");
    EXPECT_EQ(provider->GetMachineAccountDN(), "CN=sandbox-host,DC=ad");
    EXPECT_EQ(script.Calls(kGetMachineAccountDN), 2u);
}

}  // namespace
