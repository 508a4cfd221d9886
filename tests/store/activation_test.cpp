#include <authentication/configuration.h>
#include <authentication/no_remote_authentication_store.h>
#include <systemconfiguration/pam_policy.h>

#include "store_fixture.h"
#ifdef TSLAUTH_TEST_PAM
#include "pam_judge.h"
#endif

using namespace ostrel::authentication;
using sandbox::ReadFile;
using sandbox::WriteFile;

namespace {

std::string const kPAM = "/etc/pam.d/system-auth-generic";
std::string const kConf = "/etc/ostrel/tslauth/authentication.conf";
std::string const kOwn =
    "sufficient\t/lib/security/$ISA/pam_scripted.so\ttry_first_pass unknown_ok \n";
std::string const kHeader = "#%PAM-1.0\n\n";
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

std::string const kRedHatAuth =
    "auth\trequired\t/lib/security/$ISA/pam_env.so\t\n"
    "auth\trequired\t/lib/security/$ISA/pam_access.so\t\n";
std::string const kRedHatRest =
    "auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n"
    "auth\trequired\t/lib/security/$ISA/pam_deny.so\t\n\n"
    "password\t[success=1 default=ignore]\tpam_unix.so\tobscure sha512 \n\n"
    "session\trequired\t/lib/security/$ISA/pam_limits.so\t\n\n";
std::string const kRedHatAccount = "account\trequired\t/lib/security/$ISA/pam_unix.so\t\n";
std::string const kRedHatCanonical = kHeader + kRedHatAccount + "\n" + kRedHatAuth + kRedHatRest;

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

// The exact bytes activation writes: the entry after pam_access, else after the leading
// required/requisite entries (so that pam_env, pam_faildelay and a lockout's pre-check still
// run for domain users); an account block of its own when the file has none; the replaced
// module's first entry out, logged; an equal entry anywhere kept. Activating again changes
// nothing; deactivation writes the canonical file without the entry, modes kept.
TEST_F(ActivationTest, ExactBytesOfActivationAndDeactivation) {
    struct {
        char const* name;
        std::string file, active, inactive;
        std::vector<std::string> log;
    } const rows[] = {
        {"Red Hat style",
         kRedHatStyle,
         kHeader + kRedHatAccount + "account\t" + kOwn + "\n" + kRedHatAuth + "auth\t" + kOwn +
             kRedHatRest,
         kRedHatCanonical,
         {}},
        {"replaced module, no account block",
         "auth sufficient /lib/security/$ISA/pam_zodad.so old\nauth required pam_unix.so\n"
         "auth sufficient /lib/security/$ISA/pam_zodad.so second\n",
         kHeader + "account\t" + kOwn + "\nauth\trequired\tpam_unix.so\t\nauth\t" + kOwn +
             "auth\tsufficient\t/lib/security/$ISA/pam_zodad.so\tsecond \n\n",
         // The next replaced entry goes too; the account block stays, empty.
         kHeader + "\nauth\trequired\tpam_unix.so\t\n\n",
         {kRemoved}},
        {"equal entry elsewhere",
         "auth required pam_env.so\n"
         "auth sufficient /lib/security/$ISA/pam_scripted.so try_first_pass unknown_ok\n"
         "account sufficient /lib/security/$ISA/pam_scripted.so try_first_pass\n",
         kHeader + "account\t" + kOwn +
             "account\tsufficient\t/lib/security/$ISA/pam_scripted.so\ttry_first_pass \n\n"
             "auth\trequired\tpam_env.so\t\nauth\t" +
             kOwn + "\n",
         kHeader + "\nauth\trequired\tpam_env.so\t\n\n",
         {}},
        {"Debian common-auth",
         "auth [success=1 default=ignore] pam_unix.so nullok\n"
         "auth requisite pam_deny.so\nauth required pam_permit.so\n",
         kHeader + "account\t" + kOwn + "\nauth\t" + kOwn +
             "auth\t[success=1 default=ignore]\tpam_unix.so\tnullok \n"
             "auth\trequisite\tpam_deny.so\t\nauth\trequired\tpam_permit.so\t\n\n",
         kHeader + "\nauth\t[success=1 default=ignore]\tpam_unix.so\tnullok \n"
                   "auth\trequisite\tpam_deny.so\t\nauth\trequired\tpam_permit.so\t\n\n",
         {}},
        {"RHEL system-auth",
         "auth required pam_env.so\nauth required pam_faildelay.so delay=2000000\n"
         "auth required pam_faillock.so preauth\nauth sufficient pam_unix.so nullok\n",
         kHeader + "account\t" + kOwn +
             "\nauth\trequired\tpam_env.so\t\nauth\trequired\tpam_faildelay.so\tdelay=2000000 \n"
             "auth\trequired\tpam_faillock.so\tpreauth \nauth\t" +
             kOwn + "auth\tsufficient\tpam_unix.so\tnullok \n\n",
         kHeader + "\nauth\trequired\tpam_env.so\t\nauth\trequired\tpam_faildelay.so\t"
                   "delay=2000000 \nauth\trequired\tpam_faillock.so\tpreauth \n"
                   "auth\tsufficient\tpam_unix.so\tnullok \n\n",
         {}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(kPAM, row.file, 0640);
        WriteFile(kConf, "remote-authentication-store = None\n", 0644);
        sandbox::ClearCapturedLog();
        ActiveDirectoryStore store(60);
        store.MakeActive();
        EXPECT_EQ(row.active, ReadFile(kPAM));
        EXPECT_EQ(0640u, sandbox::FileMode(kPAM));
        EXPECT_EQ("remote-authentication-store = \"Active Directory\"\n", ReadFile(kConf));
        EXPECT_TRUE(store.IsActive());
        EXPECT_EQ(row.log, Log());
        if (row.log.empty()) {  // else the next replaced entry would go
            store.MakeActive();
            EXPECT_EQ(row.active, ReadFile(kPAM));
        }

        sandbox::ClearCapturedLog();
        store.MakeInactive();
        EXPECT_EQ(row.inactive, ReadFile(kPAM));
        EXPECT_EQ(0640u, sandbox::FileMode(kPAM));
        EXPECT_EQ("remote-authentication-store = \"Active Directory\"\n", ReadFile(kConf));
        EXPECT_EQ(row.log, Log());
        // No temporary file is left anywhere.
        EXPECT_EQ((std::vector<std::string>{"authentication.conf", "provider.conf"}),
                  sandbox::ListDirectory("/etc/ostrel/tslauth"));
        EXPECT_EQ(std::vector<std::string>{"system-auth-generic"},
                  sandbox::ListDirectory("/etc/pam.d"));
    }

    // Deactivation removes the provider's module however an administrator changed it, and
    // leaves a file without it alone.
    ActiveDirectoryStore store(60);
    WriteFile(kPAM,
              "auth [success=done default=ignore] /lib/security/$ISA/pam_scripted.so "
              "cached_login\naccount required pam_scripted.so\nauth required pam_deny.so\n");
    store.MakeInactive();
    EXPECT_EQ(kHeader + "\nauth\trequired\tpam_deny.so\t\n\n", ReadFile(kPAM));
    WriteFile(kPAM, "# only a comment\nsession required pam_limits.so\n");
    store.MakeInactive();
    EXPECT_EQ("# only a comment\nsession required pam_limits.so\n", ReadFile(kPAM));

    // Switching to None deactivates, also over a provider module left in the file.
    WriteFile(kPAM, kRedHatStyle + "auth sufficient pam_scripted.so\n");
    NoRemoteAuthenticationStore none;
    none.MakeActive();
    EXPECT_EQ("remote-authentication-store = \"None\"\n", ReadFile(kConf));
    EXPECT_EQ(kRedHatCanonical, ReadFile(kPAM));
    EXPECT_FALSE(store.IsActive());
}

TEST_F(ActivationTest, FailuresLeaveTheFilesAsTheyWere) {
    ActiveDirectoryStore store(60);
    // No PAM file, a file the model rejects, a statement cut short after its control (an
    // entry without module cannot be written back): named by file and line, nothing written.
    std::string const missing = Named(
        typeid(IOError), "Cannot open '/etc/pam.d/system-auth-generic': No such file or directory");
    std::string const refused =
        Named(typeid(SystemConfiguration::InvalidControlException),
              "/etc/pam.d/system-auth-generic, line 3: Invalid Control: requird");
    std::string const cut =
        Named(typeid(SystemConfiguration::InvalidEntryException),
              "/etc/pam.d/system-auth-generic, line 2: Invalid Entry: the module is empty");
    struct {
        char const* file;  // nullptr: none
        std::string error;
    } const rows[] = {
        {nullptr, missing},
        {"auth required pam_env.so\n# a comment\nauth requird pam_unix.so\n", refused},
        {"auth required pam_env.so\nauth required", cut},
    };
    for (auto const& row : rows) {
        if (row.file != nullptr) WriteFile(kPAM, row.file);
        std::string const before = Files();
        EXPECT_EQ(row.error, WhatThrown([&] { store.MakeActive(); }));
        EXPECT_EQ(row.error, WhatThrown([&] { store.MakeInactive(); }));
        EXPECT_EQ(before, Files());
    }
    EXPECT_EQ(cut, WhatThrown([&] { ActiveDirectoryStore::CurrentPolicy(); }));

    // Without authentication.conf, activation stops before the PAM edit; without the key the
    // record cannot be made and the PAM file goes back byte for byte.
    WriteFile(kPAM, kRedHatStyle);
    ::unlink(kConf.c_str());
    EXPECT_EQ(Named(typeid(IOError), "Unable to open '" + kConf + "': No such file or directory"),
              WhatThrown([&] { store.MakeActive(); }));
    EXPECT_EQ(kRedHatStyle, ReadFile(kPAM));
    WriteFile(kConf, "other = x\n");
    EXPECT_EQ(Named(typeid(InvalidKeyException),
                    "The specified key 'remote-authentication-store' was not found in this "
                    "configuration"),
              WhatThrown([&] { store.MakeActive(); }));
    EXPECT_EQ(kRedHatStyle, ReadFile(kPAM));
    EXPECT_EQ("other = x\n", ReadFile(kConf));
}

// Activation and deactivation judged by the machine's PAM library: the provider's module is
// not installed where the PAM library looks, so an activated file must make the library do
// exactly what the original did, and so must the file deactivated again.
#ifdef TSLAUTH_TEST_PAM
TEST_F(ActivationTest, OnlyTheProvidersModuleChangesWhatThePAMLibraryDoes) {
    std::string const recorder = pam_judge::Recorder();
    // "@" stands for the recorder; pam_access under the store's directory is where the
    // provider's entry goes.
    char const* const files[] = {
        "#%PAM-1.0\nauth        required      @ env\n"
        "auth        optional      /lib/security/$ISA/pam_access.so\n"
        "auth        sufficient    @ unix likeauth \\\n  nullok\nauth        required      @ no1\n"
        "account     required      @ acct # comment\npassword    requisite     @ pw\n"
        "-session    optional      pam_systemd_missing.so\nsession     required      @ [s  1]\n",
        "auth\t[success=1 default=ignore]\t@ ok\nauth\trequisite\t\t\tpam_deny.so\n"
        "auth\trequired\t\t\tpam_permit.so\n"
        "account\t[success=1 new_authtok_reqd=done default=ignore]\t@ no2\n"
        "account\trequisite\t\t\tpam_deny.so\naccount\trequired\t\t\tpam_permit.so\n"
        "session\toptional\t@ s\n",
        "AUTH Sufficient @ no3\nauth [default=die] @ no4\nAccount Optional @ a\n",
        // A jump over the place of the provider's entry still lands where it did.
        "auth [success=2 default=ignore] @ ok\nauth optional /lib/security/$ISA/pam_access.so\n"
        "auth requisite pam_deny.so\nauth required pam_permit.so\n",
    };
    for (std::string file : files) {
        for (auto at = file.find('@'); at != std::string::npos;
             at = file.find('@', at + recorder.size())) {
            file.replace(at, 1, recorder);
        }
        sandbox::WriteFile(kPAM, file, 0640);
        std::string const original =
            pam_judge::Run(sandbox::ScratchDirectory() + "/original", file);
        EXPECT_NE(std::string::npos, original.find('|')) << "nothing ran: " << file;
        ActiveDirectoryStore store(60);
        store.MakeActive();
        std::string const active = sandbox::ReadFile(kPAM);
        EXPECT_NE(std::string::npos, active.find("pam_scripted.so")) << active;
        EXPECT_EQ(original, pam_judge::Run(sandbox::ScratchDirectory() + "/active", active))
            << file << "--\n"
            << active;
        store.MakeInactive();
        std::string const inactive = sandbox::ReadFile(kPAM);
        EXPECT_EQ(original, pam_judge::Run(sandbox::ScratchDirectory() + "/inactive", inactive))
            << file << "--\n"
            << inactive;
    }
}

#endif
