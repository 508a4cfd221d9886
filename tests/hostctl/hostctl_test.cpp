// libquorctl in the sandbox: advanced options, the management interface, IPv4 parsing and the
// edits of /etc/hosts and /etc/resolv.conf. How a file is replaced (bits, owner, crashes) is the
// shared replacement's, tested through libtslauth; here links, bind mounts and the edit locks.
#include <gtest/gtest.h>
#include <hostctl/dns_config.h>
#include <hostctl/host.h>
#include <hostctl/hostctl_exception.h>
#include <hostctl/hosts_file.h>
#include <hostctl/ipv4_address.h>
#include <hostctl/network_info.h>
#include <hostctl/network_interface.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sandbox.h"

class HostControlTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        sandbox::MakeDirectory("/etc/ostrel/hostctl");
    }
};

namespace {

// The message of the HostCtlException the call throws, or a text saying it threw none.
template <typename Call>
std::string ErrorOf(Call call) {
    try {
        call();
    } catch (HostCtl::Lib::HostCtlException const& error) {
        return error.what();
    }
    return "(no HostCtlException)";
}

void MakeSymlink(std::string const& target, std::string const& link) {
    ::unlink(link.c_str());
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str())) << link;
}

char const kOptions[] = "/etc/ostrel/hostctl/advanced-options.conf", kHosts[] = "/etc/hosts",
           kResolv[] = "/etc/resolv.conf",
           kConfigured[] = "/etc/ostrel/hostctl/management-interface";
std::string const kLocal = "127.0.0.1\tlocalhost\n", kServer = "nameserver 127.0.0.1\n";
std::string const kEntry = "192.0.2.10\tnode01.corp.example node01\n";
using namespace HostCtl::Adv;

std::unique_ptr<AdvancedBranch> Root() {
    return HostCtl::HostFactory::GetHost()->GetAdvancedOptions();
}

void AddEntry(std::string const& address = "192.0.2.10",
              std::string const& name = "node01.corp.example",
              std::vector<std::string> const& aliases = {"node01"}) {
    QuorCtl::Network::HostsFile().AddOrReplaceEntry(address, name, aliases);
}

void AddSearchDomains(std::vector<std::string> const& domains = {"corp.example"}) {
    QuorCtl::Network::DnsConfigImpl config("defaultTcpipStack");
    for (std::string const& domain : domains) config.AddSearchDomain(domain);
    config.SaveConfig();
}

void Shell(std::string const& command) {
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

}  // namespace

// Lookups are exact and by branch; each malformed line is named with its number.
TEST_F(HostControlTest, AdvancedOptionsByBranchAndMalformedLines) {
    sandbox::WriteFile(kOptions,
                       "# host options\nUserVars.ActiveDirectoryVerifyQAPCertificate = int:1\n\n"
                       "  UserVars.Negative=int:-9223372036854775808\n"
                       "UserVars.Greeting = string:hello  world \nNet.Tcpip.Mtu = int:+1500\n"
                       "Net.Tcpip = string:branch and option may share a name");
    std::unique_ptr<AdvancedBranch> root = Root();
    std::unique_ptr<AdvancedBranch> const user = root->GetBranch("UserVars");
    std::unique_ptr<AdvancedBranch> const net = root->GetBranch("Net");
    std::string shown = root->GetName() + "/" + user->GetName();
    for (auto const* option :
         {user->GetOption("ActiveDirectoryVerifyQAPCertificate").release(),
          user->GetOption("Negative").release(), user->GetOption("Greeting").release(),
          net->GetBranch("Tcpip")->GetOption("Mtu").release(), net->GetOption("Tcpip").release()}) {
        std::unique_ptr<AdvancedOption const> const owned(option);
        auto const* integer = dynamic_cast<AdvancedIntegerOption const*>(option);
        auto const* text = dynamic_cast<AdvancedStringOption const*>(option);
        shown += "|" + option->GetName() + "=" +
                 (integer ? std::to_string(integer->GetValue()) : "'" + text->GetValue() + "'");
    }
    EXPECT_EQ(
        "/UserVars|ActiveDirectoryVerifyQAPCertificate=1|Negative=-9223372036854775808|"
        "Greeting='hello  world'|Mtu=1500|Tcpip='branch and option may share a name'",
        shown);
    EXPECT_TRUE(!root->GetBranch("uservars") && !user->GetOption("Missing") &&
                !root->GetOption("UserVars") && !user->GetBranch("Greeting"));
    ASSERT_EQ(0, ::unlink(kOptions));
    EXPECT_EQ(nullptr, Root()->GetBranch("UserVars"));

    for (auto const& c : std::vector<std::pair<std::string, std::string>>{
             {"UserVars.X int:1", "expected 'Branch.Option = type:value'"},
             {"UserVars.X = bool:1", "unknown type 'bool' (expected int or string)"},
             {"UserVars.X = int:1x", "invalid integer '1x'"},
             {"UserVars.X = int:1\nUserVars.X = string:again",
              "option 'UserVars.X' is defined more than once"}}) {
        sandbox::WriteFile(kOptions, "# options\n" + c.first + "\n");
        std::string const line = c.first.find('\n') != std::string::npos ? "3" : "2";
        EXPECT_EQ("Invalid line " + line + " in '" + kOptions + "': " + c.second, ErrorOf(Root));
    }
}

// The configured interface, else the one of the default route with the lowest metric.
TEST_F(HostControlTest, ManagementInterface) {
    // veth pairs in the test's own network namespace; deleting one end takes its peer along.
    struct Veths {
        ~Veths() { Shell("ip link del hcmgmt0; ip link del hcother0"); }
    } const veths;
    Shell(
        "for l in hcmgmt hcother; do ip link add ${l}0 type veth peer name ${l}1 && ip link"
        " set ${l}0 up && ip link set ${l}1 up || exit; done; ip addr add 192.0.2.10/24 dev hcmgmt0"
        " && ip addr add 198.51.100.7/24 dev hcother0 && ip addr add 198.51.100.8/24 dev hcother0");
    std::string const in = std::string(" in '") + kConfigured + "': Invalid argument";
    std::string const route = "ip route add default via ";
    struct {
        std::string shell, configured, expected;  // configured "": no file
    } const rows[] = {
        {"", "", "No IPv4 default route in '/proc/net/route': Network is unreachable"},
        // The first address, not the second.
        {route + "192.0.2.1 dev hcmgmt0 metric 200", "  hcother0 \n\n", "hcother0 198.51.100.7"},
        {route + "198.51.100.1 dev hcother0 metric 100", "", "hcother0 198.51.100.7"},
        // An unreachable route carries no traffic.
        {"ip route del default via 198.51.100.1 && ip route add unreachable default metric 1", "",
         "hcmgmt0 192.0.2.10"},
        {"", "nosuch0\n", "Unable to find the management interface 'nosuch0': No such device"},
        {"", "eth0/x\n", "Invalid interface name 'eth0/x'" + in},
        {"", "hcmgmt1\n",
         "No IPv4 address on interface 'hcmgmt1': Cannot assign requested address"},
    };
    for (auto const& row : rows) {
        if (!row.shell.empty()) Shell(row.shell);
        ::unlink(kConfigured);
        if (!row.configured.empty()) sandbox::WriteFile(kConfigured, row.configured);
        std::string chosen;
        std::string const error = ErrorOf([&] {
            auto const found = QuorCtl::Network::NetworkInfoImpl().GetManagementInterface();
            chosen =
                found->GetName() + " " + found->GetIpConfig().GetIpv4Address().GetStringAddress();
        });
        EXPECT_EQ(row.expected, chosen.empty() ? error : chosen);
    }
}

TEST_F(HostControlTest, HostsLineOfTheAddressReplacedOrAppended) {
    sandbox::WriteFile(kHosts,
                       "127.0.0.1\tlocalhost\n# managed\n#192.0.2.10 commented.example\n"
                       "192.0.2.100 other.example\n  192.0.2.10 old.example old # management\n"
                       "192.0.2.10 second.example\n2001:DB8:0::1 v6.example\n");
    AddEntry();
    AddEntry("2001:db8::1", "six.example", {});
    EXPECT_EQ(
        "127.0.0.1\tlocalhost\n# managed\n#192.0.2.10 commented.example\n"
        "192.0.2.100 other.example\n192.0.2.10\tnode01.corp.example node01 # management\n"
        "192.0.2.10 second.example\n2001:db8::1\tsix.example\n",
        sandbox::ReadFile(kHosts));
    sandbox::WriteFile(kHosts, "127.0.0.1\tlocalhost");
    AddEntry("192.0.2.10", "node01.corp.example", {"node01", "mgmt"});
    std::string const appended = kLocal + "192.0.2.10\tnode01.corp.example node01 mgmt\n";
    EXPECT_EQ(appended, sandbox::ReadFile(kHosts));
    std::string const in = " for '/etc/hosts': Invalid argument";
    EXPECT_EQ("Invalid address 'node01'" + in, ErrorOf([] { AddEntry("node01"); }));
    EXPECT_EQ("Invalid alias 'x\n192.0.2.66 evil'" + in,
              ErrorOf([] { AddEntry("1.2.3.4", "n", {"x\n192.0.2.66 evil"}); }));
    EXPECT_EQ(appended, sandbox::ReadFile(kHosts));  // refusals write nothing
}

TEST(Ipv4AddressTest, AcceptsExactlyDottedQuads) {
    using HostCtl::Network::Ipv4Address;
    std::string accepted;
    for (std::string const& text : std::vector<std::string>{
             "192.0.2.10", "0.0.0.0", "255.255.255.255", "", "192.0.2", "192.0.2.1.5", "256.0.0.1",
             "192.0.2.01", " 192.0.2.1", "192.0.2.1\n", "0x7f.0.0.1", "-1.0.0.0", "1..2.3",
             "192.0.2.1/24", "192.0.2.1:389", std::string("192.0.2.1\0junk", 14)})
        accepted += Ipv4Address::IsValidAddress(text) ? "1" : "0";
    EXPECT_EQ("1110000000000000", accepted);
    EXPECT_EQ("Invalid IPv4 address '1.2.3': Invalid argument",
              ErrorOf([] { Ipv4Address("1.2.3"); }));
}

// The last "search" or "domain" line decides; case and a final dot do not matter.
TEST_F(HostControlTest, ResolverSearchListExtendedOnce) {
    struct {
        std::string before, domain, after;
    } const cases[] = {
        {"# generated\nnameserver 127.0.0.1\nsearch a.example b.example \noptions ndots:1\n",
         "corp.example",
         "# generated\nnameserver 127.0.0.1\nsearch a.example b.example corp.example\n"
         "options ndots:1\n"},
        {"search a.example b.example\n", "B.example.", "search a.example b.example\n"},
        // Comments, indented keywords and "search" without a blank are not search lines.
        {"#search o.example\n; search p.example\n  search x.example\nsearchy.example", "c.example",
         "#search o.example\n; search p.example\n  search x.example\nsearchy.example\n"
         "search c.example\n"},
        {"search first.example\nsearch second.example\n", "first.example",
         "search first.example\nsearch second.example first.example\n"},
        // A "domain" line stays, and its domain stays at the head of the list.
        {"domain corp.example\nnameserver 127.0.0.1\n", "lab.example",
         "domain corp.example\nsearch corp.example lab.example\nnameserver 127.0.0.1\n"},
    };
    for (auto const& c : cases) {
        sandbox::WriteFile(kResolv, c.before);
        AddSearchDomains({c.domain});
        EXPECT_EQ(c.after, sandbox::ReadFile(kResolv)) << c.before;
    }
    QuorCtl::Network::DnsConfigImpl config("defaultTcpipStack");
    for (std::string const& domain :
         {std::string("evil.example\nnameserver 203.0.113.1"), std::string(64, 'a') + ".x"})
        EXPECT_EQ("Invalid search domain '" + domain + "' for '/etc/resolv.conf': Invalid argument",
                  ErrorOf([&] { config.AddSearchDomain(domain); }));
}

// Links stay and their target is replaced, a dangling link's target created. A bind-mounted
// file, which no rename can replace, is rewritten in place (and cut to its new length), or
// keeps its old content when that fails.
TEST_F(HostControlTest, EditsReplaceTheFilesBehindLinksAndMounts) {
    sandbox::MakeDirectory("/etc/ostrel/net");
    sandbox::WriteFile("/etc/ostrel/net/resolv.conf", kServer);
    MakeSymlink("resolv.conf", "/etc/ostrel/net/resolv-link");  // a relative link to a link
    MakeSymlink("ostrel/net/resolv-link", kResolv);
    std::string const bound = sandbox::ScratchDirectory() + "/bound-hosts";
    sandbox::WriteFile(bound, kLocal + "192.0.2.10\tan-old-and-much-longer.corp.example old\n");
    ASSERT_EQ(0, ::mount(bound.c_str(), kHosts, nullptr, MS_BIND, nullptr));
    AddEntry();
    AddSearchDomains();
    EXPECT_EQ(kLocal + kEntry + kServer + "search corp.example\n",
              sandbox::ReadFile(bound) + sandbox::ReadFile("/etc/ostrel/net/resolv.conf"));
    EXPECT_EQ((std::vector<std::string>{"resolv-link", "resolv.conf"}),
              sandbox::ListDirectory("/etc/ostrel/net"));  // no temporary file left
    MakeSymlink("ostrel/net/absent.conf", kResolv);
    AddSearchDomains();
    EXPECT_EQ("search corp.example\n", sandbox::ReadFile("/etc/ostrel/net/absent.conf"));
    ASSERT_EQ(0, ::umount2(kHosts, MNT_DETACH));

    sandbox::MakeDirectory("/etc/ostrel/full");
    sandbox::MountTmpfs("/etc/ostrel/full", 4 * 4096);
    std::string const old = kLocal + std::string(4050, '#') + "\n";
    sandbox::WriteFile("/etc/ostrel/full/hosts", old);
    sandbox::WriteFile("/etc/ostrel/full/filler", std::string(3 * 4096, 'x'));
    ASSERT_EQ(0, ::mount("/etc/ostrel/full/hosts", kHosts, nullptr, MS_BIND, nullptr));
    EXPECT_EQ("Unable to write '/etc/hosts': No space left on device", ErrorOf([] { AddEntry(); }));
    EXPECT_EQ(old, sandbox::ReadFile("/etc/ostrel/full/hosts"));
    ASSERT_EQ(0, ::umount2(kHosts, MNT_DETACH));
    // Failures on the way to a replacement: each is named.
    sandbox::RemountReadOnly("/etc/ostrel/full");
    MakeSymlink("/etc/ostrel/full/hosts", kHosts);
    EXPECT_EQ(
        "Unable to create a temporary file beside '/etc/ostrel/full/hosts': Read-only file system",
        ErrorOf([] { AddEntry(); }));
    MakeSymlink(kHosts, kHosts);
    EXPECT_EQ("Unable to follow the links of '/etc/hosts': Too many levels of symbolic links",
              ErrorOf([] { AddEntry(); }));
    MakeSymlink("ostrel/hostctl", kResolv);
    EXPECT_EQ("Unable to read '/etc/ostrel/hostctl': Is a directory",
              ErrorOf([] { AddSearchDomains(); }));
}

// Two processes editing both files at once: without the edit locks, a replacement made from
// an old read drops the other's entry.
TEST_F(HostControlTest, ConcurrentEditorsLoseNoUpdate) {
    sandbox::WriteFile(kHosts, kLocal);
    sandbox::WriteFile(kResolv, kServer);
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        if ((children[child] = fork()) != 0) continue;
        for (int k = 150 * child; k < 150 * child + 150; ++k) {  // an exception aborts the child
            AddEntry("10.0." + std::to_string(k / 256) + "." + std::to_string(k % 256),
                     "n" + std::to_string(k) + ".corp.example", {});
            AddSearchDomains({"n" + std::to_string(k) + ".example"});
        }
        _exit(0);
    }
    for (pid_t pid : children) {
        int status = -1;  // a child still editing after two minutes is killed
        for (int wait = 0; pid > 0 && wait < 1200 && waitpid(pid, &status, WNOHANG) == 0; ++wait)
            usleep(100000);
        if (status == -1 && pid > 0) ::kill(pid, SIGKILL), waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::string const hosts = sandbox::ReadFile(kHosts), resolv = sandbox::ReadFile(kResolv);
    int missing = 0;
    for (int k = 0; k < 300; ++k)
        missing +=
            (hosts.find("\tn" + std::to_string(k) + ".corp.example\n") == std::string::npos) +
            (resolv.find(" n" + std::to_string(k) + ".example") == std::string::npos);
    EXPECT_EQ(0, missing);
}
