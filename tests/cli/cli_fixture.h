#ifndef TESTS_CLI_CLI_FIXTURE_H
#define TESTS_CLI_CLI_FIXTURE_H

// The built tslauth command run as a child process in the sandbox, against the demo
// directory's plug-ins and the example directory file.
#include <sys/types.h>

#include <string>
#include <vector>

#include "sandbox.h"

inline char const kDirectoryFile[] = "/etc/ostrel/tslauth/demo-directory.conf";
inline char const kPAMFile[] = "/etc/pam.d/system-auth-generic";
inline char const kPassword[] = "Demo-Passw0rd";

inline std::string const kPAMText =
    "auth required /lib/security/$ISA/pam_env.so\n"
    "auth sufficient /lib/security/$ISA/pam_unix.so likeauth nullok\n"
    "account required /lib/security/$ISA/pam_unix.so\n"
    "account required /lib/security/$ISA/pam_access.so\n"
    "session required /lib/security/$ISA/pam_unix.so\n";

// What a finished run left behind.
struct ToolResult {
    int status = -1;  // the exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A running tslauth with its standard input open; Finish closes the input and collects.
class ToolProcess {
public:
    explicit ToolProcess(std::vector<std::string> const& arguments);
    ~ToolProcess();
    pid_t Pid() const { return pid; }
    ToolResult Finish(std::string const& input = "");

private:
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

ToolResult RunTool(std::vector<std::string> const& arguments, std::string const& input = "");

class CliTest : public sandbox::SandboxTest {
protected:
    void SetUp() override;
    // The directory file with its "unresponsive" switch set.
    static void SetUnresponsive(bool unresponsive);
};

#endif
