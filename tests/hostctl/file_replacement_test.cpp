// How /etc/hosts and /etc/resolv.conf are replaced: links, bits, owner, bind mounts, failures
// and concurrent editors.
#include <gtest/gtest.h>
#include <hostctl/dns_config.h>
#include <hostctl/hosts_file.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "host_control_fixture.h"

namespace {

void AddEntry() {
    QuorCtl::Network::HostsFile().AddOrReplaceEntry("192.0.2.10", "node01.corp.example",
                                                    {"node01"});
}

void AddSearchDomain() {
    QuorCtl::Network::DnsConfigImpl config("defaultTcpipStack");
    config.AddSearchDomain("corp.example");
    config.SaveConfig();
}

std::string const kLocal = "127.0.0.1\tlocalhost\n",
                  kEntry = "192.0.2.10\tnode01.corp.example node01\n";
std::string const kServer = "nameserver 127.0.0.1\n", kSearch = "search corp.example\n";

}  // namespace

using FileReplacementTest = HostControlTest;

TEST_F(FileReplacementTest, LinksStayAndTheirTargetsAreReplaced) {
    sandbox::MakeDirectory("/etc/ostrel/net");
    sandbox::WriteFile("/etc/ostrel/net/hosts", kLocal, 0640);
    sandbox::WriteFile("/etc/ostrel/net/resolv.conf", kServer, 0604);
    MakeSymlink("/etc/ostrel/net/hosts", "/etc/hosts");
    // A relative link to a relative link.
    MakeSymlink("resolv.conf", "/etc/ostrel/net/resolv-link");
    MakeSymlink("ostrel/net/resolv-link", "/etc/resolv.conf");
    std::vector<std::string> const etc = sandbox::ListDirectory("/etc");
    AddEntry();
    AddSearchDomain();
    EXPECT_EQ("/etc/ostrel/net/hosts", LinkTarget("/etc/hosts"));
    EXPECT_EQ("ostrel/net/resolv-link", LinkTarget("/etc/resolv.conf"));
    EXPECT_EQ("resolv.conf", LinkTarget("/etc/ostrel/net/resolv-link"));
    EXPECT_EQ(kLocal + kEntry, sandbox::ReadFile("/etc/ostrel/net/hosts"));
    EXPECT_EQ(kServer + kSearch, sandbox::ReadFile("/etc/ostrel/net/resolv.conf"));
    EXPECT_EQ(0640u, sandbox::FileMode("/etc/ostrel/net/hosts"));
    EXPECT_EQ(0604u, sandbox::FileMode("/etc/ostrel/net/resolv.conf"));
    EXPECT_EQ(etc, sandbox::ListDirectory("/etc"));
    EXPECT_EQ((std::vector<std::string>{"hosts", "resolv-link", "resolv.conf"}),
              sandbox::ListDirectory("/etc/ostrel/net"));
    // A dangling link names the file to create.
    MakeSymlink("ostrel/net/absent.conf", "/etc/resolv.conf");
    AddSearchDomain();
    EXPECT_EQ("ostrel/net/absent.conf", LinkTarget("/etc/resolv.conf"));
    EXPECT_EQ(kSearch, sandbox::ReadFile("/etc/ostrel/net/absent.conf"));
}

// Plain files, then files whose inode numbers need more than 32 bits (examined on a 32-bit
// host too, not taken for missing or unreadable): bits and owner are kept.
TEST_F(FileReplacementTest, PermissionBitsAndOwnerAreKept) {
    for (bool large : {false, true}) {
        SCOPED_TRACE(large ? "large inode numbers" : "plain");
        sandbox::WriteFile("/etc/hosts", kLocal, 0600);
        sandbox::WriteFile("/etc/resolv.conf", kServer, 0640);
        // Where the sandbox maps the ids.
        bool const owned = ::chown("/etc/hosts", 4242, 4343) == 0;
        if (large) sandbox::MountOverlayWithLargeInodes("/etc");
        struct stat info = {};
        ASSERT_TRUE(!large || (::stat("/etc/hosts", &info) == 0 && info.st_ino > 0xffffffffull));
        AddEntry();
        AddSearchDomain();
        EXPECT_EQ(0600u, sandbox::FileMode("/etc/hosts"));
        EXPECT_EQ(0640u, sandbox::FileMode("/etc/resolv.conf"));
        ASSERT_EQ(0, ::stat("/etc/hosts", &info));
        EXPECT_TRUE(!owned || (info.st_uid == 4242 && info.st_gid == 4343));
        EXPECT_EQ(kLocal + kEntry, sandbox::ReadFile("/etc/hosts"));
        EXPECT_EQ(kServer + kSearch, sandbox::ReadFile("/etc/resolv.conf"));
    }
}

TEST_F(FileReplacementTest, BindMountedFilesAreRewrittenInPlace) {
    std::string const hosts = sandbox::ScratchDirectory() + "/bound-hosts";
    std::string const resolv = sandbox::ScratchDirectory() + "/bound-resolv.conf";
    sandbox::WriteFile(hosts, kLocal + "# a longer comment than the new content\n");
    sandbox::WriteFile(resolv, kServer);
    ASSERT_EQ(0, ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr));
    ASSERT_EQ(0, ::mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr));
    std::vector<std::string> const etc = sandbox::ListDirectory("/etc");
    AddEntry();
    AddSearchDomain();
    // Written through the mount points into the very files mounted there.
    EXPECT_EQ(kLocal + "# a longer comment than the new content\n" + kEntry,
              sandbox::ReadFile(hosts));
    EXPECT_EQ(kServer + kSearch, sandbox::ReadFile(resolv));
    EXPECT_EQ(sandbox::ReadFile(hosts), sandbox::ReadFile("/etc/hosts"));
    EXPECT_EQ(etc, sandbox::ListDirectory("/etc"));  // no temporary file left behind
}

TEST_F(FileReplacementTest, FailuresNameTheFileAndKeepItsContent) {
    // A read-only directory: no temporary file can be made beside the target.
    sandbox::MakeDirectory("/etc/ostrel/ro");
    sandbox::MountTmpfs("/etc/ostrel/ro", 1 << 16);
    sandbox::WriteFile("/etc/ostrel/ro/hosts", kLocal);
    sandbox::RemountReadOnly("/etc/ostrel/ro");
    MakeSymlink("/etc/ostrel/ro/hosts", "/etc/hosts");
    EXPECT_EQ(
        "Unable to create a temporary file beside '/etc/ostrel/ro/hosts': Read-only file system",
        ErrorOf(AddEntry));
    EXPECT_EQ(kLocal, sandbox::ReadFile("/etc/ostrel/ro/hosts"));

    // A bind-mounted file on a full filesystem: the in-place rewrite fails and is undone.
    sandbox::MakeDirectory("/etc/ostrel/full");
    sandbox::MountTmpfs("/etc/ostrel/full", 4 * 4096);
    std::string const old = kLocal + std::string(4050, '#') + "\n";
    sandbox::WriteFile("/etc/ostrel/full/hosts", old);
    sandbox::WriteFile("/etc/ostrel/full/filler", std::string(3 * 4096, 'x'));
    sandbox::WriteFile("/etc/hosts", "");
    ASSERT_EQ(0, ::mount("/etc/ostrel/full/hosts", "/etc/hosts", nullptr, MS_BIND, nullptr));
    EXPECT_EQ("Unable to write '/etc/hosts': No space left on device", ErrorOf(AddEntry));
    EXPECT_EQ(old, sandbox::ReadFile("/etc/ostrel/full/hosts"));

    // Unreadable files and link loops.
    MakeSymlink("ostrel/hostctl", "/etc/resolv.conf");
    EXPECT_EQ("Unable to read '/etc/ostrel/hostctl': Is a directory", ErrorOf(AddSearchDomain));
    ASSERT_EQ(0, ::umount2("/etc/hosts", MNT_DETACH));
    MakeSymlink("/etc/hosts", "/etc/hosts");
    EXPECT_EQ("Unable to follow the links of '/etc/hosts': Too many levels of symbolic links",
              ErrorOf(AddEntry));
}

// Two processes editing both files at once: without the edit lock, a replacement made from an
// old read drops the other's entry.
TEST_F(FileReplacementTest, ConcurrentEditorsLoseNoUpdate) {
    sandbox::WriteFile("/etc/hosts", kLocal);
    sandbox::WriteFile("/etc/resolv.conf", kServer);
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
                QuorCtl::Network::HostsFile().AddOrReplaceEntry(
                    "10." + std::to_string(child) + ".0." + std::to_string(i),
                    name(child, i) + ".corp.example", {});
                QuorCtl::Network::DnsConfigImpl config("defaultTcpipStack");
                config.AddSearchDomain(name(child, i) + ".example");
                config.SaveConfig();
            }
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    for (pid_t pid : children) {
        int status = -1;
        for (int wait = 0; wait < 1200 && waitpid(pid, &status, WNOHANG) == 0; ++wait) {
            usleep(100000);
        }
        if (status == -1) ::kill(pid, SIGKILL), waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::string const hosts = sandbox::ReadFile("/etc/hosts");
    std::string const resolv = sandbox::ReadFile("/etc/resolv.conf");
    for (int child = 0; child < 2; ++child) {
        for (int i = 1; i <= 150; ++i) {
            EXPECT_NE(std::string::npos, hosts.find("\t" + name(child, i) + ".corp.example\n"));
            EXPECT_NE(std::string::npos, resolv.find(" " + name(child, i) + ".example"));
        }
    }
    EXPECT_EQ(etc, sandbox::ListDirectory("/etc"));  // no temporary file left behind
    EXPECT_EQ((std::vector<std::string>{"hosts.lock", "resolv.conf.lock"}),
              sandbox::ListDirectory("/etc/ostrel/hostctl"));
}
