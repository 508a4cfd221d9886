#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <hostctl/hosts_file.h>
#include <hostctl/ipv4_address.h>
#include <hostctl/network_interface.h>
#include <unistd.h>

#include "host_control_fixture.h"

namespace {

char const kHosts[] = "/etc/hosts";

void AddEntry(std::string const& address, std::string const& name,
              std::vector<std::string> const& aliases) {
    QuorCtl::Network::HostsFile().AddOrReplaceEntry(address, name, aliases);
}

}  // namespace

using HostsFileTest = HostControlTest;

TEST_F(HostsFileTest, ReplacesTheLineOfTheAddressOrAppendsOne) {
    sandbox::WriteFile(kHosts,
                       "127.0.0.1\tlocalhost\n# managed\n#192.0.2.10 commented.example\n"
                       "192.0.2.100 other.example\n  192.0.2.10 old.example old # management\n"
                       "192.0.2.10 second.example\n2001:DB8:0::1 v6.example\n");
    AddEntry("192.0.2.10", "node01.corp.example", {"node01"});
    AddEntry("2001:db8::1", "six.example", {});
    EXPECT_EQ(
        "127.0.0.1\tlocalhost\n# managed\n#192.0.2.10 commented.example\n"
        "192.0.2.100 other.example\n192.0.2.10\tnode01.corp.example node01 # management\n"
        "192.0.2.10 second.example\n2001:db8::1\tsix.example\n",
        sandbox::ReadFile(kHosts));

    sandbox::WriteFile(kHosts, "127.0.0.1\tlocalhost");
    AddEntry("192.0.2.10", "node01.corp.example", {"node01", "mgmt"});
    std::string const appended =
        "127.0.0.1\tlocalhost\n192.0.2.10\tnode01.corp.example node01 mgmt\n";
    EXPECT_EQ(appended, sandbox::ReadFile(kHosts));
    ino_t inode = InodeOf(kHosts);
    AddEntry("192.0.2.10", "node01.corp.example", {"node01", "mgmt"});
    EXPECT_EQ(appended, sandbox::ReadFile(kHosts));
    EXPECT_EQ(inode, InodeOf(kHosts));  // unchanged content is not rewritten

    ASSERT_EQ(0, ::unlink(kHosts));
    AddEntry("192.0.2.10", "node01.corp.example", {"node01"});
    EXPECT_EQ("192.0.2.10\tnode01.corp.example node01\n", sandbox::ReadFile(kHosts));
    EXPECT_EQ(0644u, sandbox::FileMode(kHosts));
}

TEST_F(HostsFileTest, RefusesEntriesThatWouldBreakTheFile) {
    std::string const before = sandbox::ReadFile(kHosts);
    struct {
        std::string address, name, alias, message;
    } const cases[] = {
        {"192.0.2", "n.example", "", "Invalid address '192.0.2'"},
        {"node01", "n.example", "", "Invalid address 'node01'"},
        {"192.0.2.10", "two words", "", "Invalid host name 'two words'"},
        {"192.0.2.10", "", "", "Invalid host name ''"},
        {"192.0.2.10", "n.example", "a#b", "Invalid alias 'a#b'"},
        {"192.0.2.10", "n.example", "x\n192.0.2.66 evil", "Invalid alias 'x\n192.0.2.66 evil'"},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(c.message + " for '/etc/hosts': Invalid argument", ErrorOf([&] {
                      AddEntry(c.address, c.name,
                               c.alias.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{"node01", c.alias});
                  }));
    }
    EXPECT_EQ(before, sandbox::ReadFile(kHosts));
}

TEST(Ipv4AddressTest, AcceptsExactlyDottedQuads) {
    using HostCtl::Network::Ipv4Address;
    for (char const* text : {"192.0.2.10", "0.0.0.0", "255.255.255.255"}) {
        EXPECT_TRUE(Ipv4Address::IsValidAddress(text)) << text;
    }
    for (char const* text :
         {"", "192.0.2", "192.0.2.1.5", "256.0.0.1", "192.0.2.01", " 192.0.2.1", "192.0.2.1 ",
          "192.0.2.1\n", "0x7f.0.0.1", "::1", "host.example", "-1.0.0.0", "1..2.3", "192.0.2.1/24",
          "192.0.2.1:389"}) {
        EXPECT_FALSE(Ipv4Address::IsValidAddress(text)) << text;
    }
    // Nothing after an embedded NUL is ignored.
    EXPECT_FALSE(Ipv4Address::IsValidAddress(std::string("192.0.2.1\0junk", 14)));
    EXPECT_EQ("0.0.0.0", Ipv4Address().GetStringAddress());
    EXPECT_EQ("192.0.2.1", Ipv4Address::FromNetworkOrder(htonl(0xC0000201u)).GetStringAddress());
    HostCtl::Network::IpConfig config(Ipv4Address("198.51.100.7"));
    EXPECT_EQ("198.51.100.7", config.GetIpv4Address().GetStringAddress());
    EXPECT_EQ("Invalid IPv4 address '1.2.3': Invalid argument",
              ErrorOf([] { Ipv4Address("1.2.3"); }));
    EXPECT_STREQ("", HostCtl::Lib::HostCtlException(nullptr).what());
}
