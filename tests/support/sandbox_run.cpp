// sandbox-run [--host NAME] -- COMMAND [ARGUMENT...]: COMMAND in the private host of
// private_host.h, its scratch tmpfs in $SANDBOX_SCRATCH; exits with COMMAND's status.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "private_host.h"

int main(int argc, char** argv) {
    std::string host = "sandbox-host";
    int first = 1;
    if (first + 1 < argc && std::strcmp(argv[first], "--host") == 0) {
        host = argv[first + 1];
        first += 2;
    }
    if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
    if (first >= argc) {
        std::fprintf(stderr, "usage: sandbox-run [--host NAME] -- COMMAND [ARGUMENT...]\n");
        return 2;
    }
    sandbox::EnterSandbox();
    try {
        sandbox::MountPrivateHost(host);
    } catch (std::exception const& e) {
        std::fprintf(stderr, "sandbox-run: %s\n", e.what());
        return 1;
    }
    setenv("SANDBOX_SCRATCH", sandbox::ScratchDirectory().c_str(), 1);
    // A child runs the command, so that this process removes the scratch mount point after it.
    pid_t const child = fork();
    if (child < 0) {
        std::perror("sandbox-run: fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[first], argv + first);
        std::fprintf(stderr, "sandbox-run: %s: %s\n", argv[first], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    sandbox::UnmountPrivateHost();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
