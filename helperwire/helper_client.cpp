#include "helper_client.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "child_spawn.h"

extern char** environ;

namespace sambaprovider {

namespace {

ADStatus const kTimedOut = 10060;

// The helper lives beside the plug-in, wherever the plug-in was loaded from.
std::string HelperPath() {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&HelperPath), &info) == 0 || info.dli_fname == nullptr) {
        return "";
    }
    std::string self = info.dli_fname;
    std::size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" +
           kHelperName;
}

long long NowMs() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool SendAll(int fd, std::string const& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// The helper reads its requests from descriptor 3 and answers there.
pid_t StartHelper(std::string const& path, int channel, bool serve) {
    ChildSetup setup;
    setup.channel = channel;
    setup.channelAt = {3};
    char serveOption[] = "--serve";
    char* argv[] = {const_cast<char*>(kHelperName), serve ? serveOption : nullptr, nullptr};
    pid_t pid = -1;
    int error = SpawnChild(path.c_str(), argv, environ, setup, pid);
    if (error != 0) {
        syslog(LOG_ERR, "Samba provider: unable to run '%s': %s", path.c_str(), strerror(error));
        return -1;
    }
    return pid;
}

ADStatus StoppedAtDeadline(int deadlineSeconds, Fields& answer) {
    syslog(LOG_ERR, "Samba provider: the helper did not finish in %d s; stopped", deadlineSeconds);
    answer["error"] = "no answer from the domain controller within " +
                      std::to_string(deadlineSeconds) + " s; the attempt was stopped";
    return kTimedOut;
}

ADStatus RunHelper(Fields const& request, Fields& answer) {
    return RunHelperAt(HelperPath(), request, answer, kHelperDeadlineSeconds);
}

ADStatus RunHelperAt(std::string const& path, Fields const& request, Fields& answer,
                     int deadlineSeconds) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return kHelperFailed;
    pid_t pid = StartHelper(path, sockets[1], false);
    close(sockets[1]);
    if (pid < 0) {
        close(sockets[0]);
        answer["error"] = "the join helper '" + path + "' could not be run";
        return kHelperFailed;
    }
    bool sent = SendAll(sockets[0], EncodeFields(request));
    shutdown(sockets[0], SHUT_WR);
    std::string text;
    bool timedOut = false;
    long long deadline = NowMs() + deadlineSeconds * 1000LL;
    while (sent) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd wait = {sockets[0], POLLIN, 0};
        int ready = poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[4096];
        ssize_t n = read(sockets[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(sockets[0]);
    if (timedOut || !sent) kill(pid, SIGKILL);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) return StoppedAtDeadline(deadlineSeconds, answer);
    Fields fields;
    if (!DecodeFields(text, fields) || fields.count("status") == 0) {
        syslog(LOG_ERR, "Samba provider: the join helper ended without an answer (%s %d)",
               WIFSIGNALED(wstatus) ? "signal" : "exit status",
               WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : WEXITSTATUS(wstatus));
        answer["error"] = "the join helper ended without an answer";
        return kHelperFailed;
    }
    answer = fields;
    return static_cast<ADStatus>(std::strtoul(fields["status"].c_str(), nullptr, 10));
}

}  // namespace sambaprovider
