// Joining with credentials, leaving, and the host-name checks and repairs before a join.
#include <authentication/hostname_check.h>

#include "join_fixture.h"

using namespace ostrel::authentication;
using namespace test_plugins;
using Lines = std::vector<std::string>;

namespace {

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
        {{"admin", nullptr}, noPassword},
        {{"admin", ""}, noPassword},
        // An empty user name passes; the host name is then refused before the plug-in is asked.
        {{"", "secret"}, Invalid("hostname is in blacklist")},
    };
    for (auto const& row : rows) EXPECT_EQ(row.second, Join("corp.example", row.first, false));
    EXPECT_EQ(0u, script->Calls(kJoinDomain));
    EXPECT_EQ("(returned)", Join("corp.example", Credentials{"", "secret"}, true));
    ExpectFiles(kLocalHosts, kResolver);
}

TEST_F(CredentialsJoinTest, DomainAndContainerSplitAtTheFirstSlash) {
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
    // The host-name check sees the domain name alone.
    NameHost("node01", "198.51.100.5\tnode01\n");
    EXPECT_EQ("(returned)", Join("corp.example/OU=Hosts", admin, false));
    ExpectFiles(kLocalHosts + "198.51.100.5\tnode01\n192.0.2.10\tnode01.corp.example node01\n",
                kResolver);
}

TEST_F(CredentialsJoinTest, NoRetryOfALogonFailure) {
    script->SetStatus(kJoinDomain, 1326);
    EXPECT_EQ(Named(typeid(LogonFailureException),
                    "Exception 0x0000052e: The attempted logon is invalid. This is due to either "
                    "a bad user name or authentication information."),
              Join("corp.example", admin, true));
    EXPECT_EQ(1u, script->Calls(kJoinDomain));
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

}  // namespace
