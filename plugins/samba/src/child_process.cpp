#include "child_process.h"

#include <child_spawn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sambaprovider {

namespace {

long long NowMs() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// What the host's service manager gives the services it starts, whatever the calling program
// has in its environment.
char* kEnvironment[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                        const_cast<char*>("LANG=C"), nullptr};

void Append(std::string& output, char const* data, std::size_t size, std::size_t limit) {
    if (output.size() < limit) output.append(data, std::min(size, limit - output.size()));
}

}  // namespace

std::string ChildResult::Describe() const {
    std::string text;
    if (!ran) {
        text = "could not be started";
    } else if (timedOut) {
        text = "did not finish in time and was killed";
    } else if (exitStatus < 0) {
        text = "ended by a signal";
    } else {
        text = "exit status " + std::to_string(exitStatus);
    }
    std::string shown = output;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == ' ')) shown.pop_back();
    for (char& c : shown) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    return shown.empty() ? text : text + ": " + shown;
}

ChildResult RunChild(std::vector<std::string> const& argv, int deadlineMs, std::size_t maxOutput) {
    ChildResult result;
    if (argv.empty()) return result;
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return result;
    std::vector<char*> args;
    for (std::string const& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    ChildSetup setup;
    setup.channel = channel[1];
    setup.channelAt = {1, 2};
    setup.directory = "/";
    setup.ownProcessGroup = true;
    pid_t pid = -1;
    int error = SpawnChild(args[0], args.data(), kEnvironment, setup, pid);
    close(channel[1]);
    if (error != 0) {
        close(channel[0]);
        result.output = std::strerror(error);
        return result;
    }
    result.ran = true;
    fcntl(channel[0], F_SETFL, O_NONBLOCK);

    long long const deadline = NowMs() + deadlineMs;
    bool open = true;
    int wstatus = 0;
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) break;
        long long const left = deadline - NowMs();
        if (left <= 0) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        // The output is read as it comes (a full pipe would stall the child); its end is
        // not awaited, since a daemon the child started may hold it open.
        int const slice = static_cast<int>(left < 50 ? left : 50);
        if (open) {
            pollfd wait = {channel[0], POLLIN, 0};
            if (poll(&wait, 1, slice) > 0) {
                char buffer[1024];
                ssize_t n = read(channel[0], buffer, sizeof buffer);
                if (n > 0) {
                    Append(result.output, buffer, static_cast<std::size_t>(n), maxOutput);
                } else if (n == 0) {
                    open = false;
                }
            }
        } else {
            timespec pause = {0, slice * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    // What the child wrote before it ended (bounded: a daemon may go on writing).
    char buffer[1024];
    ssize_t n;
    for (int i = 0; open && i < 64 && (n = read(channel[0], buffer, sizeof buffer)) > 0; ++i) {
        Append(result.output, buffer, static_cast<std::size_t>(n), maxOutput);
    }
    close(channel[0]);
    if (!result.timedOut && WIFEXITED(wstatus)) result.exitStatus = WEXITSTATUS(wstatus);
    return result;
}

}  // namespace sambaprovider
