#include <authentication/configuration.h>
#include <authentication/no_remote_authentication_store.h>
#include <systemconfiguration/pam_policy.h>

#include "store_fixture.h"

using namespace ostrel::authentication;
using sandbox::ReadFile;
using sandbox::WriteFile;

namespace {

std::string const kPAM = "/etc/pam.d/system-auth-generic";
std::string const kConf = "/etc/ostrel/tslauth/authentication.conf";
std::string const kOwn =
    "sufficient\t/lib/security/$ISA/pam_scripted.so\ttry_first_pass unknown_ok \n";
std::string const kRemoved =
    "6 Update PAM Config: Removing existing PAM entry: /lib/security/$ISA/pam_zodad.so";

std::string const kRedHatStyle =
    "#%PAM-1.0\n"
    "# This file is auto-generated.\n"
    "auth        required      /lib/security/$ISA/pam_env.so\n"
    "auth        required      /lib/security/$ISA/pam_access.so\n"
    "auth        sufficient    /lib/security/$ISA/pam_unix.so likeauth nullok\n"
    "auth        required      /lib/security/$ISA/pam_deny.so\n"
    "\n"
    "account     required      /lib/security/$ISA/pam_unix.so\n"
    "password    [success=1 default=ignore]  pam_unix.so obscure sha512\n"
    "session     required      /lib/security/$ISA/pam_limits.so\n";

std::string const kRedHatCanonical =
    "#%PAM-1.0\n\n"
    "account\trequired\t/lib/security/$ISA/pam_unix.so\t\n\n"
    "auth\trequired\t/lib/security/$ISA/pam_env.so\t\n"
    "auth\trequired\t/lib/security/$ISA/pam_access.so\t\n"
    "auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n"
    "auth\trequired\t/lib/security/$ISA/pam_deny.so\t\n\n"
    "password\t[success=1 default=ignore]\tpam_unix.so\tobscure sha512 \n\n"
    "session\trequired\t/lib/security/$ISA/pam_limits.so\t\n\n";

class ActivationTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        WriteFile(kConf, "remote-authentication-store = None\n", 0644);
    }

    // What is in pam.d and the store's configuration file, to compare before and after.
    std::string Files() {
        std::string all;
        for (std::string const& name : sandbox::ListDirectory("/etc/pam.d")) {
            all += name + ":" + ReadFile("/etc/pam.d/" + name) + "\n";
        }
        return all + "conf:" + ReadFile(kConf);
    }
};

}  // namespace

TEST_F(ActivationTest, ActivationPlacesTheEntryAfterPamAccessAndRecordsTheStore) {
    WriteFile(kPAM, kRedHatStyle, 0640);
    ActiveDirectoryStore store(60);
    store.MakeActive();
    std::string const active =
        "#%PAM-1.0\n\n"
        "account\trequired\t/lib/security/$ISA/pam_unix.so\t\n"
        "account\t" +
        kOwn +  // no pam_access in account: after the leading required entries
        "\n"
        "auth\trequired\t/lib/security/$ISA/pam_env.so\t\n"
        "auth\trequired\t/lib/security/$ISA/pam_access.so\t\n"
        "auth\t" +
        kOwn +
        "auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n"
        "auth\trequired\t/lib/security/$ISA/pam_deny.so\t\n\n"
        "password\t[success=1 default=ignore]\tpam_unix.so\tobscure sha512 \n\n"
        "session\trequired\t/lib/security/$ISA/pam_limits.so\t\n\n";
    EXPECT_EQ(active, ReadFile(kPAM));
    EXPECT_EQ(0640u, sandbox::FileMode(kPAM));
    EXPECT_EQ("remote-authentication-store = \"Active Directory\"\n", ReadFile(kConf));
    EXPECT_TRUE(store.IsActive());
    EXPECT_TRUE(Log().empty());

    // Again: the same file, no second entry.
    store.MakeActive();
    EXPECT_EQ(active, ReadFile(kPAM));

    // Deactivation takes the entry out and leaves the record alone.
    store.MakeInactive();
    EXPECT_EQ(kRedHatCanonical, ReadFile(kPAM));
    EXPECT_EQ(0640u, sandbox::FileMode(kPAM));
    EXPECT_EQ("remote-authentication-store = \"Active Directory\"\n", ReadFile(kConf));
    // No temporary file is left anywhere.
    EXPECT_EQ((std::vector<std::string>{"authentication.conf", "provider.conf"}),
              sandbox::ListDirectory("/etc/ostrel/tslauth"));
    EXPECT_EQ(std::vector<std::string>{"system-auth-generic"},
              sandbox::ListDirectory("/etc/pam.d"));
}

TEST_F(ActivationTest, ReplacedModuleEntriesAndMissingBlocks) {
    WriteFile(kPAM,
              "auth sufficient /lib/security/$ISA/pam_zodad.so old\n"
              "auth required pam_unix.so\n"
              "auth sufficient /lib/security/$ISA/pam_zodad.so second\n");
    ActiveDirectoryStore store(60);
    store.MakeActive();
    // Only the first replaced entry goes, logged; without account lines, an account block
    // holding the entry alone appears.
    EXPECT_EQ(
        "#%PAM-1.0\n\n"
        "account\t" +
            kOwn +
            "\n"
            "auth\trequired\tpam_unix.so\t\n"
            "auth\t" +
            kOwn + "auth\tsufficient\t/lib/security/$ISA/pam_zodad.so\tsecond \n\n",
        ReadFile(kPAM));
    EXPECT_EQ(std::vector<std::string>{kRemoved}, Log());

    // Deactivation removes the next replaced entry too (logged) and the provider's own; the
    // account block stays as an empty block.
    sandbox::ClearCapturedLog();
    store.MakeInactive();
    EXPECT_EQ("#%PAM-1.0\n\n\nauth\trequired\tpam_unix.so\t\n\n", ReadFile(kPAM));
    EXPECT_EQ(std::vector<std::string>{kRemoved}, Log());
}

TEST_F(ActivationTest, AnEqualEntryAnywhereIsNotAddedAgain) {
    // An entry equal to the provider's (same control, module and parameters) is kept where
    // it is; one that differs in its parameters is not the provider's entry.
    WriteFile(kPAM,
              "auth required pam_env.so\n"
              "auth sufficient /lib/security/$ISA/pam_scripted.so try_first_pass unknown_ok\n"
              "account sufficient /lib/security/$ISA/pam_scripted.so try_first_pass\n");
    ActiveDirectoryStore store(60);
    store.MakeActive();
    EXPECT_EQ(
        "#%PAM-1.0\n\n"
        "account\t" +
            kOwn +
            "account\tsufficient\t/lib/security/$ISA/pam_scripted.so\ttry_first_pass \n\n"
            "auth\trequired\tpam_env.so\t\n"
            "auth\t" +
            kOwn + "\n",
        ReadFile(kPAM));
}

// Stack shapes of Debian's and RHEL-style files: the entry goes after pam_access, else after
// the leading required/requisite entries, so that pam_env, pam_faildelay and a lockout's
// pre-check still run for domain users. Deactivation removes the provider's module however an
// administrator changed it, and leaves a file without it alone.
TEST_F(ActivationTest, PlacementByStackShapeAndDeactivationOfEditedEntries) {
    struct {
        char const* name;
        std::string file;
        std::string auth;  // the auth block after activation
    } const shapes[] = {
        {"Debian common-auth",
         "auth [success=1 default=ignore] pam_unix.so nullok\n"
         "auth requisite pam_deny.so\nauth required pam_permit.so\n",
         "auth\t" + kOwn +
             "auth\t[success=1 default=ignore]\tpam_unix.so\tnullok \n"
             "auth\trequisite\tpam_deny.so\t\nauth\trequired\tpam_permit.so\t\n"},
        {"RHEL system-auth",
         "auth required pam_env.so\nauth required pam_faildelay.so delay=2000000\n"
         "auth required pam_faillock.so preauth\nauth sufficient pam_unix.so nullok\n"
         "auth required pam_deny.so\n",
         "auth\trequired\tpam_env.so\t\nauth\trequired\tpam_faildelay.so\tdelay=2000000 \n"
         "auth\trequired\tpam_faillock.so\tpreauth \nauth\t" +
             kOwn + "auth\tsufficient\tpam_unix.so\tnullok \nauth\trequired\tpam_deny.so\t\n"},
    };
    ActiveDirectoryStore store(60);
    for (auto const& shape : shapes) {
        SCOPED_TRACE(shape.name);
        WriteFile(kPAM, shape.file);
        store.MakeActive();
        std::string const active = ReadFile(kPAM);
        EXPECT_NE(std::string::npos, active.find("\n\n" + shape.auth + "\n")) << active;

        // An administrator's own variants of the entry all go.
        WriteFile(kPAM, shape.file +
                            "auth [success=done default=ignore] /lib/security/$ISA/pam_scripted.so "
                            "cached_login\naccount required pam_scripted.so\n");
        store.MakeInactive();
        EXPECT_EQ(std::string::npos, ReadFile(kPAM).find("pam_scripted.so")) << ReadFile(kPAM);
    }

    // Nothing of the provider's in the file: not rewritten.
    WriteFile(kPAM, "# only a comment\nsession required pam_limits.so\n");
    store.MakeInactive();
    EXPECT_EQ("# only a comment\nsession required pam_limits.so\n", ReadFile(kPAM));
}

TEST_F(ActivationTest, FailuresLeaveTheFilesAsTheyWere) {
    ActiveDirectoryStore store(60);
    // No PAM file: nothing changes anywhere.
    std::string before = Files();
    std::string const missing = Named(
        typeid(IOError), "Cannot open '/etc/pam.d/system-auth-generic': No such file or directory");
    EXPECT_EQ(missing, WhatThrown([&] { store.MakeActive(); }));
    EXPECT_EQ(missing, WhatThrown([&] { store.MakeInactive(); }));
    EXPECT_EQ(before, Files());

    // A file the model rejects is not rewritten, and no temporary file is left; the message
    // names the file and the line, in the model's class.
    WriteFile(kPAM, "auth required pam_env.so\n# a comment\nauth requird pam_unix.so\n");
    before = Files();
    std::string const refused =
        Named(typeid(SystemConfiguration::InvalidControlException),
              "/etc/pam.d/system-auth-generic, line 3: Invalid Control: requird");
    EXPECT_EQ(refused, WhatThrown([&] { store.MakeActive(); }));
    EXPECT_EQ(refused, WhatThrown([&] { store.MakeInactive(); }));
    EXPECT_EQ(refused, WhatThrown([&] { ActiveDirectoryStore::CurrentPolicy(); }));
    EXPECT_EQ(before, Files());

    // A statement cut short after its control reads as an entry without module, which cannot
    // be written back: refused before any file is created.
    WriteFile(kPAM, "auth required pam_env.so\nauth required");
    before = Files();
    EXPECT_EQ(Named(typeid(SystemConfiguration::InvalidEntryException),
                    "/etc/pam.d/system-auth-generic, line 2: Invalid Entry: the module is empty"),
              WhatThrown([&] { store.MakeActive(); }));
    EXPECT_EQ(before, Files());

    // Without authentication.conf, activation stops before the PAM edit.
    WriteFile(kPAM, kRedHatStyle);
    unlink(kConf.c_str());
    EXPECT_EQ(Named(typeid(IOError), "Unable to open '" + kConf + "': No such file or directory"),
              WhatThrown([&] { store.MakeActive(); }));
    EXPECT_EQ(kRedHatStyle, ReadFile(kPAM));

    // Without the key the record cannot be made, and the PAM file goes back byte for byte.
    WriteFile(kConf, "other = x\n");
    EXPECT_EQ(Named(typeid(InvalidKeyException),
                    "The specified key 'remote-authentication-store' was not found in this "
                    "configuration"),
              WhatThrown([&] { store.MakeActive(); }));
    EXPECT_EQ(kRedHatStyle, ReadFile(kPAM));
    EXPECT_EQ("other = x\n", ReadFile(kConf));
}

TEST_F(ActivationTest, SwitchingToNoneDeactivatesEndToEnd) {
    WriteFile(kPAM, kRedHatStyle, 0644);
    ActiveDirectoryStore(60).MakeActive();
    ASSERT_NE(std::string::npos, ReadFile(kPAM).find("pam_scripted.so"));

    NoRemoteAuthenticationStore none;
    none.MakeActive();
    EXPECT_EQ("remote-authentication-store = \"None\"\n", ReadFile(kConf));
    EXPECT_EQ(kRedHatCanonical, ReadFile(kPAM));
    EXPECT_TRUE(none.IsActive());
    EXPECT_FALSE(ActiveDirectoryStore(60).IsActive());

    // "None" again over a provider module left in the PAM file: it comes out.
    WriteFile(kPAM, kRedHatStyle + "auth sufficient pam_scripted.so\n");
    none.MakeActive();
    EXPECT_EQ(kRedHatCanonical, ReadFile(kPAM));
}

TEST_F(ActivationTest, ProviderEntry) {
    SystemConfiguration::PAMEntry entry = ActiveDirectoryStore(60).GetPAMEntryForProvider();
    EXPECT_EQ(SystemConfiguration::PAMControl::Sufficient,
              static_cast<SystemConfiguration::PAMControl::Control>(entry.control()));
    EXPECT_EQ("/lib/security/$ISA/pam_scripted.so", entry.module());
    EXPECT_EQ((std::vector<std::string>{"try_first_pass", "unknown_ok"}), entry.parameters());
}
