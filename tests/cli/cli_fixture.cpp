#include "cli_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

ToolProcess::ToolProcess(std::vector<std::string> const& arguments) {
    int pipes[3][2];
    for (auto& p : pipes) {
        if (pipe2(p, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    }
    std::vector<char*> argv;
    std::string tool = TSLAUTH_TOOL;
    argv.push_back(&tool[0]);
    std::vector<std::string> copies(arguments);
    for (std::string& word : copies) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        dup2(pipes[0][0], 0);
        dup2(pipes[1][1], 1);
        dup2(pipes[2][1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipes[0][0]);
    close(pipes[1][1]);
    close(pipes[2][1]);
    in = pipes[0][1];
    out = pipes[1][0];
    err = pipes[2][0];
}

ToolProcess::~ToolProcess() {
    if (pid > 0) Finish();
}

ToolResult ToolProcess::Finish(std::string const& input) {
    ToolResult result;
    if (!input.empty() && write(in, input.data(), input.size()) < 0) ADD_FAILURE() << "write";
    close(in);
    struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t const count = read(fds[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(count));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ToolResult RunTool(std::vector<std::string> const& arguments, std::string const& input) {
    return ToolProcess(arguments).Finish(input);
}

void CliTest::SetUp() {
    sandbox::SandboxTest::SetUp();
    sandbox::WriteFile("/usr/libexec/tslauth/lib/libdemodirectory.so",
                       sandbox::ReadFile(DEMO_DIRECTORY_PLUGIN), 0755);
    sandbox::WriteFile("/usr/libexec/tslauth/lib/libdemoproxy.so",
                       sandbox::ReadFile(DEMO_PROXY_PLUGIN), 0755);
    sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "provider = demodirectory\n");
    sandbox::WriteFile("/etc/ostrel/tslauth/qapprovider.conf", "provider = demoproxy\n");
    sandbox::WriteFile("/etc/ostrel/tslauth/authentication.conf",
                       "remote-authentication-store = None\n");
    sandbox::WriteFile(kDirectoryFile, sandbox::ReadFile(DEMO_EXAMPLE_DIRECTORY), 0600);
    sandbox::WriteFile(kPAMFile, kPAMText);
}

void CliTest::SetUnresponsive(bool unresponsive) {
    std::string text = sandbox::ReadFile(kDirectoryFile);
    std::string const from = unresponsive ? "unresponsive = no" : "unresponsive = yes";
    text.replace(text.find(from), from.size(),
                 unresponsive ? "unresponsive = yes" : "unresponsive = no");
    // Replaced by rename, as the plug-ins do, so that a waiting query never sees it missing.
    std::string const temporary = std::string(kDirectoryFile) + ".test";
    sandbox::WriteFile(temporary, text, 0600);
    ASSERT_EQ(0, std::rename(temporary.c_str(), kDirectoryFile));
}
