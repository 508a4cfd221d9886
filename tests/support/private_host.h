#ifndef TESTS_SUPPORT_PRIVATE_HOST_H
#define TESTS_SUPPORT_PRIVATE_HOST_H

// The private host of the tests, fuzz targets, benchmarks and tours (sandbox-run): nothing under
// the real /etc, /usr or /dev changes. No GoogleTest here: the fuzz targets link it too.
#include <sys/types.h>

#include <string>
#include <vector>

namespace sandbox {

// Private namespaces (a user namespace when not root), loopback up, a scratch tmpfs; exits the
// process when a step fails. First in main, while single-threaded.
void EnterSandbox();
std::string const& ScratchDirectory();

// Fresh overlays over /etc and /usr/libexec, empty library directories, a local-only hosts file
// and resolver. UnmountPrivateHost takes every mount made below /etc and /usr/libexec since.
void MountPrivateHost(std::string const& hostName = "sandbox-host");
void UnmountPrivateHost();

// Told the message of every failing helper below before it throws std::runtime_error.
void SetFailureHandler(void (*handler)(std::string const& what));

void WriteFile(std::string const& path, std::string const& content, mode_t mode = 0644);
std::string ReadFile(std::string const& path);
bool PathExists(std::string const& path);
mode_t FileMode(std::string const& path);                              // permission bits only
std::vector<std::string> ListDirectory(std::string const& directory);  // sorted, no dot entries
void MakeDirectory(std::string const& path, mode_t mode = 0755);
void MountTmpfs(std::string const& directory, unsigned long bytes);
// Files already there keep their content but show inode numbers beyond 32 bits (xino=on).
void MountOverlayWithLargeInodes(std::string const& directory);
void RemountReadOnly(std::string const& directory);
void SetHostName(std::string const& name);

// libquorctl's management interface: the veth "mgmt0" up with 192.0.2.10/24, named in
// /etc/ostrel/hostctl/management-interface; deleted with its peer when the object goes.
struct ManagementInterface {
    ManagementInterface();
    ~ManagementInterface();
    ManagementInterface(ManagementInterface const&) = delete;
    ManagementInterface& operator=(ManagementInterface const&) = delete;
};

// The stand-ins for syslog(3), sleep(3) and pthread_create(3) of interpose.cpp.
struct LogLine {
    int priority;  // LOG_PRI of what was passed: 4 warning, 6 informational, ...
    std::string text;
};
std::vector<LogLine> CapturedLog();
void ClearCapturedLog();
std::vector<unsigned> RecordedSleeps();  // returned from at once
void ClearRecordedSleeps();
void FailNextThreadCreation(int rc);  // the next one in the process, once

}  // namespace sandbox

#endif
