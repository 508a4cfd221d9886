#include <gtest/gtest.h>
#include <hostctl/hosts_file.h>
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

TEST_F(HostsFileTest, ReplacesTheLineOfTheAddress) {
    sandbox::WriteFile(kHosts,
                       "127.0.0.1\tlocalhost\n"
                       "# managed\n"
                       "#192.0.2.10 commented.example\n"
                       "192.0.2.100 other.example\n"
                       "  192.0.2.10 old.example old # management\n"
                       "192.0.2.10 second.example\n"
                       "2001:DB8:0::1 v6.example\n");
    AddEntry("192.0.2.10", "node01.corp.example", {"node01"});
    AddEntry("2001:db8::1", "six.example", {});
    EXPECT_EQ(
        "127.0.0.1\tlocalhost\n"
        "# managed\n"
        "#192.0.2.10 commented.example\n"
        "192.0.2.100 other.example\n"
        "192.0.2.10\tnode01.corp.example node01 # management\n"
        "192.0.2.10 second.example\n"
        "2001:db8::1\tsix.example\n",
        sandbox::ReadFile(kHosts));
}

TEST_F(HostsFileTest, AppendsOnceAndThenReplaces) {
    sandbox::WriteFile(kHosts, "127.0.0.1\tlocalhost");
    AddEntry("192.0.2.10", "node01.corp.example", {"node01", "mgmt"});
    std::string const appended =
        "127.0.0.1\tlocalhost\n192.0.2.10\tnode01.corp.example node01 mgmt\n";
    EXPECT_EQ(appended, sandbox::ReadFile(kHosts));

    ino_t inode = InodeOf(kHosts);
    AddEntry("192.0.2.10", "node01.corp.example", {"node01", "mgmt"});
    EXPECT_EQ(appended, sandbox::ReadFile(kHosts));
    EXPECT_EQ(inode, InodeOf(kHosts));  // unchanged content is not rewritten

    AddEntry("192.0.2.10", "node01.lab.example", {"node01"});
    EXPECT_EQ("127.0.0.1\tlocalhost\n192.0.2.10\tnode01.lab.example node01\n",
              sandbox::ReadFile(kHosts));

    ASSERT_EQ(0, ::unlink(kHosts));
    AddEntry("192.0.2.10", "node01.corp.example", {"node01"});
    EXPECT_EQ("192.0.2.10\tnode01.corp.example node01\n", sandbox::ReadFile(kHosts));
    EXPECT_EQ(0644u, sandbox::FileMode(kHosts));
}

TEST_F(HostsFileTest, RefusesEntriesThatWouldBreakTheFile) {
    std::string const before = sandbox::ReadFile(kHosts);
    EXPECT_EQ("Invalid address '192.0.2' for '/etc/hosts': Invalid argument",
              ErrorOf([] { AddEntry("192.0.2", "node01.corp.example", {}); }));
    EXPECT_EQ("Invalid address 'node01' for '/etc/hosts': Invalid argument",
              ErrorOf([] { AddEntry("node01", "node01.corp.example", {}); }));
    EXPECT_EQ("Invalid host name 'two words' for '/etc/hosts': Invalid argument",
              ErrorOf([] { AddEntry("192.0.2.10", "two words", {}); }));
    EXPECT_EQ("Invalid host name '' for '/etc/hosts': Invalid argument",
              ErrorOf([] { AddEntry("192.0.2.10", "", {}); }));
    EXPECT_EQ("Invalid alias 'a#b' for '/etc/hosts': Invalid argument", ErrorOf([] {
                  AddEntry("192.0.2.10", "node01.corp.example", {"node01", "a#b"});
              }));
    EXPECT_EQ("Invalid alias 'x\n192.0.2.66 evil' for '/etc/hosts': Invalid argument",
              ErrorOf([] { AddEntry("192.0.2.10", "n.example", {"x\n192.0.2.66 evil"}); }));
    EXPECT_EQ(before, sandbox::ReadFile(kHosts));
}
