// Host-name checks before a join: what is refused, what is logged, and what the hosts file
// and the resolver configuration hold afterwards.
#include <authentication/exceptions.h>
#include <authentication/hostname_check.h>

#include "join_fixture.h"

using namespace ostrel::authentication;
using Lines = std::vector<std::string>;

namespace {

std::string Invalid(std::string const& detail) {
    return Named(typeid(InvalidHostNameException), "The current hostname is invalid: " + detail);
}

std::string Warning(std::string const& found, std::string const& expected) {
    return "4 The fully qualified hostname " + found + " does not match the expected value " +
           expected + "\n";
}

class HostnameTest : public JoinTest {
protected:
    std::string Sanitise(std::string const& domain) {
        return WhatThrown([&] { store->SanitiseHostnameForDomain(domain); });
    }
};

TEST_F(HostnameTest, MatchingOrBareNamesOnlyGetTheHostsEntry) {
    std::string const resolved = "198.51.100.5\tnode01.corp.example node01\n";
    NameHost("node01", resolved);
    EXPECT_EQ("(returned)", Sanitise("CORP.EXAMPLE"));
    ExpectFiles(kLocalHosts + resolved + "192.0.2.10\tnode01.corp.example node01\n", kResolver);

    // A bare canonical name takes the expected name; the management line is replaced.
    NameHost("node01", "198.51.100.5\tnode01\n192.0.2.10\told.example old\n");
    EXPECT_EQ("(returned)", Sanitise("corp.example"));
    ExpectFiles(kLocalHosts + "198.51.100.5\tnode01\n192.0.2.10\tnode01.corp.example node01\n",
                kResolver);
    EXPECT_EQ(Lines{}, TakeLog());
}

TEST_F(HostnameTest, MismatchWarnsAndAddsTheDomainOnlyWhenItResolves) {
    std::string const lines = "198.51.100.5\tnode01.lab.example node01\n192.0.2.50\tcorp.example\n";
    NameHost("node01", lines);
    HostnameRepair repair;
    store->SanitiseHostnameForDomain("corp.example", repair);
    // The resolved name still goes into the hosts file.
    std::string const hosts = kLocalHosts + lines + "192.0.2.10\tnode01.lab.example node01\n";
    ExpectFiles(hosts, kResolver + "search corp.example\n");
    EXPECT_EQ(Lines{Warning("node01.lab.example", "node01.corp.example")}, TakeLog());
    // The caller is told the same warning and both changes.
    EXPECT_EQ(Lines{"The fully qualified hostname node01.lab.example does not match the expected "
                    "value node01.corp.example"},
              repair.warnings);
    EXPECT_EQ("corp.example", repair.searchDomainAdded);
    EXPECT_EQ("192.0.2.10\tnode01.lab.example node01", repair.hostsEntry);

    // Files already as the join wants them count as unchanged.
    repair = HostnameRepair();
    store->SanitiseHostnameForDomain("corp.example", repair);
    EXPECT_EQ(1u, repair.warnings.size());
    EXPECT_EQ("", repair.searchDomainAdded);
    EXPECT_EQ("", repair.hostsEntry);
    TakeLog();

    EXPECT_EQ("(returned)", Sanitise("other.example"));  // does not resolve: not added
    ExpectFiles(hosts, kResolver + "search corp.example\n");
    EXPECT_EQ(Lines{Warning("node01.lab.example", "node01.other.example")}, TakeLog());
}

TEST_F(HostnameTest, RefusedNamesChangeNothing) {
    NameHost("NODE01", "198.51.100.5\tnode01.corp.example node01\n");  // case-sensitive
    EXPECT_EQ(Invalid("shortname does not match FQDN"), Sanitise("corp.example"));
    for (std::string name : {"localhost", "linux", "hostname"}) {
        NameHost(name, name == "localhost" ? "" : "198.51.100.6\t" + name + "\n");
        EXPECT_EQ(Invalid("hostname is in blacklist"), Sanitise("corp.example")) << name;
    }
    sandbox::WriteFile("/etc/nsswitch.conf", "hosts: files\n");
    NameHost("nowhere", "");
    EXPECT_EQ(Invalid("hostname cannot be resolved"), Sanitise("corp.example"));
    EXPECT_EQ(Lines{}, TakeLog());

    // A line longer than the resolver's first work buffer is read with a larger one.
    std::string const crowded = "198.51.100.7\tcrowded" + std::string(1100, ' ') + "x\n";
    NameHost("crowded", crowded);
    EXPECT_EQ("(returned)", Sanitise("corp.example"));
    ExpectFiles(kLocalHosts + crowded + "192.0.2.10\tcrowded.corp.example crowded\n", kResolver);
}

TEST_F(HostnameTest, BlacklistIsExactAndComesAfterTheSavedSearchDomain) {
    sandbox::SetHostName("Localhost");  // resolves to itself here, so no warning
    sandbox::WriteFile("/etc/hosts", "192.0.2.77\tLocalhost\n");
    EXPECT_EQ("(returned)", Sanitise("corp.example"));
    EXPECT_EQ("192.0.2.77\tLocalhost\n192.0.2.10\tLocalhost.corp.example Localhost\n",
              sandbox::ReadFile("/etc/hosts"));

    std::string const lines =
        "198.51.100.5\tlinux.lab.example linux.corp.example\n192.0.2.50\tcorp.example\n";
    NameHost("linux.corp.example", lines);
    EXPECT_EQ(Invalid("hostname is in blacklist"), Sanitise("corp.example"));
    ExpectFiles(kLocalHosts + lines, kResolver + "search corp.example\n");
    EXPECT_EQ(Lines{Warning("linux.lab.example", "linux.corp.example")}, TakeLog());
}

TEST_F(HostnameTest, CheckReportsWithoutChangingAnything) {
    std::string const lines =
        "198.51.100.5\tlinux.lab.example linux.corp.example\n192.0.2.50\tcorp.example\n";
    NameHost("linux.corp.example", lines);
    HostnameCheck check = CheckHostnameForDomain("corp.example");
    EXPECT_EQ((Lines{"corp.example", "linux.corp.example", "linux.lab.example", "linux",
                     "linux.corp.example", "linux.lab.example"}),
              (Lines{check.domain, check.hostName, check.canonicalName, check.shortName,
                     check.expectedName, check.fullyQualifiedName}));
    EXPECT_TRUE(check.shortNameMatches && check.domainLookedUp && check.domainResolves &&
                check.blacklisted);
    EXPECT_FALSE(check.fullyQualifiedNameMatches);
    EXPECT_EQ("hostname is in blacklist", check.Problem());
    ExpectFiles(kLocalHosts + lines, kResolver);
    EXPECT_EQ(Lines{}, TakeLog());

    // The domain is looked up only where a join would act on the answer.
    NameHost("node01", "198.51.100.5\tnode01\n");
    check = CheckHostnameForDomain("Corp.Example");
    EXPECT_EQ("node01.Corp.Example", check.fullyQualifiedName);
    EXPECT_TRUE(check.fullyQualifiedNameMatches);
    EXPECT_FALSE(check.domainLookedUp || check.blacklisted);
    EXPECT_EQ("", check.Problem());
    NameHost("Node01", "198.51.100.5\tnode01.lab.example node01\n");
    check = CheckHostnameForDomain("corp.example");
    EXPECT_FALSE(check.shortNameMatches || check.domainLookedUp);
    EXPECT_EQ("shortname does not match FQDN", check.Problem());
}

}  // namespace
