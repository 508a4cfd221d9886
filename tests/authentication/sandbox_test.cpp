// The sandbox itself: what tests write stays private, and the stand-ins capture what the
// library would send to the host.
#include "sandbox.h"

#include <syslog.h>
#include <unistd.h>

using SandboxSelfTest = sandbox::SandboxTest;

TEST_F(SandboxSelfTest, WritesStayInsideAndEachTestStartsFresh) {
    EXPECT_EQ(std::vector<std::string>{}, sandbox::ListDirectory("/etc/ostrel/tslauth"));
    EXPECT_EQ(std::vector<std::string>{}, sandbox::ListDirectory("/etc/pam.d"));
    EXPECT_EQ(std::vector<std::string>{"lib"}, sandbox::ListDirectory("/usr/libexec/tslauth"));
    EXPECT_EQ("nameserver 127.0.0.1\n", sandbox::ReadFile("/etc/resolv.conf"));
    char name[256] = {};
    ASSERT_EQ(0, gethostname(name, sizeof name - 1));
    EXPECT_STREQ("sandbox-host", name);

    sandbox::WriteFile("/etc/ostrel/tslauth/marker", "x");
    sandbox::WriteFile("/etc/pam.d/marker", "x");
    // Seen from the first process's mount namespace, the host has none of it.
    if (access("/proc/1/root/etc", R_OK) == 0) {
        EXPECT_FALSE(sandbox::PathExists("/proc/1/root/etc/ostrel/tslauth/marker"));
        EXPECT_FALSE(sandbox::PathExists("/proc/1/root/etc/pam.d/marker"));
    }
}

TEST_F(SandboxSelfTest, LogLinesAndSleepsAreCaptured) {
    syslog(LOG_WARNING, "value %d of %s", 3, "x");
    syslog(LOG_INFO | LOG_AUTH, "info");
    ASSERT_EQ(2u, sandbox::CapturedLog().size());
    EXPECT_EQ(LOG_WARNING, sandbox::CapturedLog()[0].priority);
    EXPECT_EQ("value 3 of x", sandbox::CapturedLog()[0].text);
    EXPECT_EQ(LOG_INFO, sandbox::CapturedLog()[1].priority);
    EXPECT_EQ(0u, sleep(30));
    EXPECT_EQ(std::vector<unsigned>{30}, sandbox::RecordedSleeps());
}
