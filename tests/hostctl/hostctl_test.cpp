// libquorctl in the sandbox: advanced options, the management interface, and the edits of
// /etc/hosts and /etc/resolv.conf. How a file is replaced (links, bits, owner, I/O failures,
// crashes) is the shared replacement's, tested through libtslauth (tests/reliability, store);
// here only that the edits go through it, bind-mounted files, and the edit locks.
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

// The sandbox plus the directory of libquorctl's own files.
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

ino_t InodeOf(std::string const& path) {
    struct stat info = {};
    EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
    return info.st_ino;
}

void MakeSymlink(std::string const& target, std::string const& link) {
    ::unlink(link.c_str());
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str())) << link;
}

char const kOptions[] = "/etc/ostrel/hostctl/advanced-options.conf";
char const kConfigured[] = "/etc/ostrel/hostctl/management-interface";
char const kHosts[] = "/etc/hosts";
char const kResolv[] = "/etc/resolv.conf";
std::string const kLocal = "127.0.0.1\tlocalhost\n", kServer = "nameserver 127.0.0.1\n";
std::string const kEntry = "192.0.2.10\tnode01.corp.example node01\n";

using namespace HostCtl::Adv;
using QuorCtl::Network::DnsConfigImpl;

std::unique_ptr<AdvancedBranch> Root() {
    return HostCtl::HostFactory::GetHost()->GetAdvancedOptions();
}

// "int:N", "string:TEXT" or "none" for the option at the dotted path.
std::string Value(AdvancedBranch const& root, std::string const& path) {
    std::string::size_type dot = path.find('.'), last = path.rfind('.');
    std::unique_ptr<AdvancedBranch> branch = root.GetBranch(path.substr(0, dot));
    for (; branch && dot != last; dot = path.find('.', dot + 1))
        branch = branch->GetBranch(path.substr(dot + 1, path.find('.', dot + 1) - dot - 1));
    std::unique_ptr<AdvancedOption> found =
        branch ? branch->GetOption(path.substr(last + 1)) : nullptr;
    if (!found) return "none";
    EXPECT_EQ(path.substr(last + 1), found->GetName());
    if (auto const* integer = dynamic_cast<AdvancedIntegerOption const*>(found.get()))
        return "int:" + std::to_string(integer->GetValue());
    auto const* text = dynamic_cast<AdvancedStringOption const*>(found.get());
    return text ? "string:" + text->GetValue() : "(untyped)";
}

std::unique_ptr<HostCtl::Network::NetworkInterface> Management() {
    return QuorCtl::Network::NetworkInfoImpl().GetManagementInterface();
}

// "name address" of the management interface.
std::string Chosen() {
    auto const chosen = Management();
    return chosen->GetName() + " " + chosen->GetIpConfig().GetIpv4Address().GetStringAddress();
}

void AddEntry(std::string const& address = "192.0.2.10",
              std::string const& name = "node01.corp.example",
              std::vector<std::string> const& aliases = {"node01"}) {
    QuorCtl::Network::HostsFile().AddOrReplaceEntry(address, name, aliases);
}

void AddSearchDomains(std::vector<std::string> const& domains = {"corp.example"}) {
    DnsConfigImpl config("defaultTcpipStack");
    for (std::string const& domain : domains) config.AddSearchDomain(domain);
    config.SaveConfig();
}

}  // namespace

TEST_F(HostControlTest, AdvancedOptionsByBranchAndMalformedLines) {
    sandbox::WriteFile(kOptions,
                       "# host options\nUserVars.ActiveDirectoryVerifyQAPCertificate = int:1\n\n"
                       "  UserVars.Negative=int:-9223372036854775808\nUserVars.Empty = string:\n"
                       "UserVars.Greeting = string:hello  world \nNet.Tcpip.Mtu = int:+1500\n"
                       "Net.Tcpip = string:branch and option may share a name");
    std::unique_ptr<AdvancedBranch> root = Root();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ("/UserVars", root->GetName() + "/" + root->GetBranch("UserVars")->GetName());
    std::string const verify = "UserVars.ActiveDirectoryVerifyQAPCertificate";
    // Lookups are exact, and branches are not options.
    for (auto const& c : std::vector<std::pair<std::string, std::string>>{
             {verify, "int:1"},
             {"UserVars.Negative", "int:-9223372036854775808"},
             {"UserVars.Greeting", "string:hello  world"},
             {"UserVars.Empty", "string:"},
             {"Net.Tcpip.Mtu", "int:1500"},
             {"Net.Tcpip", "string:branch and option may share a name"},
             {"uservars.Greeting", "none"},
             {"UserVars.Missing", "none"}})
        EXPECT_EQ(c.second, Value(*root, c.first)) << c.first;
    EXPECT_EQ(nullptr, root->GetOption("UserVars"));
    EXPECT_EQ(nullptr, root->GetBranch("UserVars")->GetBranch("Greeting"));

    // A tree once read is a snapshot; no file, or not even its directory: no options.
    sandbox::WriteFile(kOptions, "UserVars.ActiveDirectoryVerifyQAPCertificate = int:0\n");
    EXPECT_EQ("int:1", Value(*root, verify));
    ASSERT_EQ(0, ::unlink(kOptions));
    EXPECT_EQ("none", Value(*Root(), verify));
    ASSERT_EQ(0, ::rmdir("/etc/ostrel/hostctl"));
    EXPECT_EQ(nullptr, Root()->GetBranch("UserVars"));

    sandbox::MakeDirectory("/etc/ostrel/hostctl");
    struct {
        char const* line;
        char const* problem;
    } const malformed[] = {
        {"UserVars.X int:1", "expected 'Branch.Option = type:value'"},
        {"X = int:1", "option name 'X' has no branch"},
        {"UserVars..X = int:1", "invalid option name 'UserVars..X'"},
        {"User Vars.X = int:1", "invalid option name 'User Vars.X'"},
        {"UserVars.X = bool:1", "unknown type 'bool' (expected int or string)"},
        {"UserVars.X = 1", "unknown type '1' (expected int or string)"},
        {"UserVars.X = int:", "invalid integer ''"},
        {"UserVars.X = int:1x", "invalid integer '1x'"},
        {"UserVars.X = int:0x10", "invalid integer '0x10'"},
        {"UserVars.X = int:9223372036854775808", "integer '9223372036854775808' is out of range"},
        {"UserVars.X = int:1\nUserVars.X = string:again",
         "option 'UserVars.X' is defined more than once"},
    };
    for (auto const& c : malformed) {
        sandbox::WriteFile(kOptions, std::string("# options\n") + c.line + "\n");
        std::string const line = std::strchr(c.line, '\n') ? "3" : "2";
        EXPECT_EQ("Invalid line " + line + " in '" + kOptions + "': " + c.problem, ErrorOf(Root))
            << c.line;
    }
    ASSERT_EQ(0, ::unlink(kOptions));
    sandbox::MakeDirectory(kOptions);
    EXPECT_EQ(std::string("Unable to read '") + kOptions + "': Is a directory", ErrorOf(Root));
}

// Fails the test unless the shell command succeeds.
void Shell(std::string const& command) {
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

// The configured interface, else the one of the default route with the lowest metric.
TEST_F(HostControlTest, ManagementInterface) {
    // veth pairs in the test's own network namespace; deleting one end takes its peer along.
    struct Veths {
        ~Veths() { Shell("ip link del hcmgmt0; ip link del hcother0; ip link del hcbare0"); }
    } const veths;
    Shell(
        "ip link add hcmgmt0 type veth peer name hcmgmt1 && ip addr add 192.0.2.10/24 dev hcmgmt0"
        " && ip link add hcother0 type veth peer name hcother1 && ip addr add 198.51.100.7/24 dev"
        " hcother0 && ip addr add 198.51.100.8/24 dev hcother0 && ip link add hcbare0 type veth"
        " peer name hcbare1 && for l in hcmgmt0 hcmgmt1 hcother0 hcother1 hcbare0 hcbare1; do ip"
        " link set $l up; done");
    EXPECT_EQ("No IPv4 default route in '/proc/net/route': Network is unreachable",
              ErrorOf(Management));
    Shell("ip route add default via 192.0.2.1 dev hcmgmt0 metric 200");
    sandbox::WriteFile(kConfigured, "  hcother0 \n\n");
    EXPECT_EQ("hcother0 198.51.100.7", Chosen());  // the first address, not the second
    sandbox::WriteFile(kConfigured, "lo");
    EXPECT_EQ("lo 127.0.0.1", Chosen());
    ASSERT_EQ(0, ::unlink(kConfigured));
    Shell("ip route add default via 198.51.100.1 dev hcother0 metric 100");
    EXPECT_EQ("hcother0 198.51.100.7", Chosen());
    Shell("ip route del default via 198.51.100.1 dev hcother0 metric 100");
    Shell("ip route add unreachable default metric 1");  // carries no traffic
    EXPECT_EQ("hcmgmt0 192.0.2.10", Chosen());

    std::string const in = std::string(" in '") + kConfigured + "': Invalid argument";
    struct {
        std::string content, message;
    } const cases[] = {
        {"nosuch0\n", "Unable to find the management interface 'nosuch0': No such device"},
        {" \n", "No interface named" + in},
        {"hcmgmt0\nhcother0\n", "More than one line" + in},
        {"eth0/x\n", "Invalid interface name 'eth0/x'" + in},
    };
    for (auto const& c : cases) {
        sandbox::WriteFile(kConfigured, c.content);
        EXPECT_EQ(c.message, ErrorOf(Management));
    }
    sandbox::WriteFile(kConfigured, "hcbare0\n");
    EXPECT_EQ("No IPv4 address on interface 'hcbare0': Cannot assign requested address",
              ErrorOf([] { Management()->GetIpConfig(); }));
}

TEST_F(HostControlTest, HostsLineOfTheAddressReplacedOrAppended) {
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
    EXPECT_EQ(inode, InodeOf(kHosts));  // unchanged content is not rewritten
    ASSERT_EQ(0, ::unlink(kHosts));
    AddEntry();
    EXPECT_EQ(kEntry, sandbox::ReadFile(kHosts));

    struct {
        std::string address, name;
        std::vector<std::string> aliases;
        std::string message;
    } const refused[] = {
        {"192.0.2", "n.example", {}, "Invalid address '192.0.2'"},
        {"node01", "n.example", {}, "Invalid address 'node01'"},
        {"192.0.2.10", "two words", {}, "Invalid host name 'two words'"},
        {"192.0.2.10", "", {}, "Invalid host name ''"},
        {"192.0.2.10", "n.example", {"node01", "a#b"}, "Invalid alias 'a#b'"},
        {"192.0.2.10", "n", {"x\n192.0.2.66 evil"}, "Invalid alias 'x\n192.0.2.66 evil'"},
    };
    for (auto const& c : refused)
        EXPECT_EQ(c.message + " for '/etc/hosts': Invalid argument",
                  ErrorOf([&] { AddEntry(c.address, c.name, c.aliases); }));
    EXPECT_EQ(kEntry, sandbox::ReadFile(kHosts));
}

TEST(Ipv4AddressTest, AcceptsExactlyDottedQuads) {
    using HostCtl::Network::Ipv4Address;
    for (char const* text : {"192.0.2.10", "0.0.0.0", "255.255.255.255"})
        EXPECT_TRUE(Ipv4Address::IsValidAddress(text)) << text;
    for (char const* text : {"", "192.0.2", "192.0.2.1.5", "256.0.0.1", "192.0.2.01", " 192.0.2.1",
                             "192.0.2.1 ", "192.0.2.1\n", "0x7f.0.0.1", "::1", "host.example",
                             "-1.0.0.0", "1..2.3", "192.0.2.1/24", "192.0.2.1:389"})
        EXPECT_FALSE(Ipv4Address::IsValidAddress(text)) << text;
    // Nothing after an embedded NUL is ignored.
    EXPECT_FALSE(Ipv4Address::IsValidAddress(std::string("192.0.2.1\0junk", 14)));
    EXPECT_EQ("Invalid IPv4 address '1.2.3': Invalid argument",
              ErrorOf([] { Ipv4Address("1.2.3"); }));
    EXPECT_STREQ("", HostCtl::Lib::HostCtlException(nullptr).what());
}

// The last "search" or "domain" line decides; case and a final dot do not matter.
TEST_F(HostControlTest, ResolverSearchListExtendedOnce) {
    struct {
        std::string before, domains, after;  // the domains separated by blanks
    } const cases[] = {
        {"# generated\nnameserver 127.0.0.1\nsearch a.example b.example \noptions ndots:1\n",
         "corp.example B.example.",
         "# generated\nnameserver 127.0.0.1\nsearch a.example b.example corp.example\n"
         "options ndots:1\n"},
        {"search a.example", "x.example y.example X.example",
         "search a.example x.example y.example"},
        {"nameserver 127.0.0.1", "corp.example", "nameserver 127.0.0.1\nsearch corp.example\n"},
        // Comments, indented keywords and "search" without a blank are not search lines.
        {"#search o.example\n; search p.example\n  search x.example\nsearchy.example\n",
         "corp.example",
         "#search o.example\n; search p.example\n  search x.example\nsearchy.example\n"
         "search corp.example\n"},
        {"search first.example\nnameserver 127.0.0.1\nsearch second.example\n", "first.example",
         "search first.example\nnameserver 127.0.0.1\nsearch second.example first.example\n"},
        // A "domain" line stays, and its domain stays at the head of the list.
        {"domain corp.example\nnameserver 127.0.0.1\n", "lab.example",
         "domain corp.example\nsearch corp.example lab.example\nnameserver 127.0.0.1\n"},
        {"domain corp.example\n", "Corp.Example", "domain corp.example\n"},
        {"search a.example\ndomain d.example", "a.example",
         "search a.example\ndomain d.example\nsearch d.example a.example\n"},
    };
    for (auto const& c : cases) {
        sandbox::WriteFile(kResolv, c.before);
        std::istringstream words(c.domains);
        AddSearchDomains({std::istream_iterator<std::string>(words), {}});
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

    EXPECT_EQ("Unknown network stack 'otherStack': Invalid argument",
              ErrorOf([] { DnsConfigImpl("otherStack"); }));
    DnsConfigImpl config("defaultTcpipStack");
    for (std::string const& domain :
         {std::string(), std::string("two words"), std::string("a..b"), std::string(".example"),
          std::string("evil.example\nnameserver 203.0.113.1"), std::string(64, 'a') + ".example",
          std::string(254, 'a')}) {
        EXPECT_EQ("Invalid search domain '" + domain + "' for '/etc/resolv.conf': Invalid argument",
                  ErrorOf([&] { config.AddSearchDomain(domain); }));
    }
    config.SaveConfig();
    EXPECT_EQ("search corp.example\n", sandbox::ReadFile(kResolv));
}

// The edits go through the shared replacement: links stay and their target is replaced with
// its bits, a dangling link's target created. A bind-mounted file, which no rename can replace,
// is rewritten in place (and cut to its new length), or keeps its old content when that fails.
TEST_F(HostControlTest, EditsReplaceTheFilesBehindLinksAndMounts) {
    sandbox::MakeDirectory("/etc/ostrel/net");
    sandbox::WriteFile("/etc/ostrel/net/resolv.conf", kServer, 0604);
    MakeSymlink("resolv.conf", "/etc/ostrel/net/resolv-link");  // a relative link to a link
    MakeSymlink("ostrel/net/resolv-link", kResolv);
    std::string const bound = sandbox::ScratchDirectory() + "/bound-hosts";
    sandbox::WriteFile(bound, kLocal + "192.0.2.10\tan-old-and-much-longer.corp.example old\n");
    ASSERT_EQ(0, ::mount(bound.c_str(), kHosts, nullptr, MS_BIND, nullptr));
    std::vector<std::string> const etc = sandbox::ListDirectory("/etc");
    AddEntry();
    AddSearchDomains();
    EXPECT_EQ(kLocal + kEntry, sandbox::ReadFile(bound));
    EXPECT_EQ(kServer + "search corp.example\n", sandbox::ReadFile("/etc/ostrel/net/resolv.conf"));
    EXPECT_EQ(0604u, sandbox::FileMode("/etc/ostrel/net/resolv.conf"));
    EXPECT_EQ(etc, sandbox::ListDirectory("/etc"));  // the link stays, no temporary file left
    EXPECT_EQ((std::vector<std::string>{"resolv-link", "resolv.conf"}),
              sandbox::ListDirectory("/etc/ostrel/net"));
    // A dangling link names the file to create.
    MakeSymlink("ostrel/net/absent.conf", kResolv);
    AddSearchDomains();
    EXPECT_EQ("search corp.example\n", sandbox::ReadFile("/etc/ostrel/net/absent.conf"));
    ASSERT_EQ(0, ::umount2(kHosts, MNT_DETACH));

    // A bind-mounted file on a full filesystem: the in-place rewrite fails and is undone.
    sandbox::MakeDirectory("/etc/ostrel/full");
    sandbox::MountTmpfs("/etc/ostrel/full", 4 * 4096);
    std::string const old = kLocal + std::string(4050, '#') + "\n";
    sandbox::WriteFile("/etc/ostrel/full/hosts", old);
    sandbox::WriteFile("/etc/ostrel/full/filler", std::string(3 * 4096, 'x'));
    ASSERT_EQ(0, ::mount("/etc/ostrel/full/hosts", kHosts, nullptr, MS_BIND, nullptr));
    EXPECT_EQ("Unable to write '/etc/hosts': No space left on device", ErrorOf([] { AddEntry(); }));
    EXPECT_EQ(old, sandbox::ReadFile("/etc/ostrel/full/hosts"));
    ASSERT_EQ(0, ::umount2(kHosts, MNT_DETACH));

    // A read-only directory: no temporary file can be made beside the target.
    sandbox::RemountReadOnly("/etc/ostrel/full");
    MakeSymlink("/etc/ostrel/full/hosts", kHosts);
    EXPECT_EQ(
        "Unable to create a temporary file beside '/etc/ostrel/full/hosts': Read-only file system",
        ErrorOf([] { AddEntry(); }));
    MakeSymlink("ostrel/hostctl", kResolv);
    EXPECT_EQ("Unable to read '/etc/ostrel/hostctl': Is a directory",
              ErrorOf([] { AddSearchDomains(); }));
    MakeSymlink(kHosts, kHosts);
    EXPECT_EQ("Unable to follow the links of '/etc/hosts': Too many levels of symbolic links",
              ErrorOf([] { AddEntry(); }));
}

// Two processes editing both files at once: without the edit locks, a replacement made from
// an old read drops the other's entry.
TEST_F(HostControlTest, ConcurrentEditorsLoseNoUpdate) {
    sandbox::WriteFile(kHosts, kLocal);
    sandbox::WriteFile(kResolv, kServer);
    std::vector<std::string> const etc = sandbox::ListDirectory("/etc");
    auto const name = [](int child, int i) {
        return "c" + std::to_string(child) + "-" + std::to_string(i);
    };
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        children[child] = fork();
        ASSERT_LE(0, children[child]);
        if (children[child] != 0) continue;
        try {
            for (int i = 1; i <= 150; ++i) {
                AddEntry("10." + std::to_string(child) + ".0." + std::to_string(i),
                         name(child, i) + ".corp.example", {});
                AddSearchDomains({name(child, i) + ".example"});
            }
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    for (pid_t pid : children) {
        int status = -1;  // a child still editing after two minutes is killed
        for (int wait = 0; wait < 1200 && waitpid(pid, &status, WNOHANG) == 0; ++wait)
            usleep(100000);
        if (status == -1) ::kill(pid, SIGKILL), waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::string const hosts = sandbox::ReadFile(kHosts), resolv = sandbox::ReadFile(kResolv);
    int missing = 0;
    for (int child = 0; child < 2; ++child)
        for (int i = 1; i <= 150; ++i)
            missing +=
                (hosts.find("\t" + name(child, i) + ".corp.example\n") == std::string::npos) +
                (resolv.find(" " + name(child, i) + ".example") == std::string::npos);
    EXPECT_EQ(0, missing);
    EXPECT_EQ(etc, sandbox::ListDirectory("/etc"));  // no temporary file left behind
    EXPECT_EQ((std::vector<std::string>{"hosts.lock", "resolv.conf.lock"}),
              sandbox::ListDirectory("/etc/ostrel/hostctl"));
}
