// The sandbox itself: what tests write stays private, each test starts fresh, and the
// stand-ins capture the log lines and sleeps the library would send to the host.
#include "sandbox.h"

#include <syslog.h>
#include <unistd.h>

using SandboxSelfTest = sandbox::SandboxTest;

TEST_F(SandboxSelfTest, WritesStayInsideAndStandInsCapture) {
    EXPECT_EQ(std::vector<std::string>{}, sandbox::ListDirectory("/etc/ostrel/tslauth"));
    EXPECT_EQ(std::vector<std::string>{}, sandbox::ListDirectory("/etc/pam.d"));
    sandbox::WriteFile("/etc/pam.d/marker", "x");
    // Seen from the first process's mount namespace, the host has none of it.
    if (access("/proc/1/root/etc", R_OK) == 0) {
        EXPECT_FALSE(sandbox::PathExists("/proc/1/root/etc/pam.d/marker"));
    }
    syslog(LOG_WARNING, "value %d of %s", 3, "x");
    ASSERT_EQ(1u, sandbox::CapturedLog().size());
    EXPECT_EQ(LOG_WARNING, sandbox::CapturedLog()[0].priority);
    EXPECT_EQ("value 3 of x", sandbox::CapturedLog()[0].text);
    EXPECT_EQ(0u, sleep(30));
    EXPECT_EQ(std::vector<unsigned>{30}, sandbox::RecordedSleeps());
}
