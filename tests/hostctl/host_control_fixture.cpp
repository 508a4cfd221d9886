#include "host_control_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

void HostControlTest::SetUp() {
    SandboxTest::SetUp();
    sandbox::MakeDirectory("/etc/ostrel/hostctl");
}

void HostControlTest::TearDown() {
    // Deleting one end of a pair deletes both.
    for (std::string const& name : veths) Run("ip link del " + name);
    SandboxTest::TearDown();
}

void HostControlTest::AddVeth(std::string const& name, std::string const& peer,
                              std::string const& address) {
    Run("ip link add " + name + " type veth peer name " + peer);
    veths.push_back(name);
    if (!address.empty()) Run("ip addr add " + address + " dev " + name);
    Run("ip link set " + name + " up");
    Run("ip link set " + peer + " up");
}

void HostControlTest::Run(std::string const& command) {
    int status = std::system(command.c_str());
    ASSERT_EQ(0, status) << command;
}

ino_t InodeOf(std::string const& path) {
    struct stat info;
    EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
    return info.st_ino;
}

void MakeSymlink(std::string const& target, std::string const& link) {
    ::unlink(link.c_str());
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str())) << link;
}

std::string LinkTarget(std::string const& link) {
    char buffer[PATH_MAX];
    ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    return length < 0 ? std::string("(not a link)") : std::string(buffer, length);
}
