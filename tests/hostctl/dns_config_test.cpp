#include <gtest/gtest.h>
#include <hostctl/dns_config.h>
#include <unistd.h>

#include "host_control_fixture.h"

namespace {

char const kResolv[] = "/etc/resolv.conf";

using QuorCtl::Network::DnsConfigImpl;

void AddSearchDomains(std::vector<std::string> const& domains) {
    DnsConfigImpl config("defaultTcpipStack");
    for (std::string const& domain : domains) config.AddSearchDomain(domain);
    config.SaveConfig();
}

}  // namespace

using DnsConfigTest = HostControlTest;

// The last "search" or "domain" line decides; case and a final dot do not matter.
TEST_F(DnsConfigTest, ExtendsTheSearchListOnce) {
    struct {
        std::string before;
        std::vector<std::string> domains;
        std::string after;
    } const cases[] = {
        {"# generated\nnameserver 127.0.0.1\nsearch a.example b.example \noptions ndots:1\n",
         {"corp.example", "B.example."},
         "# generated\nnameserver 127.0.0.1\nsearch a.example b.example corp.example\n"
         "options ndots:1\n"},
        {"search a.example",
         {"x.example", "y.example", "X.example"},
         "search a.example x.example y.example"},
        {"nameserver 127.0.0.1", {"corp.example"}, "nameserver 127.0.0.1\nsearch corp.example\n"},
        // Comments, indented keywords and "search" without a blank are not search lines.
        {"#search o.example\n; search p.example\n  search x.example\nsearchy.example\n",
         {"corp.example"},
         "#search o.example\n; search p.example\n  search x.example\nsearchy.example\n"
         "search corp.example\n"},
        {"search first.example\nnameserver 127.0.0.1\nsearch second.example\n",
         {"first.example"},
         "search first.example\nnameserver 127.0.0.1\nsearch second.example first.example\n"},
        // A "domain" line stays, and its domain stays at the head of the list.
        {"domain corp.example\nnameserver 127.0.0.1\n",
         {"lab.example"},
         "domain corp.example\nsearch corp.example lab.example\nnameserver 127.0.0.1\n"},
        {"domain corp.example\n", {"Corp.Example"}, "domain corp.example\n"},
        {"search a.example\ndomain d.example",
         {"a.example"},
         "search a.example\ndomain d.example\nsearch d.example a.example\n"},
    };
    for (auto const& c : cases) {
        sandbox::WriteFile(kResolv, c.before);
        AddSearchDomains(c.domains);
        EXPECT_EQ(c.after, sandbox::ReadFile(kResolv)) << c.before;
    }
    // Listed already: the file is not even rewritten.
    ino_t inode = InodeOf(kResolv);
    AddSearchDomains({"D.example.", "a.example"});
    EXPECT_EQ(inode, InodeOf(kResolv));

    ASSERT_EQ(0, ::unlink(kResolv));
    AddSearchDomains({});  // nothing noted, nothing written
    EXPECT_FALSE(sandbox::PathExists(kResolv));
    AddSearchDomains({"corp.example"});
    EXPECT_EQ("search corp.example\n", sandbox::ReadFile(kResolv));
    EXPECT_EQ(0644u, sandbox::FileMode(kResolv));
}

TEST_F(DnsConfigTest, RefusesWhatIsNotOneDomain) {
    EXPECT_EQ("Unknown network stack 'otherStack': Invalid argument",
              ErrorOf([] { DnsConfigImpl("otherStack"); }));
    sandbox::WriteFile(kResolv, "nameserver 127.0.0.1\n");
    DnsConfigImpl config("defaultTcpipStack");
    for (std::string const& domain :
         {std::string(), std::string("two words"), std::string("a..b"), std::string(".example"),
          std::string("evil.example\nnameserver 203.0.113.1"), std::string(64, 'a') + ".example",
          std::string(254, 'a')}) {
        EXPECT_EQ("Invalid search domain '" + domain + "' for '/etc/resolv.conf': Invalid argument",
                  ErrorOf([&] { config.AddSearchDomain(domain); }));
    }
    config.SaveConfig();
    EXPECT_EQ("nameserver 127.0.0.1\n", sandbox::ReadFile(kResolv));
}
