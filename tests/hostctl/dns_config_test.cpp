#include <gtest/gtest.h>
#include <hostctl/dns_config.h>
#include <unistd.h>

#include "host_control_fixture.h"

namespace {

char const kResolv[] = "/etc/resolv.conf";

using QuorCtl::Network::DnsConfigImpl;

// Adds the domains to the search list of a file holding `before` and returns the file after.
std::string SearchListAfter(std::string const& before, std::vector<std::string> const& domains) {
    sandbox::WriteFile(kResolv, before);
    DnsConfigImpl config("defaultTcpipStack");
    for (std::string const& domain : domains) config.AddSearchDomain(domain);
    config.SaveConfig();
    return sandbox::ReadFile(kResolv);
}

}  // namespace

using DnsConfigTest = HostControlTest;

TEST_F(DnsConfigTest, ExtendsTheSearchLineOnce) {
    std::string const before =
        "# generated\nnameserver 127.0.0.1\nsearch a.example b.example \noptions ndots:1\n";
    EXPECT_EQ(
        "# generated\nnameserver 127.0.0.1\nsearch a.example b.example corp.example\n"
        "options ndots:1\n",
        SearchListAfter(before, {"corp.example"}));
    ino_t inode = InodeOf(kResolv);

    // Listed already (case and a final dot do not matter): the file is not even rewritten.
    DnsConfigImpl config("defaultTcpipStack");
    config.AddSearchDomain("CORP.example.");
    config.AddSearchDomain("b.example");
    config.SaveConfig();
    EXPECT_EQ(inode, InodeOf(kResolv));

    EXPECT_EQ("search a.example x.example y.example",
              SearchListAfter("search a.example", {"x.example", "y.example", "X.example"}));
}

TEST_F(DnsConfigTest, AddsASearchLineWhereNoneCounts) {
    EXPECT_EQ("nameserver 127.0.0.1\nsearch corp.example\n",
              SearchListAfter("nameserver 127.0.0.1", {"corp.example"}));
    // Comments, indented keywords and "search" without a blank are not search lines.
    std::string const ignored =
        "#search old.example\n; search other.example\n  search x.example\n"
        "searchy.example\n";
    EXPECT_EQ(ignored + "search corp.example\n", SearchListAfter(ignored, {"corp.example"}));

    ASSERT_EQ(0, ::unlink(kResolv));
    DnsConfigImpl config("defaultTcpipStack");
    config.SaveConfig();  // nothing noted, nothing written
    EXPECT_FALSE(sandbox::PathExists(kResolv));
    config.AddSearchDomain("corp.example");
    config.SaveConfig();
    EXPECT_EQ("search corp.example\n", sandbox::ReadFile(kResolv));
    EXPECT_EQ(0644u, sandbox::FileMode(kResolv));
}

TEST_F(DnsConfigTest, TheLastSearchOrDomainLineDecides) {
    EXPECT_EQ("search first.example\nnameserver 127.0.0.1\nsearch second.example first.example\n",
              SearchListAfter("search first.example\nnameserver 127.0.0.1\nsearch second.example\n",
                              {"first.example"}));
    // A "domain" line stays, and its domain stays at the head of the list.
    EXPECT_EQ("domain corp.example\nsearch corp.example lab.example\nnameserver 127.0.0.1\n",
              SearchListAfter("domain corp.example\nnameserver 127.0.0.1\n", {"lab.example"}));
    EXPECT_EQ("domain corp.example\n", SearchListAfter("domain corp.example\n", {"Corp.Example"}));
    EXPECT_EQ("search a.example\ndomain d.example\nsearch d.example a.example\n",
              SearchListAfter("search a.example\ndomain d.example", {"a.example"}));
}

TEST_F(DnsConfigTest, RefusesWhatIsNotOneDomain) {
    EXPECT_EQ("Unknown network stack 'otherStack': Invalid argument",
              ErrorOf([] { DnsConfigImpl("otherStack"); }));
    sandbox::WriteFile(kResolv, "nameserver 127.0.0.1\n");
    DnsConfigImpl config("defaultTcpipStack");
    std::string const invalid[] = {"",
                                   "two words",
                                   "evil.example\nnameserver 203.0.113.1",
                                   "a..b",
                                   ".example",
                                   std::string(64, 'a') + ".example",
                                   std::string(254, 'a')};
    for (std::string const& domain : invalid) {
        EXPECT_EQ("Invalid search domain '" + domain + "' for '/etc/resolv.conf': Invalid argument",
                  ErrorOf([&] { config.AddSearchDomain(domain); }));
    }
    config.SaveConfig();
    EXPECT_EQ("nameserver 127.0.0.1\n", sandbox::ReadFile(kResolv));
}
