#ifndef TESTS_SUPPORT_PRIVATE_HOST_H
#define TESTS_SUPPORT_PRIVATE_HOST_H

// The private host that the tests, the fuzz targets, the benchmarks and the tours (through
// sandbox-run) run in: private namespaces, a scratch tmpfs, and overlays over the fixed paths
// the library uses, so nothing under the real /etc, /usr or /dev is ever created, changed or
// deleted. No GoogleTest here: the fuzz targets link it too.

#include <sys/types.h>

#include <string>
#include <vector>

namespace sandbox {

// Enters private mount, UTS and network namespaces (and a user namespace when the process
// is not root), brings the loopback up and mounts a private scratch tmpfs. Exits the process
// when any step fails, so that nothing can run against the real host. Call first in main,
// while the process has a single thread.
void EnterSandbox();

// The private scratch directory (a tmpfs) of this process.
std::string const& ScratchDirectory();

// Fresh overlays over /etc and /usr/libexec backed by the scratch tmpfs, an empty
// /etc/ostrel/tslauth, /etc/pam.d and /usr/libexec/tslauth/lib, a hosts file and resolver
// configuration that never reach off the machine, and the given host name. One at a time;
// UnmountPrivateHost takes every mount made below /etc and /usr/libexec since.
void MountPrivateHost(std::string const& hostName = "sandbox-host");
void UnmountPrivateHost();

// Called with the message of every failing helper below before it throws
// std::runtime_error (the test fixture reports it as a test failure, a fuzz target aborts).
void SetFailureHandler(void (*handler)(std::string const& what));

void WriteFile(std::string const& path, std::string const& content, mode_t mode = 0644);
std::string ReadFile(std::string const& path);
bool PathExists(std::string const& path);
mode_t FileMode(std::string const& path);                              // permission bits only
std::vector<std::string> ListDirectory(std::string const& directory);  // sorted, no dot entries
void MakeDirectory(std::string const& path, mode_t mode = 0755);

// Mounts a fresh tmpfs of the given size over an existing directory of the private host.
void MountTmpfs(std::string const& directory, unsigned long bytes);
// Mounts an overlay over an existing directory of the private host in which the files already
// there keep their content but show inode numbers beyond 32 bits (xino=on), as files on
// large file systems do.
void MountOverlayWithLargeInodes(std::string const& directory);
// Makes an existing mount point of the private host read-only.
void RemountReadOnly(std::string const& directory);

void SetHostName(std::string const& name);

// The stand-ins for syslog(3), sleep(3) and pthread_create(3) (interpose.cpp), in programs
// that link them and export their symbols. One line the code under test sent to the log:
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

}  // namespace sandbox

#endif
