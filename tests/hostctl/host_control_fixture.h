#ifndef TESTS_HOSTCTL_HOST_CONTROL_FIXTURE_H
#define TESTS_HOSTCTL_HOST_CONTROL_FIXTURE_H

#include <hostctl/hostctl_exception.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "sandbox.h"

// The sandbox plus /etc/ostrel/hostctl and veth pairs made in the test's own network
// namespace, removed again at the end of the test.
class HostControlTest : public sandbox::SandboxTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A veth pair, both ends up, `name` carrying `address` ("a.b.c.d/len") when not empty.
    void AddVeth(std::string const& name, std::string const& peer, std::string const& address);

    // Runs a command (ip(8)) and fails the test when it does not succeed.
    static void Run(std::string const& command);

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

ino_t InodeOf(std::string const& path);
void MakeSymlink(std::string const& target, std::string const& link);
std::string LinkTarget(std::string const& link);

#endif
