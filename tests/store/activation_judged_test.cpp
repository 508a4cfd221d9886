// Activation and deactivation judged by the machine's PAM library: the provider's module is
// not installed where the PAM library looks, so an activated file must make the library do
// exactly what the original did, and so must the file deactivated again.
#ifdef TSLAUTH_TEST_PAM
#include "pam_judge.h"
#include "store_fixture.h"

using ostrel::authentication::ActiveDirectoryStore;

namespace {

std::string const kPAM = "/etc/pam.d/system-auth-generic";

std::string Replace(std::string text, std::string const& from, std::string const& to) {
    for (std::string::size_type at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class ActivationJudgedTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        sandbox::WriteFile("/etc/ostrel/tslauth/authentication.conf",
                           "remote-authentication-store = None\n", 0644);
    }
};

}  // namespace

TEST_F(ActivationJudgedTest, OnlyTheProvidersModuleChangesWhatThePAMLibraryDoes) {
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
        file = Replace(file, "@", recorder);
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
