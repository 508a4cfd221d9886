// The demo directory's provider, driven through the library's store and provider.
#include <sys/stat.h>

#include <atomic>

#include "demo_fixture.h"

using namespace ostrel::authentication;

namespace {

Credentials const kAdministrator = {"administrator", "Secret 1"};
std::string const kLogonFailure =
    Named(typeid(LogonFailureException),
          "Exception 0x0000052e: The attempted logon is invalid. This is due to either a bad "
          "user name or authentication information.");
std::string const kAlreadyJoined =
    Named(typeid(SetupAlreadyJoinedException),
          "Exception 0x00000a83: This machine is already joined to a domain.");

class DemoProviderTest : public DemoTest {
protected:
    void SetUp() override {
        DemoTest::SetUp();
        store.reset(new ActiveDirectoryStore(60));
        provider.reset(new ActiveDirectoryProvider("demodirectory"));
    }
    void TearDown() override {
        store.reset();
        provider.reset();
        DemoTest::TearDown();
    }

    std::string Join(std::string const& domain, Credentials const& credentials) {
        return WhatThrown([&] { store->JoinDomain(domain, credentials, true); });
    }
    ActiveDirectoryStoreConfiguration Configuration() {
        std::unique_ptr<StoreConfiguration> configuration(store->GetStoreConfiguration());
        return dynamic_cast<ActiveDirectoryStoreConfiguration&>(*configuration);
    }

    std::unique_ptr<ActiveDirectoryStore> store;
    std::unique_ptr<ActiveDirectoryProvider> provider;
};

TEST_F(DemoProviderTest, MetadataNamesTheDemoModules) {
    EXPECT_EQ("pam_demodirectory.so", provider->PAMModule());
    EXPECT_EQ(std::list<std::string>{"try_first_pass"}, provider->PAMModuleParameters());
    EXPECT_EQ("demodirectory", provider->NSSModule());
    EXPECT_TRUE(provider->NSSModuleParameters().empty());
    EXPECT_EQ(2, provider->GetAPIVersion());
}

TEST_F(DemoProviderTest, JoinRecordsTheMembershipInTheFile) {
    // Not joined yet.
    EXPECT_EQ(Domain(), Configuration().activeDomain);
    EXPECT_EQ(7u, store->GetDomainTrustState());
    EXPECT_TRUE(store->GetTrustedDomains().empty());

    EXPECT_EQ("(returned)", Join("corp.example", kAdministrator));
    std::string const password = AccountPassword();
    EXPECT_EQ(Joined(password), sandbox::ReadFile(kDirectoryFile));
    EXPECT_EQ(0600u, sandbox::FileMode(kDirectoryFile));
    EXPECT_EQ(
        (std::vector<std::string>{"demo-directory.conf", "provider.conf", "qapprovider.conf"}),
        sandbox::ListDirectory("/etc/ostrel/tslauth"));

    ActiveDirectoryStoreConfiguration const joined = Configuration();
    EXPECT_EQ(Domain("corp.example", "CORP"), joined.activeDomain);
    EXPECT_EQ(kAccountDN, joined.machineAccountDN);
    EXPECT_TRUE(joined.preferredDomainControllers.empty());
    EXPECT_EQ(
        (std::deque<Domain>{Domain("lab.example", "LAB"), Domain("partner.example", "PARTNER")}),
        store->GetTrustedDomains());
    EXPECT_EQ(1u, store->GetDomainTrustState());

    // Joined hosts and existing accounts are refused; the file stays as it is.
    EXPECT_EQ(kAlreadyJoined, Join("lab.example", kAdministrator));
    EXPECT_EQ(Joined(password), sandbox::ReadFile(kDirectoryFile));
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());
}

TEST_F(DemoProviderTest, JoinFailuresLeaveTheFileAlone) {
    // Wrong credentials are reported at once, never tried again.
    EXPECT_EQ(kLogonFailure, Join("corp.example", {"administrator", "secret 1"}));
    EXPECT_EQ(kLogonFailure, Join("corp.example", {"nobody", "Secret 1"}));
    EXPECT_EQ(kLogonFailure, Join("corp.example", {"LAB\\administrator", "Secret 1"}));

    EXPECT_EQ(Named(typeid(NoSuchDomainException),
                    "Exception 0x0000054b: The specified domain either does not exist or could "
                    "not be contacted."),
              Join("elsewhere.example", kAdministrator));
    EXPECT_EQ(
        Named(typeid(DirectoryException), "Exception 0x0000010b: The directory name is invalid."),
        Join("corp.example/OU=", kAdministrator));
    sandbox::SetHostName("fileserver.corp.example");  // its account exists
    EXPECT_EQ(kAlreadyJoined, Join("corp.example", kAdministrator));
    sandbox::SetHostName("a-host-name-of-16");  // longer than a NetBIOS name
    EXPECT_EQ(Named(typeid(InvalidComputerNameException),
                    "Exception 0x000004ba: The format of the specified computer name is "
                    "invalid."),
              Join("CORP", kAdministrator));
    EXPECT_EQ(kDirectory, sandbox::ReadFile(kDirectoryFile));
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());
    EXPECT_TRUE(Log().empty());

    // A container path, the NetBIOS name and a qualified user name.
    sandbox::SetHostName("sandbox-host");
    EXPECT_EQ("(returned)", Join("CORP/Hosts/Linux", {"CORP\\Administrator", "Secret 1"}));
    std::string const dn = "CN=SANDBOX-HOST,OU=Linux,OU=Hosts,DC=corp,DC=example";
    EXPECT_EQ(Joined(AccountPassword(), dn), sandbox::ReadFile(kDirectoryFile));
    EXPECT_EQ(dn, provider->GetMachineAccountDN());
}

TEST_F(DemoProviderTest, JoinedHostAnswersItsQueries) {
    ASSERT_EQ("(returned)", Join("corp.example/OU=Servers,DC=corp,DC=example", kAdministrator));
    EXPECT_EQ("CN=SANDBOX-HOST,OU=Servers,DC=corp,DC=example", provider->GetMachineAccountDN());

    EXPECT_EQ(0x8u, store->GetDomainTrustRelationship("CORP"));
    EXPECT_EQ(0x22u, store->GetDomainTrustRelationship("lab.example"));
    EXPECT_EQ(0x20u, store->GetDomainTrustRelationship("PARTNER"));
    EXPECT_EQ(0u, store->GetDomainTrustRelationship("elsewhere.example"));

    // Preferred controllers come first when one is asked for.
    EXPECT_EQ("dc1.corp.example", store->GetDomainControllerForDomain("corp.example"));
    store->SetPreferredDomainControllers({"dc2.corp.example", "unknown.corp.example"});
    EXPECT_EQ((std::deque<std::string>{"dc2.corp.example", "unknown.corp.example"}),
              Configuration().preferredDomainControllers);
    EXPECT_EQ("dc2.corp.example", store->GetDomainControllerForDomain("corp.example"));
    EXPECT_EQ("dc1.corp.example", provider->GetAnyDomainController("DC1", "corp.example"));
    EXPECT_EQ("dc.lab.example", store->GetDomainControllerForDomain("LAB"));
    EXPECT_EQ(Named(typeid(NoLogonServersException),
                    "Exception 0x0000051f: There are currently no logon servers available to "
                    "service the logon request."),
              WhatThrown([&] { provider->GetAnyDomainController("dc9", "corp.example"); }));

    EXPECT_EQ("CORP\\alice", store->ConvertCanonicalUsername("alice"));
    EXPECT_EQ("LAB\\bob", store->ConvertCanonicalUsername("bob@lab.example"));
    EXPECT_EQ("CORP\\carol", store->ConvertCanonicalUsername("corp\\carol"));
    EXPECT_EQ(Named(typeid(InvalidAccountNameException),
                    "Exception 0x00000523: The name provided is not a properly formed account "
                    "name."),
              WhatThrown([&] { store->ConvertCanonicalUsername("a\\b@c"); }));
    EXPECT_EQ(WhatThrown([&] { store->ConvertCanonicalUsername("a\\b@c"); }),
              WhatThrown([&] { store->ConvertCanonicalUsername("dave@"); }));

    EXPECT_EQ("SANDBOX-HOST$@CORP.EXAMPLE", store->GetHostPrincipalForDomain("corp.example"));
    EXPECT_EQ(Named(typeid(NoTrustSAMAccountException),
                    "Exception 0x000006fb: The domain controller does not have an account for "
                    "this workstation."),
              WhatThrown([&] { store->GetHostPrincipalForDomain("lab.example"); }));

    EXPECT_EQ(std::vector<std::string>{"sshd"}, store->GetSmartCardEnabledServices());
    store->SetSmartCardEnabledServices({"sshd", "login"});
    EXPECT_EQ((std::vector<std::string>{"sshd", "login"}), store->GetSmartCardEnabledServices());
    EXPECT_EQ(Named(typeid(InvalidParameterException),
                    "Exception 0x00000057: The parameter is incorrect."),
              WhatThrown([&] { store->SetSmartCardEnabledServices({"two words"}); }));
    std::string const host = sandbox::ReadFile(kDirectoryFile).substr(kDirectory.find("[host]"));
    EXPECT_EQ(
        "[host]\n"
        "smart-card-services = sshd login\n"
        "domain = corp.example\n"
        "machine-account = CN=SANDBOX-HOST,OU=Servers,DC=corp,DC=example\n"
        "preferred-controllers = dc2.corp.example unknown.corp.example\n"
        "\n"
        "[proxy]\n"
        "address = 192.0.2.1\n"
        "domain = corp.example\n"
        "certificate = /etc/ostrel/tslauth/proxy.pem\n",
        host.substr(host.find("[host]")));

    // An account removed from the directory breaks the host's trust.
    std::string text = sandbox::ReadFile(kDirectoryFile);
    std::size_t const account = text.find("computer = SANDBOX-HOST");
    text.erase(account, text.find('\n', account) + 1 - account);
    ReplaceDirectory(text);
    EXPECT_EQ(3u, store->GetDomainTrustState());
}

TEST_F(DemoProviderTest, AMistypedPasswordCountsOnceTowardsTheLockout) {
    std::string text = kDirectory;
    std::string const sid = "sid = S-1-5-21-1-2-3\n";
    text.insert(text.find(sid) + sid.size(), "lockout-threshold = 2\n");
    sandbox::WriteFile(kDirectoryFile, text, 0600);
    std::string const fileserver = "CN=FILESERVER,CN=Computers,DC=corp,DC=example\n";
    auto counted = [&](std::string const& line) {
        std::string expected = text;
        expected.insert(expected.find(fileserver) + fileserver.size(), line);
        return expected;
    };

    // One join, one count: a library that retried the logon failure would lock the account.
    EXPECT_EQ(kLogonFailure, Join("corp.example", {"administrator", "secret 1"}));
    EXPECT_EQ(counted("bad-passwords = administrator 1\n"), sandbox::ReadFile(kDirectoryFile));
    // The right password clears the count.
    ASSERT_EQ("(returned)", Join("corp.example", kAdministrator));
    EXPECT_EQ(std::string::npos, sandbox::ReadFile(kDirectoryFile).find("bad-passwords"));
    store->PartDomain(kAdministrator);
    EXPECT_EQ(text, sandbox::ReadFile(kDirectoryFile));

    // At the threshold the account is locked out, the right password included.
    EXPECT_EQ(kLogonFailure, Join("corp.example", {"administrator", "secret 1"}));
    EXPECT_EQ(kLogonFailure, Join("corp.example", {"CORP\\administrator", "x"}));
    EXPECT_EQ(Named(typeid(AccountLockedOutException),
                    "Exception 0x00000775: The referenced account is currently locked out and "
                    "may not be logged on to."),
              Join("corp.example", kAdministrator));
    EXPECT_EQ(counted("bad-passwords = administrator 2\n"), sandbox::ReadFile(kDirectoryFile));
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());
}

TEST_F(DemoProviderTest, LeavingClearsTheMembership) {
    EXPECT_EQ(Named(typeid(SetupNotJoinedException),
                    "Exception 0x00000a84: This machine is not currently joined to a domain."),
              WhatThrown([&] { store->PartDomain(); }));

    // Without credentials the account stays in the directory, so it cannot be joined again.
    ASSERT_EQ("(returned)", Join("corp.example", kAdministrator));
    std::string password = AccountPassword();
    store->SetPreferredDomainControllers({"dc1.corp.example"});
    store->PartDomain();
    std::string withAccount = Joined(password);
    std::size_t const host = withAccount.find("domain = corp.example\nmachine");
    withAccount.erase(host, withAccount.find("\n\n[proxy]") + 1 - host);
    EXPECT_EQ(withAccount, sandbox::ReadFile(kDirectoryFile));
    EXPECT_EQ(Domain(), Configuration().activeDomain);
    EXPECT_EQ(7u, store->GetDomainTrustState());
    EXPECT_EQ(kAlreadyJoined, Join("corp.example", kAdministrator));

    // With credentials the account goes too; wrong ones change nothing.
    ReplaceDirectory(kDirectory);
    ASSERT_EQ("(returned)", Join("corp.example", kAdministrator));
    password = AccountPassword();
    EXPECT_EQ(kLogonFailure, WhatThrown([&] { store->PartDomain({"administrator", "x"}); }));
    EXPECT_EQ(kLogonFailure, WhatThrown([&] { store->PartDomain({nullptr, nullptr}); }));
    EXPECT_EQ(Joined(password), sandbox::ReadFile(kDirectoryFile));
    store->PartDomain(kAdministrator);
    EXPECT_EQ(kDirectory, sandbox::ReadFile(kDirectoryFile));
    EXPECT_EQ("(returned)", Join("corp.example", kAdministrator));
}

TEST_F(DemoProviderTest, ConcurrentCallsKeepTheFileWhole) {
    std::atomic<int> joined(0);
    std::atomic<int> refused(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            std::string const services = "service" + std::to_string(i);
            provider->SetSmartCardEnabledServices({services});
            std::string const outcome =
                WhatThrown([&] { provider->JoinDomain("corp.example", "", kAdministrator); });
            (outcome == "(returned)" ? joined : refused)++;
            EXPECT_TRUE(outcome == "(returned)" || outcome == kAlreadyJoined) << outcome;
            EXPECT_EQ(Domain("corp.example", "CORP"), provider->GetActiveDomain());
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(1, joined);
    EXPECT_EQ(3, refused);
    std::vector<std::string> const services = provider->GetSmartCardEnabledServices();
    ASSERT_EQ(1u, services.size());
    std::string expected = Joined(AccountPassword());
    expected.replace(expected.find("= sshd"), 6, "= " + services[0]);
    EXPECT_EQ(expected, sandbox::ReadFile(kDirectoryFile));
}

TEST_F(DemoProviderTest, MalformedFileFailsClearly) {
    struct Case {
        std::string from, to, fault;
    } const cases[] = {
        {"controllers = dc.lab", "owner = dc.lab", ":17: unknown key \"owner\" in [domain]"},
        {"# test directory\n", "stray = 1\n", ":1: \"stray\" outside of any section"},
        {"unresponsive = no", "unresponsive = maybe", ":3: unresponsive must be yes or no"},
        {"sid = S-1-5-21-4-5-6", "sid = 1-5-21", ":16: malformed SID \"1-5-21\""},
        {"[host]\n", "[host]\ndomain = nowhere\nmachine-account = CN=X\n",
         ":20: unknown domain \"nowhere\""},
        {"netbios-name = LAB\n", "netbios-name = LAB\nnetbios-name = LAB\n",
         ":16: \"netbios-name\" given twice in [domain]"},
        {"address = 192.0.2.1", "address = proxy.corp.example",
         ":23: the proxy's address must be an IPv4 address"},
        {"[proxy]", "proxy",
         ":22: expected \"key = value\", a section header or a comment, "
         "found \"proxy\""},
    };
    for (Case const& malformed : cases) {
        std::string text = kDirectory;
        text.replace(text.find(malformed.from), malformed.from.size(), malformed.to);
        ReplaceDirectory(text);
        sandbox::ClearCapturedLog();
        EXPECT_EQ(Named(typeid(InternalErrorException),
                        "Exception 0x0000054f: An internal error occurred."),
                  Join("corp.example", kAdministrator));
        EXPECT_EQ(std::vector<std::string>{"3 demo directory: JoinDomain: " +
                                           std::string(kDirectoryFile) + malformed.fault},
                  Log());
        EXPECT_EQ(text, sandbox::ReadFile(kDirectoryFile));
        // The queries fail the same way; the store answers with what it has.
        EXPECT_EQ(Named(typeid(InternalErrorException),
                        "Exception 0x0000054f: An internal error occurred."),
                  WhatThrown([&] { provider->GetActiveDomain(); }));
        EXPECT_EQ(Domain(), Configuration().activeDomain);
        EXPECT_EQ(0u, provider->GetDomainTrustState());
    }
    ASSERT_EQ(0, ::unlink(kDirectoryFile));
    EXPECT_EQ(Named(typeid(FileNotFoundException),
                    "Exception 0x00000002: The system cannot find the file specified."),
              Join("corp.example", kAdministrator));
}

TEST_F(DemoProviderTest, TheExampleDirectoryWorks) {
    ReplaceDirectory(sandbox::ReadFile(DEMO_EXAMPLE_DIRECTORY));
    EXPECT_EQ("(returned)", Join("corp.example", {"joiner", "Join me 2"}));
    EXPECT_EQ(Domain("corp.example", "CORP"), Configuration().activeDomain);
    EXPECT_EQ(1u, store->GetDomainTrustState());
    store->PartDomain({"administrator", "Demo-Passw0rd"});
    EXPECT_EQ(sandbox::ReadFile(DEMO_EXAMPLE_DIRECTORY), sandbox::ReadFile(kDirectoryFile));
}

}  // namespace
