// The Samba provider without a domain controller: the configuration it owns, the helper's
// wire format, and what every slot answers from the machine secrets alone.
#include <authentication/active_directory_provider.h>
#include <authentication/exceptions.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <tdb.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host_state.h"
#include "member_config.h"
#include "sandbox.h"
#include "what_thrown.h"
#include "wire.h"

using namespace ostrel::authentication;
using namespace sambaprovider;

namespace {

std::string const kLib = "/usr/libexec/tslauth/lib/";

class SambaProviderTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        sandbox::WriteFile(kLib + "libsamba.so", sandbox::ReadFile(SAMBA_PLUGIN), 0755);
        sandbox::WriteFile(kLib + "tslauth-samba-helper", sandbox::ReadFile(SAMBA_HELPER), 0755);
        // The host's own smb.conf, machine secrets and Samba's caches stay out of sight.
        for (char const* directory : {"/etc/samba", "/var/lib/samba", "/var/cache/samba"}) {
            if (!sandbox::PathExists(directory)) sandbox::MakeDirectory(directory);
            sandbox::MountTmpfs(directory, 1 << 20);
        }
        sandbox::MakeDirectory("/var/lib/samba/private", 0700);
        provider = std::make_unique<ActiveDirectoryProvider>("samba");
        // A configuration left behind is not a membership.
        WriteMemberConfig(MemberConfig{"CORP", "CORP.EXAMPLE", "SANDBOX-HOST", true, {}, {}});
    }

    static void StoreMachineSecret(std::string name) {
        TDB_CONTEXT* tdb = tdb_open(kSecretsFile, 0, TDB_DEFAULT, O_RDWR | O_CREAT, 0600);
        ASSERT_NE(tdb, nullptr);
        TDB_DATA key = {reinterpret_cast<unsigned char*>(&name[0]), name.size()};
        EXPECT_EQ(tdb_store(tdb, key, key, TDB_REPLACE), 0);  // any value
        tdb_close(tdb);
    }

    std::unique_ptr<ActiveDirectoryProvider> provider;
    Credentials admin = {"Administrator", "x"};
};

TEST(SambaFormats, MemberConfigWireAndContainers) {
    MemberConfig const member{"CORP", "CORP.EXAMPLE", "LNX01", false, {"dc2.corp.example", "dc1"},
                              {}};
    EXPECT_EQ(member.Render(),
              "# Written by the tslauth Samba provider; a join, a leave and a change of the "
              "preferred\n# domain controllers replace this whole file.\n"
              "[global]\n\tworkgroup = CORP\n\trealm = CORP.EXAMPLE\n\tsecurity = ads\n"
              "\tnetbios name = LNX01\n\tkerberos method = secrets only\n"
              "\tpassword server = dc2.corp.example dc1 *\n"
              "\tidmap config * : backend = tdb\n\tidmap config * : range = 3000-7999\n"
              "\tidmap config CORP : backend = rid\n\tidmap config CORP : range = 100000-999999\n"
              "\ttemplate shell = /bin/bash\n\ttemplate homedir = /home/%D/%U\n"
              "\twinbind use default domain = no\n\twinbind offline logon = yes\n"
              "\twinbind cache time = 2\n\twinbind scan trusted domains = yes\n"
              "\tsocket options = TCP_NODELAY SO_KEEPALIVE TCP_KEEPIDLE=2 TCP_KEEPINTVL=1 "
              "TCP_KEEPCNT=2\n\tload printers = no\n\tlog level = 0\n");
    std::string const standalone = MemberConfig{"CORP", "", "LNX01", false, {}, {}}.Render();
    EXPECT_NE(standalone.find("\tsecurity = user\n"), std::string::npos);
    EXPECT_EQ(standalone.find("realm"), std::string::npos);
    EXPECT_EQ(standalone.find("idmap config CORP"), std::string::npos);
    Fields sent = {{"password", std::string("p\nw 3\0x", 7)}, {"user", ""}}, received;
    ASSERT_TRUE(DecodeFields(EncodeFields(sent), received));
    EXPECT_EQ(received, sent);
    for (std::string broken : {"user 5\nabc\n", "user 3\nabcd", "user\n", "user x\nabc\n",
                               "user -1\n\n", "user 9999999999\n"})
        EXPECT_FALSE(DecodeFields(broken, received)) << broken;
    // A long-lived helper's frames: taken one at a time, whole ones only, bounded.
    std::string frames = EncodeFrame(sent) + EncodeFrame({{"op", "provision"}});
    std::string const second = frames.substr(EncodeFrame(sent).size());
    std::string partial = frames.substr(0, EncodeFrame(sent).size() - 1);
    EXPECT_EQ(0, TakeFrame(partial, received));
    ASSERT_EQ(1, TakeFrame(frames, received));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(frames, second);
    ASSERT_EQ(1, TakeFrame(frames, received));
    EXPECT_EQ(received, (Fields{{"op", "provision"}}));
    EXPECT_EQ(0, TakeFrame(frames, received));
    for (std::string broken : {"frame x\n", "frame 1048577\n", "frame 6\nop 0\n\nX",
                               "frame 4\nop 9\n\n", "nonsense", "frame 123456789"})
        EXPECT_EQ(-1, TakeFrame(broken, received)) << broken;
    for (std::string given : {"OU=Linux", "OU=Linux,OU=Hosts"})
        EXPECT_EQ(CompleteContainer(given, "corp.example"), given + ",DC=corp,DC=example");
    for (std::string given :
         {"", "Hosts/Linux", "OU=Linux,DC=corp,DC=example", "ou=linux,dc=corp,dc=example"})
        EXPECT_EQ(CompleteContainer(given, "corp.example"), given);
}

TEST_F(SambaProviderTest, AnswersFromTheJoinedDomainsSecretOnly) {
    // No secret, or only another domain's: not joined.
    for (char const* secret : {"", "SECRETS/MACHINE_PASSWORD/OTHER"}) {
        if (*secret) StoreMachineSecret(secret);
        Domain const none = provider->GetActiveDomain();
        EXPECT_EQ(none.dnsName + none.netbiosName + provider->GetMachineAccountDN(), "");
        EXPECT_EQ(provider->GetDomainTrustState(), 7u);
        EXPECT_TRUE(provider->GetTrustedDomains().empty());
        EXPECT_EQ(provider->GetDomainTrustRelationship("corp.example"), 0u);
    }
    EXPECT_EQ(WhatThrown([&] { provider->GetHostPrincipalForDomain("corp.example"); }),
              Named(typeid(NoTrustSAMAccountException),
                    "Exception 0x000006fb: The domain controller does not have an account for "
                    "this workstation."));
    // Through the helper process: nothing to leave, in the helper's words for this thread only.
    EXPECT_EQ(WhatThrown([&] { provider->PartDomain(); }),
              Named(typeid(SetupNotJoinedException),
                    "Exception 0x00000a84: This machine is not currently joined to a domain."));
    std::string otherThread = "unset";
    std::thread([&] { otherThread = provider->GetLastErrorText(); }).join();
    EXPECT_EQ(provider->GetLastErrorText() + "|" + otherThread,
              "this host holds no machine password of a domain|");

    StoreMachineSecret("SECRETS/MACHINE_PASSWORD/CORP");
    Domain const domain = provider->GetActiveDomain();
    EXPECT_EQ(domain.dnsName + " " + domain.netbiosName, "corp.example CORP");
    EXPECT_EQ(provider->GetHostPrincipalForDomain("CORP.example"), "SANDBOX-HOST$@CORP.EXAMPLE");
    EXPECT_EQ(provider->GetDomainTrustRelationship("corp"), 0x8u);
    // Threads asking at once must never find the secrets busy and answer "not joined".
    std::atomic<int> notJoined{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 50; ++i) notJoined += provider->GetActiveDomain().dnsName.empty();
        });
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(notJoined, 0);
    // A second join is refused before the helper asks any DC, also one over an existing
    // account; an option the plug-in does not know is refused, and the words start afresh.
    for (std::uint32_t flags : {0u, AD_JOIN_REUSE_ACCOUNT}) {
        EXPECT_EQ(WhatThrown([&] { provider->JoinDomain("corp.example", "", admin, {flags}); }),
                  Named(typeid(SetupAlreadyJoinedException),
                        "Exception 0x00000a83: This machine is already joined to a domain."));
        EXPECT_EQ(provider->GetLastErrorText(), "this host is already a member of corp.example");
    }
    EXPECT_THROW(provider->JoinDomain("corp.example", "", admin, {0x4}), InvalidParameterException);
    EXPECT_EQ(provider->GetLastErrorText(), "");
}

TEST_F(SambaProviderTest, ChangesTheConfigurationOnlyWithValidInput) {
    provider->SetPreferredDomainControllers(
        {"dc2.corp.example", "dc1"});  // read back from the file
    EXPECT_EQ(provider->GetPreferredDomainControllers(),
              (std::deque<std::string>{"dc2.corp.example", "dc1"}));
    // Told as a change, once; the same list again changes no byte.
    EXPECT_EQ(provider->GetLastChanges(), std::vector<std::string>{"wrote /etc/samba/smb.conf"});
    provider->SetPreferredDomainControllers({"dc2.corp.example", "dc1"});
    EXPECT_EQ(provider->GetLastChanges(), std::vector<std::string>());
    std::string before = sandbox::ReadFile(kSambaConfig);
    for (std::string bad : {"two words", "", "*", "a,b"})
        EXPECT_THROW(provider->SetPreferredDomainControllers({"dc1", bad}),
                     InvalidParameterException);
    EXPECT_EQ(sandbox::ReadFile(kSambaConfig), before);
    provider->SetPreferredDomainControllers({});
    EXPECT_EQ(sandbox::ReadFile(kSambaConfig).find("password server"), std::string::npos);
    // The join's DCs (no "*") are not preferred ones; preferred DCs replace them. Cached
    // logins follow the provider's setting.
    sandbox::WriteFile("/etc/ostrel/tslauth/samba.conf", "# local\n cached-logins = NO\n");
    WriteMemberConfig(MemberConfig{"CORP", "CORP.EXAMPLE", "H", true, {}, {"198.18.0.1", "::1"}});
    EXPECT_TRUE(provider->GetPreferredDomainControllers().empty());
    EXPECT_EQ(ReadMemberConfig().domainControllers,
              (std::vector<std::string>{"198.18.0.1", "::1"}));
    EXPECT_NE(sandbox::ReadFile(kSambaConfig).find("\tpassword server = 198.18.0.1 ::1\n"),
              std::string::npos);
    EXPECT_FALSE(ReadMemberConfig().cachedLogins);
    provider->SetPreferredDomainControllers({"dc1"});
    EXPECT_NE(sandbox::ReadFile(kSambaConfig).find("\tpassword server = dc1 *\n"),
              std::string::npos);
    // A host without a configuration gets a standalone one that names it, for a later join.
    ASSERT_EQ(unlink(kSambaConfig), 0);
    provider->SetPreferredDomainControllers({"dc2"});
    MemberConfig const standalone = ReadMemberConfig();
    EXPECT_EQ(standalone.workgroup + " " + standalone.netbiosName + " " + standalone.realm + "|" +
                  standalone.passwordServers.at(0),
              "WORKGROUP SANDBOX-HOST |dc2");
    // A host name that cannot be an account is refused before anything is written.
    before = sandbox::ReadFile(kSambaConfig);
    sandbox::SetHostName("a-host-name-of-16");
    EXPECT_THROW(provider->JoinDomain("corp.example", "", admin), InvalidComputerNameException);
    EXPECT_EQ(sandbox::ReadFile(kSambaConfig), before);
}

}  // namespace
