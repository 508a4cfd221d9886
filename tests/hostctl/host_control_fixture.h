#ifndef TESTS_HOSTCTL_HOST_CONTROL_FIXTURE_H
#define TESTS_HOSTCTL_HOST_CONTROL_FIXTURE_H

#include <hostctl/hostctl_exception.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "sandbox.h"

// The sandbox plus /etc/ostrel/hostctl and veth pairs made in the test's own network
// namespace, removed again at the end of the test.
class HostControlTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        sandbox::MakeDirectory("/etc/ostrel/hostctl");
    }
    void TearDown() override {
        for (std::string const& name : veths) Run("ip link del " + name);  // and its peer
        SandboxTest::TearDown();
    }
    // A veth pair, both ends up, `name` carrying `address` ("a.b.c.d/len") when not empty.
    void AddVeth(std::string const& name, std::string const& address) {
        Run("ip link add " + name + " type veth peer name " + name + "p");
        veths.push_back(name);
        if (!address.empty()) Run("ip addr add " + address + " dev " + name);
        Run("ip link set " + name + " up && ip link set " + name + "p up");
    }
    static void Run(std::string const& command) {
        ASSERT_EQ(0, std::system(command.c_str())) << command;
    }

private:
    std::vector<std::string> veths;
};

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

inline ino_t InodeOf(std::string const& path) {
    struct stat info = {};
    EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
    return info.st_ino;
}

inline void MakeSymlink(std::string const& target, std::string const& link) {
    ::unlink(link.c_str());
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str())) << link;
}

inline std::string LinkTarget(std::string const& link) {
    char buffer[PATH_MAX];
    ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    return length < 0 ? std::string("(not a link)") : std::string(buffer, length);
}

#endif
