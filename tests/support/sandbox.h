#ifndef TESTS_SUPPORT_SANDBOX_H
#define TESTS_SUPPORT_SANDBOX_H

// Every test runs inside private namespaces with private copies of the fixed paths the
// library uses, so nothing under the real /etc, /usr or /dev is ever created, changed or
// deleted. See EnterSandbox and SandboxTest.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace sandbox {

// Enters private mount, UTS and network namespaces (and a user namespace when the process
// is not root) and mounts a private scratch tmpfs. Exits the process when any step fails, so
// that no test can run against the real host. Called by the test main before any test.
void EnterSandbox();

// The private scratch directory (a tmpfs) of this process.
std::string const& ScratchDirectory();

// One line the code under test sent to the system log.
struct LogLine {
    int priority;  // LOG_PRI of what was passed: 4 warning, 6 informational, ...
    std::string text;
};
std::vector<LogLine> CapturedLog();
void ClearCapturedLog();

// Calls of sleep(3): recorded and returned from at once.
std::vector<unsigned> RecordedSleeps();
void ClearRecordedSleeps();

// Makes the next pthread_create in the process fail with rc, once.
void FailNextThreadCreation(int rc);

// A fixture giving each test fresh overlays over /etc and /usr/libexec backed by a private
// tmpfs, an empty /etc/ostrel/tslauth, /etc/pam.d and /usr/libexec/tslauth/lib, a hosts
// file and resolver configuration that never reach off the machine, and the host name
// "sandbox-host". The captured log and recorded sleeps start empty.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Test-side file helpers; they fail the test (and throw) on any error.
void WriteFile(std::string const& path, std::string const& content, mode_t mode = 0644);
std::string ReadFile(std::string const& path);
bool PathExists(std::string const& path);
mode_t FileMode(std::string const& path);                              // permission bits only
std::vector<std::string> ListDirectory(std::string const& directory);  // sorted, no dot entries
void MakeDirectory(std::string const& path, mode_t mode = 0755);

// Mounts a fresh tmpfs of the given size over an existing directory of the sandbox; it is
// removed with the test's overlays.
void MountTmpfs(std::string const& directory, unsigned long bytes);
// Mounts an overlay over an existing directory of the sandbox in which the files already
// there keep their content but show inode numbers beyond 32 bits (xino=on), as files on
// large file systems do; it is removed with the test's overlays.
void MountOverlayWithLargeInodes(std::string const& directory);
// Makes an existing mount point of the sandbox read-only.
void RemountReadOnly(std::string const& directory);

void SetHostName(std::string const& name);

}  // namespace sandbox

#endif
