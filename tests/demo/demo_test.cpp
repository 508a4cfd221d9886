// What the demo directory's plug-ins do that the command tests (tests/cli) do not reach:
// the directory queries, refused joins, a malformed directory file, concurrent callers, and
// the proxy client's own checks. Joining, leaving, status, time-outs and the proxy join with
// a pinned certificate are the command tests'.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/qap_records.h>
#include <dlfcn.h>
#include <tslauth/qap_proxy_client.h>

#include <algorithm>
#include <thread>

#include "sandbox.h"
#include "test_certificate.h"
#include "what_thrown.h"

using namespace ostrel::authentication;

namespace {

char const kDirectoryFile[] = "/etc/ostrel/tslauth/demo-directory.conf";
Credentials const kAdministrator = {"administrator", "Demo-Passw0rd"};
std::string const kAlreadyJoined =
    Named(typeid(SetupAlreadyJoinedException),
          "Exception 0x00000a83: This machine is already joined to a domain.");

class DemoTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        sandbox::WriteFile("/usr/libexec/tslauth/lib/libdemodirectory.so",
                           sandbox::ReadFile(DEMO_DIRECTORY_PLUGIN), 0755);
        sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "provider = demodirectory\n");
        sandbox::WriteFile(kDirectoryFile, kExample, 0600);
        store.reset(new ActiveDirectoryStore(60));
    }
    void TearDown() override {
        store.reset();
        sandbox::SandboxTest::TearDown();
    }
    std::string Join(std::string const& domain, Credentials const& credentials = kAdministrator) {
        return WhatThrown([&] { store->JoinDomain(domain, credentials, true); });
    }
    ActiveDirectoryStoreConfiguration Configuration() {
        std::unique_ptr<StoreConfiguration> configuration(store->GetStoreConfiguration());
        return dynamic_cast<ActiveDirectoryStoreConfiguration&>(*configuration);
    }

    std::string const kExample = sandbox::ReadFile(DEMO_EXAMPLE_DIRECTORY);
    std::unique_ptr<ActiveDirectoryStore> store;
};

}  // namespace

TEST_F(DemoTest, JoinedHostAnswersItsQueries) {
    ASSERT_EQ("(returned)", Join("corp.example/OU=Servers,DC=corp,DC=example"));
    ActiveDirectoryProvider provider("demodirectory");
    EXPECT_EQ("CN=SANDBOX-HOST,OU=Servers,DC=corp,DC=example", provider.GetMachineAccountDN());
    // CORP inbound and outbound, LAB also within the forest, PARTNER outbound.
    std::vector<unsigned> trusts;
    for (char const* domain : {"CORP", "lab.example", "PARTNER", "elsewhere.example"})
        trusts.push_back(store->GetDomainTrustRelationship(domain));
    EXPECT_EQ((std::vector<unsigned>{0x8, 0x22, 0x2, 0}), trusts);

    store->SetPreferredDomainControllers({"dc2.corp.example", "unknown.corp.example"});
    EXPECT_EQ(std::vector<std::string>{"sshd"}, store->GetSmartCardEnabledServices());
    store->SetSmartCardEnabledServices({"sshd", "login"});
    std::string const text = sandbox::ReadFile(kDirectoryFile);
    EXPECT_NE(std::string::npos,
              text.find("[host]\nsmart-card-services = sshd login\ndomain = corp.example\n"
                        "machine-account = CN=SANDBOX-HOST,OU=Servers,DC=corp,DC=example\n"
                        "preferred-controllers = dc2.corp.example unknown.corp.example\n\n"))
        << text;

    // An account removed from the directory breaks the host's trust; without credentials,
    // leaving keeps the account, so the host cannot join again.
    std::size_t const account = text.find("computer = SANDBOX-HOST");
    sandbox::WriteFile(kDirectoryFile,
                       text.substr(0, account) + text.substr(text.find('\n', account) + 1), 0600);
    EXPECT_EQ(3u, store->GetDomainTrustState());
    sandbox::WriteFile(kDirectoryFile, text, 0600);
    store->PartDomain();
    EXPECT_EQ(Domain(), Configuration().activeDomain);
    EXPECT_EQ(kAlreadyJoined, Join("corp.example"));
}

// Refused joins change nothing in the file; a container path, the NetBIOS name and a
// qualified user name are understood.
TEST_F(DemoTest, RefusedJoinsAndNamesInTheRequest) {
    struct {
        char const* host;
        std::string domain, user, error;
    } const rows[] = {
        {"sandbox-host", "corp.example", "LAB\\administrator",
         Named(typeid(LogonFailureException), LogonFailureException().what())},
        {"sandbox-host", "elsewhere.example", "administrator",
         Named(typeid(NoSuchDomainException), NoSuchDomainException().what())},
        {"sandbox-host", "corp.example/OU=", "administrator",
         Named(typeid(DirectoryException), "Exception 0x0000010b: The directory name is invalid.")},
        {"fileserver.corp.example", "corp.example", "administrator", kAlreadyJoined},
        {"a-host-name-of-16", "CORP", "administrator",
         Named(typeid(InvalidComputerNameException),
               "Exception 0x000004ba: The format of the specified computer name is invalid.")},
    };
    for (auto const& row : rows) {
        sandbox::SetHostName(row.host);
        EXPECT_EQ(row.error, Join(row.domain, {row.user.c_str(), "Demo-Passw0rd"})) << row.domain;
    }
    EXPECT_EQ(kExample, sandbox::ReadFile(kDirectoryFile));
    EXPECT_TRUE(sandbox::RecordedSleeps().empty() && sandbox::CapturedLog().empty());

    sandbox::SetHostName("sandbox-host");
    EXPECT_EQ("(returned)", Join("CORP/Hosts/Linux", {"CORP\\Administrator", "Demo-Passw0rd"}));
    EXPECT_EQ("CN=SANDBOX-HOST,OU=Linux,OU=Hosts,DC=corp,DC=example",
              Configuration().machineAccountDN);
    // Leaving with credentials puts the file back byte for byte, comments and layout kept.
    store->PartDomain(kAdministrator);
    EXPECT_EQ(kExample, sandbox::ReadFile(kDirectoryFile));
}

// The fault is logged with its line; the queries fail the same way and the store answers
// with what it has.
TEST_F(DemoTest, MalformedFileFailsClearly) {
    std::string text = kExample;
    text.replace(text.find("controllers = dc.lab"), 11, "owner");
    sandbox::WriteFile(kDirectoryFile, text, 0600);
    std::string const internal =
        Named(typeid(InternalErrorException), "Exception 0x0000054f: An internal error occurred.");
    EXPECT_EQ(internal, Join("corp.example"));
    ASSERT_EQ(1u, sandbox::CapturedLog().size());
    EXPECT_EQ("demo directory: JoinDomain: " + std::string(kDirectoryFile) +
                  ":33: unknown key \"owner\" in [domain]",
              sandbox::CapturedLog()[0].text);
    EXPECT_EQ(text, sandbox::ReadFile(kDirectoryFile));
    EXPECT_EQ(internal,
              WhatThrown([] { ActiveDirectoryProvider("demodirectory").GetActiveDomain(); }));
    EXPECT_EQ(Domain(), Configuration().activeDomain);
}

TEST_F(DemoTest, ConcurrentCallsKeepTheFileWhole) {
    ActiveDirectoryProvider provider("demodirectory");
    std::vector<std::string> outcomes(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            provider.SetSmartCardEnabledServices({"service" + std::to_string(i)});
            outcomes[i] =
                WhatThrown([&] { provider.JoinDomain("corp.example", "", kAdministrator); });
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(
        (std::vector<std::string>{"(returned)", kAlreadyJoined, kAlreadyJoined, kAlreadyJoined}),
        outcomes);
    std::string const text = sandbox::ReadFile(kDirectoryFile);
    EXPECT_NE(
        std::string::npos,
        text.find("[host]\nsmart-card-services = " + provider.GetSmartCardEnabledServices()[0] +
                  "\ndomain = corp.example\nmachine-account = CN=SANDBOX-HOST,CN=Computers,"
                  "DC=corp,DC=example\n\n"))
        << text;
}

// The proxy client's table: the thumbprint in any case, a wrong or unreadable certificate,
// the directory's own state; created accounts are what the machine-account join then checks.
// (The right thumbprint, no thumbprint and an unknown server are the command tests'.)
TEST_F(DemoTest, ProxyClientChecksTheCertificateAndTheAccount) {
    test_certificate::Certificate const certificate = test_certificate::Make("192.0.2.1");
    sandbox::WriteFile("/etc/ostrel/tslauth/demo-proxy.pem", certificate.pem);
    void* handle = ::dlopen(DEMO_PROXY_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << ::dlerror();
    auto const table =
        static_cast<QAPProxyClientTable const*>(::dlsym(handle, "QAPProxyClientOperations"));
    ASSERT_NE(nullptr, table);
    // The status and the strings it gave ("-" for none), each released.
    auto const call = [&](std::string const& thumbprint, char const* host = nullptr,
                          char const* container = nullptr) {
        char* out[3] = {nullptr, nullptr, nullptr};
        std::string answer =
            std::to_string(host ? table->CreateMachineAccount("192.0.2.1", host, container, 0, "",
                                                              &out[0], &out[1])
                                : table->GetDomainInfo("192.0.2.1", 1, thumbprint.c_str(), &out[0],
                                                       &out[1], &out[2]));
        for (char* string : out) {
            answer += std::string(" ") + (string != nullptr ? string : "-");
            if (string != nullptr) table->Release(string);
        }
        return answer;
    };
    std::string lower = certificate.thumbprint, wrong = certificate.thumbprint;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
    EXPECT_EQ("0 CORP corp.example S-1-5-21-3623811015-3361044348-30300820", call(lower));
    std::string const untrusted = std::to_string(0x80090325u) + " - - -";
    EXPECT_EQ(untrusted, call(wrong));
    sandbox::WriteFile("/etc/ostrel/tslauth/demo-proxy.pem", "not a certificate\n");
    EXPECT_EQ(untrusted, call(certificate.thumbprint));
    std::string unresponsive = kExample;
    unresponsive.replace(unresponsive.find("unresponsive = no"), 17, "unresponsive = yes");
    sandbox::WriteFile(kDirectoryFile, unresponsive, 0600);
    EXPECT_EQ("10060 - - -", call(lower));
    sandbox::WriteFile(kDirectoryFile, "[proxy]\naddress = 192.0.2.1\n", 0600);
    EXPECT_EQ("1359 - - -", call(lower));
    sandbox::WriteFile(kDirectoryFile, kExample, 0600);

    EXPECT_EQ("1210 - - -", call("", "a-host-name-of-16.corp.example"));
    EXPECT_EQ("2691 - - -", call("", "FileServer"));
    EXPECT_EQ(kExample, sandbox::ReadFile(kDirectoryFile));
    // "0 NODE0N$ PASSWORD -"
    std::string const node01 = call("", "node01.corp.example"),
                      node02 = call("", "node02", "Hosts/Linux");
    std::string const password = node01.substr(10, node01.size() - 12);
    std::string const other = node02.substr(10, node02.size() - 12);
    EXPECT_EQ("0 NODE01$ 0 NODE02$", node01.substr(0, 10) + node02.substr(0, 9));
    EXPECT_NE(std::string::npos,
              sandbox::ReadFile(kDirectoryFile)
                  .find("\ncomputer = NODE01 " + password +
                        " CN=NODE01,CN=Computers,DC=corp,DC=example\ncomputer = NODE02 " + other +
                        " CN=NODE02,OU=Linux,OU=Hosts,DC=corp,DC=example\n\n[domain lab"));
    ::dlclose(handle);

    ActiveDirectoryProvider provider("demodirectory");
    auto join = [&](char const* sid, char const* data1, std::string const& data2) {
        return WhatThrown([&] {
            provider.JoinDomainWithMachineAccount({"", "CORP", "corp.example", sid},
                                                  {"node01", "corp.example", "", data1, data2});
        });
    };
    char const sid[] = "S-1-5-21-3623811015-3361044348-30300820";
    // Another account's password, an account made with another name, another domain's SID.
    EXPECT_EQ((std::vector<std::string>{
                  Named(typeid(InvalidPasswordException),
                        "Exception 0x00000056: The specified network password is not correct."),
                  Named(typeid(NoTrustSAMAccountException), NoTrustSAMAccountException().what()),
                  Named(typeid(DomainTrustInconsistentException),
                        "Exception 0x00000712: The name or security ID (SID) of the domain "
                        "specified is inconsistent with the trust information for that domain."),
                  "(returned)"}),
              (std::vector<std::string>{
                  join(sid, "NODE01$", other), join(sid, "NODE02$", other),
                  join("S-1-5-21-1004336348-1177238915-682003330", "NODE01$", password),
                  join(sid, "node01$", password)}));
    EXPECT_EQ("CN=NODE01,CN=Computers,DC=corp,DC=example", provider.GetMachineAccountDN());
}
