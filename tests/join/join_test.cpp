// Joining with credentials, the host-name checks and repairs before a join, joining through the
// authentication proxy, and importing a proxy server's certificate (made here; thumbprints in
// OpenSSL's own hex form).
#include <authentication/hostname_check.h>
#include <authentication/qap_proxy.h>
#include <authentication/status_mapping.h>
#include <openssl/err.h>

#include <cstdlib>

#include "../store/store_fixture.h"
#include "test_certificate.h"

using namespace ostrel::authentication;
using namespace test_plugins;
using Lines = std::vector<std::string>;

namespace {

// The sandbox's own hosts file and resolver configuration.
std::string const kLocalHosts = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";
std::string const kResolver = "nameserver 127.0.0.1\n";
char const kServers[] = "/etc/ostrel/tslauth/qapservers.conf";

std::string BadAddress(std::string const& address) {
    return Named(typeid(InvalidIPAddressException), "The IP Address is invalid: IPv4 address '" +
                                                        address +
                                                        "' cannot be parsed as an IP address");
}
std::string const kInvalidStore =
    Named(typeid(InvalidThumbprintStoreException),
          std::string("The specified thumbprint store '") + kServers + "' is invalid");

// A store over the scripted provider and the management interface (192.0.2.10/24).
class JoinTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        management.reset(new sandbox::ManagementInterface);
        store.reset(new ActiveDirectoryStore(60));
    }
    void TearDown() override {
        store.reset();
        management.reset();
        StoreTest::TearDown();
    }
    // Names the host; /etc/hosts becomes the sandbox's lines plus `lines`.
    void NameHost(std::string const& name, std::string const& lines) {
        sandbox::SetHostName(name);
        sandbox::WriteFile("/etc/hosts", kLocalHosts + lines);
    }
    void ExpectFiles(std::string const& hosts, std::string const& resolver) {
        EXPECT_EQ(hosts + "|" + resolver,
                  sandbox::ReadFile("/etc/hosts") + "|" + sandbox::ReadFile("/etc/resolv.conf"));
    }
    std::vector<std::string> TakeLog() {  // "priority text" of each line since the last look
        std::vector<std::string> lines = Log();
        sandbox::ClearCapturedLog();
        return lines;
    }

    std::unique_ptr<sandbox::ManagementInterface> management;
    std::unique_ptr<ActiveDirectoryStore> store;
};

std::string Invalid(std::string const& detail) {
    return Named(typeid(InvalidHostNameException), "The current hostname is invalid: " + detail);
}

std::string Warning(std::string const& found, std::string const& expected) {
    return "4 The fully qualified hostname " + found + " does not match the expected value " +
           expected + "\n";
}

class CredentialsJoinTest : public JoinTest {
protected:
    std::string Join(std::string const& domain, Credentials const& credentials, bool skip) {
        return WhatThrown([&] { store->JoinDomain(domain, credentials, skip); });
    }
    Credentials const admin = {"admin", "secret"};
};

TEST_F(CredentialsJoinTest, CredentialsComeFirstThenTheHostName) {
    NameHost("localhost", "");  // a host name that would be refused
    std::string const invalid = "The credentials that were provided were invalid: ";
    std::string const noPassword =
        Named(typeid(InvalidCredentialsException),
              invalid +
                  "empty or no password was specified; the account must have a non-empty "
                  "password to join the host to domain");
    std::pair<Credentials, std::string> const rows[] = {
        {{nullptr, nullptr},
         Named(typeid(InvalidCredentialsException), invalid + "no username was specified")},
        {{"admin", ""}, noPassword},
        // An empty user name passes; the host name is then refused before the plug-in is asked.
        {{"", "secret"}, Invalid("hostname is in blacklist")},
    };
    for (auto const& row : rows) EXPECT_EQ(row.second, Join("corp.example", row.first, false));
    EXPECT_EQ(0u, script->Calls(kJoinDomain));
    EXPECT_EQ("(returned)", Join("corp.example", Credentials{"", "secret"}, true));
    ExpectFiles(kLocalHosts, kResolver);
}

TEST_F(CredentialsJoinTest, DomainAndContainerSplitAndNoRetryOfALogonFailure) {
    std::vector<std::pair<std::string, Strings>> const cases = {
        {"corp.example", {"corp.example", std::nullopt, "admin", "secret"}},
        {"corp.example/OU=Hosts/OU=Lab", {"corp.example", "OU=Hosts/OU=Lab", "admin", "secret"}},
        {"corp.example/", {"corp.example", std::nullopt, "admin", "secret"}},
    };
    for (auto const& c : cases) {
        EXPECT_EQ("(returned)", Join(c.first, admin, true));
        EXPECT_EQ(c.second, script->Received(kJoinDomain).back().strings) << c.first;
        EXPECT_EQ(&admin, script->Received(kJoinDomain).back().credentials);  // the caller's own
    }
    // Options go to the plug-in's join with options, split and checked the same way.
    HostnameRepair repair;
    store->JoinDomain("corp.example/OU=Hosts", admin, true, repair,
                      JoinOptions{JoinOptions::kReuseAccount});
    EXPECT_EQ(Strings({"corp.example", "OU=Hosts", "admin", "secret"}),
              script->Received(kJoinDomainWithOptions).at(0).strings);
    EXPECT_EQ(AD_JOIN_REUSE_ACCOUNT, script->Received(kJoinDomainWithOptions).at(0).flags);
    // The host-name check sees the domain name alone.
    NameHost("node01", "198.51.100.5\tnode01\n");
    EXPECT_EQ("(returned)", Join("corp.example/OU=Hosts", admin, false));
    ExpectFiles(kLocalHosts + "198.51.100.5\tnode01\n192.0.2.10\tnode01.corp.example node01\n",
                kResolver);
    // A logon failure is not tried again: under a lockout policy that would lock the account.
    script->SetStatus(kJoinDomain, 1326);
    EXPECT_EQ(Named(typeid(LogonFailureException),
                    "Exception 0x0000052e: The attempted logon is invalid. This is due to either "
                    "a bad user name or authentication information."),
              Join("corp.example", admin, true));
    EXPECT_EQ(5u, script->Calls(kJoinDomain));  // the four joins above, and this one once
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());
}

using HostnameTest = JoinTest;

// A mismatching resolved name is warned about and its domain, if it resolves, searched; the hosts
// file maps the management address to the resolved (or expected) name. Refusals change nothing.
TEST_F(HostnameTest, SanitisingWritesTheHostsEntryAndWarnsOfAMismatch) {
    std::string const lab = "198.51.100.5\tnode01.lab.example node01\n192.0.2.50\tcorp.example\n";
    std::string const linux =
        "198.51.100.5\tlinux.lab.example linux.corp.example\n192.0.2.50\tcorp.example\n";
    std::string const crowded = "198.51.100.7\tcrowded" + std::string(1100, ' ') + "x\n";
    struct Case {
        std::string host, lines, domain, thrown, hosts;
        bool searched = false;
        std::string warning = "";  // the one line logged, if any
    };
    Case const cases[] = {
        {"node01", "198.51.100.5\tnode01.corp.example node01\n", "CORP.EXAMPLE", "(returned)",
         "198.51.100.5\tnode01.corp.example node01\n192.0.2.10\tnode01.corp.example node01\n"},
        {"node01", "198.51.100.5\tnode01\n192.0.2.10\told.example old\n", "corp.example",
         "(returned)", "198.51.100.5\tnode01\n192.0.2.10\tnode01.corp.example node01\n"},
        {"node01", lab, "corp.example", "(returned)",
         lab + "192.0.2.10\tnode01.lab.example node01\n", true,
         Warning("node01.lab.example", "node01.corp.example")},
        // Does not resolve: not added to the search list.
        {"node01", lab, "other.example", "(returned)",
         lab + "192.0.2.10\tnode01.lab.example node01\n", false,
         Warning("node01.lab.example", "node01.other.example")},
        // A line longer than the resolver's first work buffer is read with a larger one.
        {"crowded", crowded, "corp.example", "(returned)",
         crowded + "192.0.2.10\tcrowded.corp.example crowded\n"},
        {"localhost", "", "corp.example", Invalid("hostname is in blacklist"), ""},
        // The blacklist comes after the search domain is saved.
        {"linux.corp.example", linux, "corp.example", Invalid("hostname is in blacklist"), linux,
         true, Warning("linux.lab.example", "linux.corp.example")},
    };
    for (Case const& c : cases) {
        NameHost(c.host, c.lines);
        sandbox::WriteFile("/etc/resolv.conf", kResolver);
        EXPECT_EQ(c.thrown, WhatThrown([&] { store->SanitiseHostnameForDomain(c.domain); }));
        ExpectFiles(kLocalHosts + c.hosts, kResolver + (c.searched ? "search corp.example\n" : ""));
        EXPECT_EQ(c.warning.empty() ? Lines{} : Lines{c.warning}, TakeLog()) << c.host;
    }
    sandbox::WriteFile("/etc/nsswitch.conf", "hosts: files\n");
    NameHost("nowhere", "");
    EXPECT_EQ(Invalid("hostname cannot be resolved"),
              WhatThrown([&] { store->SanitiseHostnameForDomain("corp.example"); }));
}

TEST_F(HostnameTest, CheckReportsWithoutChangingAnything) {
    std::string const lines =
        "198.51.100.5\tlinux.lab.example linux.corp.example\n192.0.2.50\tcorp.example\n";
    NameHost("linux.corp.example", lines);
    HostnameCheck check = CheckHostnameForDomain("corp.example");
    EXPECT_EQ((Lines{"corp.example", "linux.corp.example", "linux.lab.example", "linux",
                     "linux.corp.example", "linux.lab.example", "hostname is in blacklist"}),
              (Lines{check.domain, check.hostName, check.canonicalName, check.shortName,
                     check.expectedName, check.fullyQualifiedName, check.Problem()}));
    EXPECT_TRUE(check.shortNameMatches && check.domainLookedUp && check.domainResolves &&
                check.blacklisted && !check.fullyQualifiedNameMatches);
    ExpectFiles(kLocalHosts + lines, kResolver);
    EXPECT_EQ(Lines{}, TakeLog());
}

char const kOptions[] = "/etc/ostrel/hostctl/advanced-options.conf";
char const kProviderFile[] = "/etc/ostrel/tslauth/qapprovider.conf";
char const kThumbprint[] = "0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9:00:11:22:33";
std::string const kCertificateRefused = Named(typeid(InvalidQAPCertificateException),
                                              "The QAP server's certificate cannot be verified.");

std::string InvalidProvider(std::string const& name, std::string const& text = "") {
    return Named(typeid(InvalidQAPProxyProviderException),
                 "The specified QAPProxy provider '" + name + "' is invalid" + text);
}

class QAPJoinTest : public JoinTest {
protected:
    void SetUp() override {
        JoinTest::SetUp();
        proxyPlugin = Install(Plugin::kScriptedProxy, "qap");
        WriteQAPProviderConfiguration("qap");
        sandbox::WriteFile(kServers, std::string("192.0.2.1 = \"") + kThumbprint + "\"\n");
        SetOption("int:1");
        script->SetAnswer(kGetDomainInfo, Strings{"CORP", "corp.example", "S-1-5-21-1"});
        script->SetAnswer(kCreateMachineAccount, Strings{"account-1", "account-2"});
    }
    void SetOption(std::string const& typedValue) {
        sandbox::WriteFile(kOptions,
                           "UserVars.Other = int:0\n"
                           "UserVars.ActiveDirectoryVerifyQAPCertificate = " +
                               typedValue + "\n");
    }
    std::string Join(std::string const& server, bool skip, std::string const& container = "") {
        return WhatThrown([&] { store->JoinDomainWithQAP(server, container, skip); });
    }

    std::string proxyPlugin;
};

TEST_F(QAPJoinTest, JoinsWithTheAccountTheProxyCreates) {
    std::string const lines = "198.51.100.5\tnode01.corp.example node01\n";
    NameHost("node01.corp.example", lines);
    EXPECT_EQ("(returned)", Join("192.0.2.1", false, "OU=Hosts"));

    // One call each: the DNS domain for the host-name check serves the join too. The canonical
    // name creates the account; the short name joins with it. Verification is on.
    std::vector<Strings> received;
    for (Slot slot : {kGetDomainInfo, kCreateMachineAccount, kJoinDomainWithMachineAccount}) {
        for (ReceivedCall const& call : script->Received(slot)) {
            received.push_back(call.strings);
            if (slot != kJoinDomainWithMachineAccount) {
                EXPECT_EQ(1, call.verifyCertificate);
            }
        }
    }
    EXPECT_EQ((std::vector<Strings>{{"192.0.2.1", kThumbprint},
                                    {"192.0.2.1", "node01.corp.example", "OU=Hosts", kThumbprint},
                                    {"", "CORP", "corp.example", "S-1-5-21-1", "node01",
                                     "corp.example", "", "account-1", "account-2"}}),
              received);
    ExpectFiles(kLocalHosts + lines + "192.0.2.10\tnode01.corp.example node01\n", kResolver);
    EXPECT_EQ(std::vector<std::string>{"6 Adding host to domain: Attempt (1/8)"}, TakeLog());
    EXPECT_EQ(script->Returned(), script->Deallocated());  // every string went back, in order
    EXPECT_EQ(5u, script->Returned().size());
    EXPECT_FALSE(IsLoaded(proxyPlugin));
}

TEST_F(QAPJoinTest, SkippedCheckUnknownServerAndBareName) {
    NameHost("linux", "198.51.100.5\tlinux\n");  // refused by the check, resolves bare
    SetOption("int:0");
    EXPECT_EQ("(returned)", Join("192.0.2.2", true));
    EXPECT_EQ(1u, script->Calls(kGetDomainInfo));
    ReceivedCall const created = script->Received(kCreateMachineAccount)[0];
    EXPECT_EQ((Strings{"192.0.2.2", "linux", std::nullopt, ""}), created.strings);
    EXPECT_EQ(0, created.verifyCertificate);
    EXPECT_EQ("linux", script->Received(kJoinDomainWithMachineAccount)[0].strings[4]);
    ExpectFiles(kLocalHosts + "198.51.100.5\tlinux\n", kResolver);

    // Not skipped, the same host is refused before an account is created.
    EXPECT_EQ(Named(typeid(InvalidHostNameException),
                    "The current hostname is invalid: hostname is in blacklist"),
              Join("192.0.2.2", false));
    EXPECT_EQ(2u, script->Calls(kGetDomainInfo));  // not kept from the join before
    EXPECT_EQ(1u, script->Calls(kCreateMachineAccount));
}

TEST_F(QAPJoinTest, AddressAndOptionComeBeforeTheHostAndTheFiles) {
    NameHost("nowhere", "");  // would not resolve
    ::unlink(kProviderFile);
    ::unlink(kServers);
    std::string const invalid = Named(typeid(InvalidVerifyQAPCertificateOptionException),
                                      "The VerifyQAPCertificate option is invalid: ");
    std::string const option = "UserVars.ActiveDirectoryVerifyQAPCertificate";
    std::pair<std::string, std::string> const rows[] = {
        {option + " = int:2\n", "Invalid value for " + option},
        {"malformed\n", "Unable to get advanced option " + option},  // the layer's own failure
    };
    for (auto const& row : rows) {
        sandbox::WriteFile(kOptions, row.first);
        EXPECT_EQ(invalid + row.second, Join("192.0.2.1", true));
    }
    EXPECT_EQ(BadAddress("192.0.2.1 "), Join("192.0.2.1 ", true));
    EXPECT_EQ(0u, script->Calls(kGetDomainInfo) + script->Calls(kCreateMachineAccount));
}

TEST_F(QAPJoinTest, ConfigurationAndProxyFailuresInOrder) {
    NameHost("node01", "198.51.100.5\tnode01.corp.example node01\n");
    ::unlink(kServers);
    ::unlink(kProviderFile);
    EXPECT_EQ(InvalidProvider("(none installed)"), Join("192.0.2.1", true));
    sandbox::WriteFile(kProviderFile, "provider = \"\"\n");
    EXPECT_EQ(InvalidProvider("(unset)"), Join("192.0.2.1", true));
    WriteQAPProviderConfiguration("qap");
    EXPECT_EQ(kInvalidStore, Join("192.0.2.1", true));
    sandbox::WriteFile(kServers, "");
    WriteQAPProviderConfiguration("absent");
    EXPECT_EQ(InvalidProvider("absent"), Join("192.0.2.1", true));
    EXPECT_EQ(0u, script->Calls(kGetDomainInfo) + script->Calls(kCreateMachineAccount));

    // The proxy's and the provider's own errors reach the caller as they are.
    WriteQAPProviderConfiguration("qap");
    script->SetStatus(kCreateMachineAccount, 0x80090325u);
    EXPECT_EQ(kCertificateRefused, Join("192.0.2.1", true));
    EXPECT_EQ(0u, script->Calls(kJoinDomainWithMachineAccount));
    script->SetStatus(kCreateMachineAccount, 0);
    script->SetStatus(kJoinDomainWithMachineAccount, 1326);
    EXPECT_NE(std::string::npos, Join("192.0.2.1", true).find("LogonFailureException"));
    EXPECT_EQ(8u, script->Calls(kJoinDomainWithMachineAccount));
    EXPECT_EQ(std::vector<unsigned>(7, 30), sandbox::RecordedSleeps());
}

TEST_F(QAPJoinTest, DomainQueryNeverVerifiesTheCertificate) {
    ::unlink(kOptions);  // neither the option nor the thumbprints are read
    ::unlink(kServers);
    EXPECT_EQ("corp.example", store->GetDomainForQAPService("192.0.2.1"));
    ASSERT_EQ(1u, script->Calls(kGetDomainInfo));
    EXPECT_EQ((Strings{"192.0.2.1", ""}), script->Received(kGetDomainInfo)[0].strings);
    EXPECT_EQ(0, script->Received(kGetDomainInfo)[0].verifyCertificate);
    EXPECT_FALSE(IsLoaded(proxyPlugin));
}

class QAPProxyTest : public StoreTest {
protected:
    std::unique_ptr<QAPProxy> Open() {
        Install(Plugin::kScriptedProxy, "qap");
        script->SetAnswer(kGetDomainInfo, Strings{"CORP", "corp.example", "S-1-5-21-1"});
        script->SetAnswer(kCreateMachineAccount, Strings{"account-1", "account-2"});
        return std::make_unique<QAPProxy>("qap", "192.0.2.1", true, "AB:01");
    }
};

// The loader's refusals are the provider tests'; this is the proxy's own table name.
TEST_F(QAPProxyTest, RefusesAPluginWithoutTheProxyTable) {
    std::string const path = InstallPlugin(Plugin::kNoOperationsProvider, "qap");
    EXPECT_EQ(InvalidProvider("qap", ": " + path + ": undefined symbol: QAPProxyClientOperations"),
              WhatThrown([&] { QAPProxy proxy("qap", "192.0.2.1", false, ""); }));
}

// Each call asks the plug-in afresh with its outputs preset to NULL; a failure maps as the
// provider's, and what came is released. Arguments and unloading are the join test's.
TEST_F(QAPProxyTest, CallsFailuresAndTheRelease) {
    std::unique_ptr<QAPProxy> proxy = Open();
    EXPECT_EQ("CORP corp.example S-1-5-21-1", proxy->GetNetBIOSDomainName() + " " +
                                                  proxy->GetDNSDomainName() + " " +
                                                  proxy->GetDomainSID());
    EXPECT_EQ(3u, script->Calls(kGetDomainInfo));
    ComputerPrincipalInfo const principal = proxy->CreateMachineAccount("node01", "OU=Hosts");
    EXPECT_EQ(" account-1 account-2",
              principal.reserved + " " + principal.accountData1 + " " + principal.accountData2);
    EXPECT_TRUE(script->Received(kCreateMachineAccount)[0].outputsPresetNull);
    std::size_t const released = script->Deallocated().size();
    // Only the untrusted chain is the proxy's own; the service's answers map as the provider's.
    std::pair<std::uint32_t, std::string> const cases[] = {
        {0x80090325u, kCertificateRefused},
        {4660, Named(typeid(UnknownException), "Exception 0x00001234: Unknown exception")},
        {1311, WhatThrown([] { ThrowMappedException(1311); })}};
    for (auto const& c : cases) {
        script->SetStatus(kGetDomainInfo, c.first);
        script->SetStatus(kCreateMachineAccount, c.first);
        std::string netBIOS = "kept", dns = "kept", sid = "kept";
        EXPECT_EQ(c.second, WhatThrown([&] { proxy->GetDomainInfo(netBIOS, dns, sid); }));
        EXPECT_EQ("kept kept kept", netBIOS + " " + dns + " " + sid);
        EXPECT_EQ(c.second, WhatThrown([&] { proxy->CreateMachineAccount("node01", ""); }));
    }
    EXPECT_EQ(released, script->Deallocated().size());  // failed calls release nothing

    // Success without a value is refused, and the strings that came are released.
    script->SetStatus(kGetDomainInfo, 0);
    script->SetAnswer(kGetDomainInfo, Strings{"CORP", std::nullopt, "S-1-5-21-1"});
    std::size_t const returned = script->Returned().size();
    EXPECT_EQ(InvalidProvider("qap", ": GetDomainInfo returned no value for the DNS domain name"),
              WhatThrown([&] { proxy->GetDNSDomainName(); }));
    std::vector<void const*> const handed = script->Returned();
    std::vector<void const*> freed = script->Deallocated();
    freed.erase(freed.begin(), freed.begin() + released);
    EXPECT_EQ((std::vector<void const*>{handed[returned], handed[returned + 2]}), freed);
}

std::string Scratch(std::string const& name, std::string const& content) {
    std::string const path = sandbox::ScratchDirectory() + "/" + name;
    sandbox::WriteFile(path, content);
    return path;
}

class CertificateTest : public StoreTest {
protected:
    std::string Import(std::string const& path, std::string const& server) {
        ActiveDirectoryStore store(60);
        return WhatThrown([&] { store.ImportCertificateForQAP(path, server); });
    }
};

TEST_F(CertificateTest, ThumbprintIsRecordedAndOtherEntriesStay) {
    auto const first = test_certificate::Make("proxy-1.corp.example");
    auto const second = test_certificate::Make("proxy-2.corp.example");
    std::string const firstFile = Scratch("first.pem", first.pem);
    std::string const bothFile = Scratch("both.pem", "text\n" + second.pem + first.pem);
    sandbox::WriteFile(kServers, "192.0.2.9 = \"00:11\"\n", 0640);

    EXPECT_EQ("(returned)", Import(firstFile, "192.0.2.1"));
    EXPECT_EQ("192.0.2.1 = \"" + first.thumbprint + "\"\n192.0.2.9 = \"00:11\"\n",
              sandbox::ReadFile(kServers));
    EXPECT_EQ(0640u, sandbox::FileMode(kServers));

    // The first certificate of a file counts; other servers' entries stay.
    EXPECT_EQ("(returned)", Import(bothFile, "192.0.2.1"));
    EXPECT_EQ("192.0.2.1 = \"" + second.thumbprint + "\"\n192.0.2.9 = \"00:11\"\n",
              sandbox::ReadFile(kServers));
}

TEST_F(CertificateTest, BadInputChangesNoFileAndLeaksNothing) {
    auto const certificate = test_certificate::Make("proxy.corp.example");
    std::string const pem = Scratch("proxy.pem", certificate.pem);
    std::string const kept = "192.0.2.9 = \"00:11\"\n";
    sandbox::WriteFile(kServers, kept);
    std::size_t const descriptors = sandbox::ListDirectory("/proc/self/fd").size();

    for (std::string server : {"proxy.corp.example", "192.0.2.1:443", ""}) {  // before the file
        EXPECT_EQ(BadAddress(server), Import("/nonexistent.pem", server));
    }
    EXPECT_EQ(Named(typeid(FileNotFoundException),
                    "Exception 0x00000002: The system cannot find the file specified."),
              Import("/nonexistent.pem", "192.0.2.1"));
    for (std::string path : {Scratch("proxy.der", certificate.der), Scratch("empty.pem", ""),
                             Scratch("key.pem", certificate.keyPem)}) {
        EXPECT_EQ(Named(typeid(InvalidCertificateException),
                        "The certificate format is invalid; only PEM format is supported."),
                  Import(path, "192.0.2.1"));
        EXPECT_EQ(0u, ERR_peek_error()) << "OpenSSL's error queue is left clean";
    }
    EXPECT_EQ(kept, sandbox::ReadFile(kServers));

    ::unlink(kServers);
    EXPECT_EQ(kInvalidStore, Import(pem, "192.0.2.1"));
    EXPECT_FALSE(sandbox::PathExists(kServers)) << "the store file is never created";
    EXPECT_EQ(descriptors, sandbox::ListDirectory("/proc/self/fd").size());
}

}  // namespace
