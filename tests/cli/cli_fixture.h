#ifndef TESTS_CLI_CLI_FIXTURE_H
#define TESTS_CLI_CLI_FIXTURE_H

// The built tslauth command run in the sandbox against the demo directory and its plug-ins.
#include <authentication/exceptions.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "sandbox.h"

inline char const kDirectoryFile[] = "/etc/ostrel/tslauth/demo-directory.conf";
inline char const kPAMFile[] = "/etc/pam.d/system-auth-generic";
inline std::string const kPassword = "Demo-Passw0rd";
inline std::string const kPAMText =
    "auth required /lib/security/$ISA/pam_env.so\n"
    "auth sufficient /lib/security/$ISA/pam_unix.so likeauth nullok\n"
    "account required /lib/security/$ISA/pam_unix.so\n"
    "account required /lib/security/$ISA/pam_access.so\n"
    "session required /lib/security/$ISA/pam_unix.so\n";

struct ToolResult {
    int status = -1;  // the exit status, or 128 + signal
    std::string out, err;
};

// Runs tslauth with the input on a pipe; `started` sees the process first.
inline ToolResult RunTool(std::vector<std::string> arguments, std::string const& input = "",
                          std::function<void(pid_t)> const& started = nullptr) {
    auto output = [](int fd) {
        return sandbox::ScratchDirectory() + "/tool." + std::to_string(fd);
    };
    int pipe[2];
    EXPECT_EQ(0, ::pipe2(pipe, O_CLOEXEC));
    std::vector<char*> argv;
    arguments.insert(arguments.begin(), TSLAUTH_TOOL);
    for (std::string& word : arguments) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t const pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe[0], 0);
        for (int fd : {1, 2})
            ::dup2(::open(output(fd).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), fd);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipe[0]);
    if (started) started(pid);
    if (!input.empty() && ::write(pipe[1], input.data(), input.size()) < 0) ADD_FAILURE();
    ::close(pipe[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            sandbox::ReadFile(output(1)), sandbox::ReadFile(output(2))};
}

inline std::string Error(ostrel::authentication::Exception const& e) {
    return std::string("tslauth: ") + e.what() + "\n";
}

// What a run shows, compared at once: "status|standard output|standard error".
inline std::string Shown(ToolResult const& result) {
    return std::to_string(result.status) + "|" + result.out + "|" + result.err;
}

class CliTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        for (char const* plugin : {DEMO_DIRECTORY_PLUGIN, DEMO_PROXY_PLUGIN}) {
            std::string const name = plugin;
            sandbox::WriteFile("/usr/libexec/tslauth/lib/" + name.substr(name.rfind('/') + 1),
                               sandbox::ReadFile(plugin), 0755);
        }
        sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "provider = demodirectory\n");
        sandbox::WriteFile("/etc/ostrel/tslauth/qapprovider.conf", "provider = demoproxy\n");
        sandbox::WriteFile("/etc/ostrel/tslauth/authentication.conf",
                           "remote-authentication-store = None\n");
        sandbox::WriteFile(kDirectoryFile, sandbox::ReadFile(DEMO_EXAMPLE_DIRECTORY), 0600);
        sandbox::WriteFile(kPAMFile, kPAMText);
    }
    // Replaced by rename as the plug-ins do, so that a waiting query never sees it missing.
    static void EditDirectory(std::string const& from, std::string const& to) {
        std::string text = sandbox::ReadFile(kDirectoryFile);
        text.replace(text.find(from), from.size(), to);
        sandbox::WriteFile(std::string(kDirectoryFile) + ".test", text, 0600);
        ASSERT_EQ(0, ::rename((std::string(kDirectoryFile) + ".test").c_str(), kDirectoryFile));
    }
};

#endif
