#include <authentication/configuration.h>
#include <authentication/login_permissions.h>
#include <authentication/no_remote_authentication_store.h>
#include <systemconfiguration/pam_policy.h>

#include <regex>
#include <sstream>

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
std::string const kActive = "remote-authentication-store = \"Active Directory\"\n";
std::string const kPermit = "/lib/security/$ISA/pam_tslauth_permit.so";
std::string const kPermitControl = "[success=ok ignore=ignore module_unknown=ignore default=die]";
std::string const kRemoved =
    "6 Update PAM Config: Removing existing PAM entry: /lib/security/$ISA/pam_zodad.so";

std::string const kRedHatStyle =
    "#%PAM-1.0\n"
    "# This file is auto-generated.\n"
    "auth        required      /lib/security/$ISA/pam_env.so\n"
    "auth        optional      /lib/security/$ISA/pam_access.so\n"
    "auth        sufficient    /lib/security/$ISA/pam_unix.so likeauth nullok\n"
    "auth        required      /lib/security/$ISA/pam_deny.so\n"
    "\n"
    "account     required      /lib/security/$ISA/pam_unix.so\n"
    "password    [success=1 default=ignore]  pam_unix.so obscure sha512\n"
    "session     required      /lib/security/$ISA/pam_limits.so\n";
// Activated, in the form Version reads.
std::string const kRedHatActive =
    "#%PAM-1.0\n\naccount\trequired\t/lib/security/$ISA/pam_unix.so\t\n+account@\n\n"
    "auth\trequired\t/lib/security/$ISA/pam_env.so\t\n"
    "auth\toptional\t/lib/security/$ISA/pam_access.so\t\n+auth@\n"
    "auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n"
    "auth\trequired\t/lib/security/$ISA/pam_deny.so\t\n\n"
    "password\t[success=1 default=ignore]\tpam_unix.so\tobscure sha512 \n\n"
    "session\trequired\t/lib/security/$ISA/pam_limits.so\t\n\n";

// The activated or deactivated file: "+" marks lines only activation writes, "@" our entry.
std::string Version(std::string const& marked, bool active) {
    std::string file;
    std::istringstream lines(marked);
    for (std::string line; std::getline(lines, line);) {
        if (line[0] != '+') {
            file += line + "\n";
        } else if (active) {
            // The login-permission check comes right before the provider's account entry.
            if (line == "+account@") file += "account\t" + kPermitControl + "\t" + kPermit + "\t\n";
            file += line.substr(1, line.find('@') - 1) +
                    (line.back() == '@' ? "\tsufficient\t/lib/security/$ISA/pam_scripted.so\t"
                                          "try_first_pass unknown_ok \n"
                                        : "\n");
        }
    }
    return file;
}

class ActivationTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        WriteFile(kConf, "remote-authentication-store = None\n", 0644);
    }

    // The files of pam.d and the store's directory but provider.conf: names, modes and bytes.
    static std::string Files() {
        std::string all;
        for (std::string const directory : {"/etc/pam.d/", "/etc/ostrel/tslauth/"}) {
            for (std::string const& name : sandbox::ListDirectory(directory)) {
                if (name == "provider.conf") continue;
                all += Describe(directory + name, sandbox::FileMode(directory + name),
                                ReadFile(directory + name));
            }
        }
        return all;
    }
    static std::string Describe(std::string const& path, unsigned mode, std::string const& bytes) {
        return path + " " + std::to_string(mode) + ":\n" + bytes;
    }
};

// Ours after pam_access, else the leading required/requisite; replaced one out; equal one kept.
TEST_F(ActivationTest, ExactBytesOfActivationAndDeactivation) {
    struct {
        char const* name;
        std::string file, marked;  // marked: see Version
    } const rows[] = {
        {"Red Hat style", kRedHatStyle, kRedHatActive},
        // Deactivation takes the next replaced entry too; the account block stays, empty.
        {"replaced module, no account block",
         "auth sufficient /lib/security/$ISA/pam_zodad.so old\nauth required pam_unix.so\n"
         "auth requisite pam_tally.so\nauth sufficient /lib/security/$ISA/pam_zodad.so second\n",
         "#%PAM-1.0\n\n+account@\n\nauth\trequired\tpam_unix.so\t\n"
         "auth\trequisite\tpam_tally.so\t\n+auth@\n"
         "+auth\tsufficient\t/lib/security/$ISA/pam_zodad.so\tsecond \n\n"},
        {"equal entry elsewhere",
         "auth required pam_env.so\n"
         "auth sufficient /lib/security/$ISA/pam_scripted.so try_first_pass unknown_ok\n"
         "account sufficient /lib/security/$ISA/pam_scripted.so try_first_pass\n",
         "#%PAM-1.0\n\n+account@\n"
         "+account\tsufficient\t/lib/security/$ISA/pam_scripted.so\ttry_first_pass \n\n"
         "auth\trequired\tpam_env.so\t\n+auth@\n\n"},
        // Deactivation takes the module out of password and session too; activation leaves them.
        {"Debian common-auth, module in password and session",
         "auth [success=1 default=ignore] pam_unix.so nullok\n"
         "auth requisite pam_deny.so\nauth required pam_permit.so\n"
         "password sufficient /lib/security/$ISA/pam_scripted.so try_first_pass\n"
         "session optional pam_scripted.so\n",
         "#%PAM-1.0\n\n+account@\n\n+auth@\nauth\t[success=1 default=ignore]\tpam_unix.so\tnullok "
         "\n"
         "auth\trequisite\tpam_deny.so\t\nauth\trequired\tpam_permit.so\t\n\n"
         "+password\tsufficient\t/lib/security/$ISA/pam_scripted.so\ttry_first_pass \n\n"
         "+session\toptional\tpam_scripted.so\t\n\n"},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(kPAM, row.file, 0640);
        WriteFile(kConf, "remote-authentication-store = None\n", 0644);
        sandbox::ClearCapturedLog();
        bool const replaced = row.file.find("zodad") != std::string::npos;
        std::vector<std::string> const log =
            replaced ? std::vector<std::string>{kRemoved} : std::vector<std::string>{};
        ActiveDirectoryStore store(60);
        store.MakeActive();
        if (!replaced) store.MakeActive();  // else the next replaced entry would go
        EXPECT_TRUE(store.IsActive());
        EXPECT_EQ(Describe(kPAM, 0640, Version(row.marked, true)) + Describe(kConf, 0644, kActive),
                  Files());
        EXPECT_EQ(log, Log());
        sandbox::ClearCapturedLog();
        store.MakeInactive();
        EXPECT_EQ(Describe(kPAM, 0640, Version(row.marked, false)) + Describe(kConf, 0644, kActive),
                  Files());
        EXPECT_EQ(log, Log());
    }

    // Deactivation removes the module however it was changed, and leaves a file without it.
    ActiveDirectoryStore store(60);
    WriteFile(kPAM,
              "auth [success=done default=ignore] /lib/security/$ISA/pam_scripted.so "
              "cached_login\naccount required pam_scripted.so\nauth required pam_deny.so\n");
    store.MakeInactive();
    EXPECT_EQ("#%PAM-1.0\n\n\nauth\trequired\tpam_deny.so\t\n\n", ReadFile(kPAM));
    WriteFile(kPAM, "# only a comment\nsession required pam_limits.so\n");
    store.MakeInactive();
    EXPECT_EQ("# only a comment\nsession required pam_limits.so\n", ReadFile(kPAM));
}

// With None recorded, None's activation takes a leftover module out; an activation that came
// after it read the record (here: while it loads the plug-in) keeps its module.
TEST_F(ActivationTest, NoneRemovesALeftoverModuleOnlyWhileNoneIsRecorded) {
    std::string const active = Version(kRedHatActive, true);
    WriteFile(kPAM, active, 0640);
    NoRemoteAuthenticationStore().MakeActive();
    EXPECT_EQ(Describe(kPAM, 0640, Version(kRedHatActive, false)) +
                  Describe(kConf, 0644, "remote-authentication-store = None\n"),
              Files());

    ASSERT_TRUE(Unloaded(pluginPath));
    WriteFile(kPAM, active, 0640);
    test_plugins::OnNextLoad([] { WriteFile(kConf, kActive); });
    NoRemoteAuthenticationStore().MakeActive();
    EXPECT_EQ(Describe(kPAM, 0640, active) + Describe(kConf, 0644, kActive), Files());
}

// Each failure leaves every file as it was (the PAM file is put back when the record fails).
TEST_F(ActivationTest, FailuresLeaveTheFilesAsTheyWere) {
    ActiveDirectoryStore store(60);
    std::string const none = "remote-authentication-store = None\n";
    struct {
        std::string file, conf;  // "-": none
        std::string error;
    } const rows[] = {
        {"-", none,
         Named(typeid(IOError), "Cannot open '" + kPAM + "': No such file or directory")},
        {"auth required pam_env.so\n# a comment\nauth requird pam_unix.so\n", none,
         Named(typeid(SystemConfiguration::InvalidControlException),
               kPAM + ", line 3: Invalid Control: requird")},
        {kRedHatStyle, "-",
         Named(typeid(IOError), "Unable to open '" + kConf + "': No such file or directory")},
        {kRedHatStyle, "other = x\n",
         Named(typeid(InvalidKeyException),
               "The specified key 'remote-authentication-store' was not found in this "
               "configuration")},
    };
    for (auto const& row : rows) {
        ::unlink(kConf.c_str());
        if (row.file != "-") WriteFile(kPAM, row.file);
        if (row.conf != "-") WriteFile(kConf, row.conf);
        std::string const before = Files();
        EXPECT_EQ(row.error, WhatThrown([&] { store.MakeActive(); }));
        EXPECT_EQ(row.error,
                  row.conf == none ? WhatThrown([&] { store.MakeInactive(); }) : row.error);
        EXPECT_EQ(before, Files());
    }
}

// The list of who may log in: its bytes and mode; a name the directory cannot be asked about
// is kept with a warning; it survives switches of the store; saving it while the store is
// active puts a missing check back into the PAM file.
TEST_F(ActivationTest, LoginPermissionsSurviveSwitchesAndPutTheirCheckBack) {
    std::string const list = "/etc/ostrel/tslauth/login-permissions.conf";
    WriteFile(kPAM, kRedHatStyle, 0640);
    ActiveDirectoryStore store(60);
    EXPECT_TRUE(LoginPermissions::Load().PermitsEveryone());
    EXPECT_EQ(Named(typeid(InvalidAccountNameException), InvalidAccountNameException().what()),
              WhatThrown([&] {
                  std::vector<std::string> warnings;
                  LoginPermissions::Only(store, LoginPermissions::kUser, {"a\tb"}, warnings);
              }));
    std::vector<std::string> warnings;
    LoginPermissions const admins = LoginPermissions::Only(
        store, LoginPermissions::kGroup, {"CORP\\linux admins", "root"}, warnings);
    std::string const unasked = std::string(" (") + CallNotImplementedException().what() +
                                "): kept as given, matched by name only";
    EXPECT_EQ((std::vector<std::string>{
                  "the directory could not be asked about group 'CORP\\linux admins'" + unasked,
                  "the directory could not be asked about group 'root'" + unasked}),
              warnings);
    std::string const bytes =
        "group.001 = \"- - CORP\\linux admins\"\ngroup.002 = \"0 - root\"\npermit = \"listed\"\n";
    EXPECT_EQ(LoginPermissions::Changes{list}, admins.Save(store));
    EXPECT_EQ(LoginPermissions::Changes{}, admins.Save(store));
    EXPECT_EQ(bytes, ReadFile(list));
    EXPECT_EQ(0644u, sandbox::FileMode(list));
    EXPECT_EQ(2u, LoginPermissions::Load().Accounts().size());

    store.MakeActive();
    NoRemoteAuthenticationStore().MakeActive();
    EXPECT_EQ(Version(kRedHatActive, false), ReadFile(kPAM));
    store.MakeActive();
    std::string const active = ReadFile(kPAM);
    std::string const permitLine = "account\t" + kPermitControl + "\t" + kPermit + "\t\n";
    std::string withoutCheck = active;
    withoutCheck.erase(withoutCheck.find(permitLine), permitLine.size());
    WriteFile(kPAM, withoutCheck, 0640);
    EXPECT_EQ(LoginPermissions::Changes{kPAM}, admins.Save(store));
    EXPECT_EQ(Describe(kPAM, 0640, Version(kRedHatActive, true)) + Describe(kConf, 0644, kActive) +
                  Describe(list, 0644, bytes),
              Files());
    EXPECT_EQ(LoginPermissions::Changes{list}, LoginPermissions().Save(store));
    EXPECT_EQ("permit = \"all\"\n", ReadFile(list));
}

// The provider's module is not loadable: edited files must make the PAM library act as before.
#ifdef TSLAUTH_TEST_PAM
// The edited file with the check's module path leading to the module just built.
static std::string WithBuiltPermitModule(std::string file) {
    for (std::size_t at = file.find(kPermit); at != std::string::npos; at = file.find(kPermit)) {
        file.replace(at, kPermit.size(), PERMIT_PAM_MODULE);
    }
    return file;
}

TEST_F(ActivationTest, OnlyTheProvidersModuleChangesWhatThePAMLibraryDoes) {
    std::string const recorder = pam_judge::Recorder();
    // "@" stands for the recorder.
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
        // A jump over the place of the provider's entry still lands where it did.
        "auth [success=2 default=ignore] @ ok\nauth optional /lib/security/$ISA/pam_access.so\n"
        "auth requisite pam_deny.so\nauth required pam_permit.so\n",
        // A jump over nothing but the provider's entry, to the end: denied, also once the
        // entry is gone (a success in its place would let everyone in).
        "auth [success=1 default=ignore] @ ok\n"
        "auth sufficient /lib/security/$ISA/pam_scripted.so try_first_pass unknown_ok\n"
        "account [success=1 default=ignore] @ ok\n"
        "account sufficient /lib/security/$ISA/pam_scripted.so try_first_pass unknown_ok\n"
        "password [success=1 default=ignore] @ ok\npassword sufficient pam_scripted.so\n"
        "session [success=1 default=ignore] @ ok\nsession optional pam_scripted.so\n",
    };
    for (std::string file : files) {
        file = std::regex_replace(file, std::regex("@"), recorder);
        sandbox::WriteFile(kPAM, file, 0640);
        std::string const original =
            pam_judge::Run(sandbox::ScratchDirectory() + "/original", file);
        EXPECT_NE(std::string::npos, original.find('|')) << "nothing ran: " << file;
        ActiveDirectoryStore store(60);
        for (bool const active : {true, false}) {
            active ? store.MakeActive() : store.MakeInactive();
            std::string const edited = WithBuiltPermitModule(sandbox::ReadFile(kPAM));
            EXPECT_EQ(active, edited.find("pam_scripted.so") != std::string::npos) << edited;
            EXPECT_EQ(active, edited.find(PERMIT_PAM_MODULE) != std::string::npos) << edited;
            EXPECT_EQ(
                original,
                pam_judge::Run(sandbox::ScratchDirectory() + "/" + std::to_string(active), edited))
                << file << "--\n"
                << edited;
            // Nor when the check's module is missing: a broken installation locks nobody out.
            if (active) {
                EXPECT_EQ(original, pam_judge::Run(sandbox::ScratchDirectory() + "/missing",
                                                   sandbox::ReadFile(kPAM)));
            }
        }
    }

    // The login-permission check of an active store: no list, or a list that permits all,
    // changes nothing; a list refuses a directory user (here one no name service knows) in
    // the account stack, and refuses everyone but local users when the list file is one
    // that others could have written or does not parse; each refusal is logged. A local user
    // is never refused.
    ActiveDirectoryStore store(60);
    std::string const list = "/etc/ostrel/tslauth/login-permissions.conf";
    WriteFile(kPAM, "auth required pam_permit.so\naccount required pam_permit.so\n");
    store.MakeActive();
    std::string const edited = WithBuiltPermitModule(ReadFile(kPAM));
    std::string const refusing = " pam_tslauth_permit(judged:account): refusing user: ";
    struct {
        char const* text;
        unsigned mode;
        bool local;
        int account;
        std::string log = "";  // each refusal is logged
    } const rows[] = {
        {nullptr, 0, false, PAM_SUCCESS},
        {"permit = \"all\"\n", 0644, false, PAM_SUCCESS},
        {"permit = \"listed\"\ngroup.001 = \"- - CORP\\admins\"\n", 0644, false, PAM_USER_UNKNOWN,
         "5" + refusing + "unknown to the name service\n"},
        {"permit = \"all\"\n", 0664, false, PAM_PERM_DENIED,
         "3" + refusing + list + " is not a file that root alone can write, or is too large\n"},
        {"permit = \"listed\"\n", 0666, true, PAM_SUCCESS},
        {"permit = \"sometimes\"\n", 0644, true, PAM_SUCCESS},
        {"permit = \"sometimes\"\n", 0644, false, PAM_PERM_DENIED,
         "3" + refusing + list + " does not parse\n"},
    };
    std::string const passwd = ReadFile("/etc/passwd");
    for (auto const& row : rows) {
        ::unlink(list.c_str());
        if (row.text != nullptr) WriteFile(list, row.text, row.mode);
        WriteFile("/etc/passwd", passwd + (row.local ? "user:x:4242:4242::/:/bin/sh\n" : ""));
        sandbox::ClearCapturedLog();
        std::string const judged = pam_judge::Run(sandbox::ScratchDirectory() + "/list", edited);
        EXPECT_EQ(" account " + std::to_string(row.account),
                  judged.substr(judged.find(" account "), 9 + std::to_string(row.account).size()))
            << (row.text ? row.text : "(no list)") << judged;
        std::string refusals;
        for (std::string const& line : Log()) {
            if (line.find(" pam_tslauth_permit(judged:account): ") != std::string::npos) {
                refusals += line + "\n";
            }
        }
        EXPECT_EQ(row.log, refusals);
    }
    WriteFile("/etc/passwd", passwd);
}

#endif

}  // namespace
