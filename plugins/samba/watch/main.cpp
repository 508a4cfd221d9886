// tslauth-dc-watch: tells winbindd when the domain's DCs stop answering and when they answer
// again.
//
// winbindd alone waits for a DC that stopped answering for up to a minute per request, and
// once it has gone offline it stays so until something asks it to try again. This service
// asks each DC of the member's configuration (`password server` in smb.conf) for its root
// entry over LDAP every second, with a deadline of one second; after two rounds in which no
// DC answered it sends winbindd "offline" (cached logins are then answered at once), and at
// the first answer after a failed round it sends "online". Every switch goes to the system
// log. The process supervises itself: a worker that dies is started again after a pause.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "child_process.h"
#include "member_config.h"

using namespace sambaprovider;

namespace {

struct Settings {
    int intervalMs = 1000;  // one round per interval
    int timeoutMs = 1000;   // for each round's probes together
    int failures = 2;       // rounds without an answer before winbindd is sent offline
    int port = 389;
};

struct Target {
    std::string name;  // as the configuration names it
    sockaddr_storage address = {};
    socklen_t length = 0;
};

volatile sig_atomic_t stopping = 0;
volatile sig_atomic_t workerPid = 0;  // in the supervising process
void OnStop(int) {
    stopping = 1;
    if (workerPid > 0) kill(workerPid, SIGTERM);
}

long long NowMs() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void PauseMs(long long ms) {
    if (ms <= 0) return;
    timespec pause = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// The DCs of the configuration. Addresses are taken as they are; names are resolved here,
// once per reading of the configuration.
std::vector<Target> LoadTargets(Settings const& settings) {
    std::vector<Target> targets;
    MemberConfig config;
    try {
        config = ReadMemberConfig();
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "%s", error.what());
        return targets;
    }
    std::vector<std::string> names = config.passwordServers;
    names.insert(names.end(), config.domainControllers.begin(), config.domainControllers.end());
    for (std::string const& name : names) {
        addrinfo hints = {};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
        addrinfo* found = nullptr;
        std::string const port = std::to_string(settings.port);
        int const error = getaddrinfo(name.c_str(), port.c_str(), &hints, &found);
        if (error != 0) {
            syslog(LOG_WARNING, "cannot resolve the domain controller %s: %s", name.c_str(),
                   gai_strerror(error));
            continue;
        }
        for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
            Target target;
            target.name = name;
            std::memcpy(&target.address, a->ai_addr, a->ai_addrlen);
            target.length = a->ai_addrlen;
            targets.push_back(target);
        }
        freeaddrinfo(found);
    }
    return targets;
}

// An LDAP search of the root entry (base "", scope base, filter (objectClass=*), no
// attributes): any DC answers it without a bind.
unsigned char const kRootSearch[] = {0x30, 0x25, 0x02, 0x01, 0x01, 0x63, 0x20, 0x04, 0x00, 0x0a,
                                     0x01, 0x00, 0x0a, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01,
                                     0x00, 0x01, 0x01, 0x00, 0x87, 0x0b, 'o',  'b',  'j',  'e',
                                     'c',  't',  'C',  'l',  'a',  's',  's',  0x30, 0x00};

// Asks every target at once; the name of the first that answers, or "" when none did
// before the deadline. A DC whose processes are stopped still completes the TCP handshake
// (the kernel does), so an answer to a request is what counts, not the connection.
std::string ProbeRound(std::vector<Target> const& targets, int timeoutMs) {
    struct Probe {
        int fd = -1;
        bool sent = false;
        std::string const* name = nullptr;
    };
    std::vector<Probe> probes;
    for (Target const& target : targets) {
        int fd = socket(target.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (connect(fd, reinterpret_cast<sockaddr const*>(&target.address), target.length) != 0 &&
            errno != EINPROGRESS) {
            close(fd);
            continue;
        }
        Probe probe;
        probe.fd = fd;
        probe.name = &target.name;
        probes.push_back(probe);
    }
    std::string answered;
    long long const deadline = NowMs() + timeoutMs;
    while (answered.empty() && !stopping) {
        std::vector<pollfd> waits;
        std::vector<Probe*> of;
        for (Probe& probe : probes) {
            if (probe.fd < 0) continue;
            waits.push_back({probe.fd, static_cast<short>(probe.sent ? POLLIN : POLLOUT), 0});
            of.push_back(&probe);
        }
        long long const left = deadline - NowMs();
        if (waits.empty() || left <= 0) break;
        int const ready = poll(waits.data(), waits.size(), static_cast<int>(left));
        if (ready < 0 && errno != EINTR) break;
        for (std::size_t i = 0; ready > 0 && i < waits.size(); ++i) {
            Probe& probe = *of[i];
            if (waits[i].revents == 0) continue;
            bool failed = (waits[i].revents & (POLLERR | POLLNVAL)) != 0;
            if (!failed && !probe.sent) {
                int error = 0;
                socklen_t size = sizeof error;
                failed = getsockopt(probe.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
                         error != 0 ||
                         send(probe.fd, kRootSearch, sizeof kRootSearch, MSG_NOSIGNAL) !=
                             static_cast<ssize_t>(sizeof kRootSearch);
                probe.sent = !failed;
            } else if (!failed) {
                unsigned char reply[64];
                ssize_t const n = recv(probe.fd, reply, sizeof reply, 0);
                if (n > 0 && reply[0] == 0x30) {
                    answered = *probe.name;
                } else if (!(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                    failed = true;
                }
            }
            if (failed) {
                close(probe.fd);
                probe.fd = -1;
            }
        }
    }
    for (Probe& probe : probes) {
        if (probe.fd >= 0) close(probe.fd);
    }
    return answered;
}

// The lines of `net cache search PATTERN` ("Key: KEY\t Timeout: ...\t Value: VALUE"): the
// keys, or the values.
std::vector<std::string> CacheSearch(char const* pattern, bool values) {
    std::vector<std::string> found;
    ChildResult const result =
        RunChild({"/usr/bin/net", "cache", "search", pattern}, 5000, 64 * 1024);
    std::size_t start = 0;
    while (start < result.output.size()) {
        std::size_t end = result.output.find('\n', start);
        if (end == std::string::npos) end = result.output.size();
        std::string const line = result.output.substr(start, end - start);
        start = end + 1;
        char const* tag = values ? "Value: " : "Key: ";
        std::size_t at = line.find(tag);
        if (at == std::string::npos) continue;
        at += std::strlen(tag);
        std::size_t stop = line.find_first_of(values ? " \t" : "\t", at);
        std::string const item = line.substr(at, stop == std::string::npos ? stop : stop - at);
        if (!item.empty()) found.push_back(item);
    }
    return found;
}

// winbindd, once offline, still tries each DC it knows of for every name it has never seen
// (two CLDAP pings of 6 s each: a user who never logged in waits 13 s to be refused). It skips
// a DC its negative connection cache names, which it fills itself for 60 s after such a
// failure: the cache is filled here for every DC of the domain, under each of the domain's
// names, when the DCs stop answering (and again while they do not answer).
void MarkDomainControllersDown(std::vector<Target> const& targets) {
    MemberConfig config;
    try {
        config = ReadMemberConfig();
    } catch (std::exception const&) {
        return;
    }
    if (!config.IsMember()) return;
    std::vector<std::string> servers = CacheSearch("SAF/*", true);
    for (Target const& target : targets) servers.push_back(target.name);
    char address[INET6_ADDRSTRLEN];
    for (Target const& target : targets) {
        void const* raw =
            target.address.ss_family == AF_INET
                ? static_cast<void const*>(
                      &reinterpret_cast<sockaddr_in const*>(&target.address)->sin_addr)
                : static_cast<void const*>(
                      &reinterpret_cast<sockaddr_in6 const*>(&target.address)->sin6_addr);
        if (inet_ntop(target.address.ss_family, raw, address, sizeof address) != nullptr) {
            servers.push_back(address);
        }
    }
    std::sort(servers.begin(), servers.end());
    servers.erase(std::unique(servers.begin(), servers.end()), servers.end());
    for (std::string const& domain : {config.workgroup, config.DnsDomain(), config.realm}) {
        for (std::string const& server : servers) {
            // NT_STATUS_IO_TIMEOUT, for 60 s.
            RunChild({"/usr/bin/net", "cache", "add", "NEG_CONN_CACHE/" + domain + "," + server,
                      "c00000b5", "+60"},
                     5000);
        }
    }
}

// A DC whose processes stopped keeps its TCP connections open (the kernel answers for it), and
// winbindd's next call on one waits 10 s, fixed, whatever it was told: the connections to the
// DCs' directory ports (SMB, LDAP, Kerberos, RPC) are closed here when the DCs stop answering.
void CloseConnections(std::vector<Target> const& targets) {
    char address[INET6_ADDRSTRLEN];
    for (Target const& target : targets) {
        bool const v4 = target.address.ss_family == AF_INET;
        void const* raw =
            v4 ? static_cast<void const*>(
                     &reinterpret_cast<sockaddr_in const*>(&target.address)->sin_addr)
               : static_cast<void const*>(
                     &reinterpret_cast<sockaddr_in6 const*>(&target.address)->sin6_addr);
        if (inet_ntop(target.address.ss_family, raw, address, sizeof address) == nullptr) continue;
        std::string const host = v4 ? std::string(address) : "[" + std::string(address) + "]";
        ChildResult const result =
            RunChild({"/usr/bin/ss", "-K",    "-t", "-n",    "dst", host,     "(",  "dport",
                      "=",           ":445",  "or", "dport", "=",   ":389",   "or", "dport",
                      "=",           ":88",   "or", "dport", "=",   ":135",   "or", "dport",
                      "=",           ":3268", "or", "dport", ">=",  ":49152", ")"},
                     5000);
        if (!result.Succeeded()) {
            syslog(LOG_WARNING, "closing the connections to %s: %s", address,
                   result.Describe().c_str());
        }
    }
}

// Before winbindd is sent online: what it remembers of the failed connections goes (it would
// refuse a user who never logged in for up to a minute more).
void ForgetDomainControllersDown() {
    for (std::string const& key : CacheSearch("NEG_CONN_CACHE/*", false)) {
        RunChild({"/usr/bin/net", "cache", "del", key}, 5000);
    }
}

bool TellWinbindd(char const* state) {
    ChildResult const result = RunChild({"/usr/bin/smbcontrol", "winbindd", state}, 5000);
    if (!result.Succeeded()) {
        syslog(LOG_WARNING, "smbcontrol winbindd %s: %s", state, result.Describe().c_str());
    }
    return result.Succeeded();
}

long long ConfigStamp() {
    struct stat info;
    if (stat(kSambaConfig, &info) != 0) return 0;
    return info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec + info.st_ino;
}

int Watch(Settings const& settings) {
    long long stamp = ConfigStamp();
    std::vector<Target> targets = LoadTargets(settings);
    std::string shown;
    for (Target const& target : targets) shown += " " + target.name;
    syslog(LOG_INFO, "watching the domain controllers:%s", shown.empty() ? " none" : shown.c_str());
    int failed = 0;
    bool offline = false;
    while (!stopping) {
        long long const start = NowMs();
        if (ConfigStamp() != stamp) {
            stamp = ConfigStamp();
            targets = LoadTargets(settings);
            shown.clear();
            for (Target const& target : targets) shown += " " + target.name;
            syslog(LOG_INFO, "the configuration changed; watching:%s",
                   shown.empty() ? " none" : shown.c_str());
        }
        if (!targets.empty()) {
            std::string const answered = ProbeRound(targets, settings.timeoutMs);
            if (stopping) break;
            if (!answered.empty()) {
                // After any round without an answer: winbindd may have gone offline itself,
                // and it does not try again on its own.
                if (failed > 0) ForgetDomainControllersDown();
                if (failed > 0 && TellWinbindd("online")) {
                    if (offline) {
                        syslog(LOG_NOTICE,
                               "domain controller %s answers again: winbindd switched online",
                               answered.c_str());
                    }
                    offline = false;
                }
                if (!offline) failed = 0;
            } else if (++failed >= settings.failures && !offline) {
                MarkDomainControllersDown(targets);
                CloseConnections(targets);
                if (TellWinbindd("offline")) {
                    offline = true;
                    syslog(LOG_NOTICE,
                           "no domain controller answered for %d rounds: winbindd switched "
                           "offline (cached logins)",
                           failed);
                }
            } else if (offline && failed % 20 == 0) {
                MarkDomainControllersDown(targets);  // before the 60 s run out
            }
        }
        PauseMs(start + settings.intervalMs - NowMs());
    }
    return 0;
}

// Starts the worker again when it dies; passes a stop on to it.
int Supervise(Settings const& settings) {
    while (!stopping) {
        pid_t const worker = fork();
        if (worker < 0) {
            syslog(LOG_ERR, "cannot start the worker: %s", std::strerror(errno));
            PauseMs(5000);
            continue;
        }
        if (worker == 0) {
            workerPid = 0;
            _exit(Watch(settings));
        }
        workerPid = worker;
        if (stopping) kill(worker, SIGTERM);  // a stop that came before the line above
        int status = 0;
        while (waitpid(worker, &status, 0) < 0 && errno == EINTR) {
        }
        workerPid = 0;
        if (stopping) break;
        syslog(LOG_ERR, "the worker ended (%s %d); starting it again in 1 s",
               WIFSIGNALED(status) ? "signal" : "exit status",
               WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        PauseMs(1000);
    }
    return 0;
}

bool Number(char const* text, int low, int high, int& value) {
    char* end = nullptr;
    long const parsed = text != nullptr ? std::strtol(text, &end, 10) : 0;
    if (text == nullptr || *end != '\0' || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        std::string const option = argv[i];
        char const* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = false;
        if (option == "--interval-ms") ok = Number(value, 100, 60000, settings.intervalMs);
        if (option == "--timeout-ms") ok = Number(value, 100, 60000, settings.timeoutMs);
        if (option == "--failures") ok = Number(value, 1, 100, settings.failures);
        if (!ok) {
            std::fprintf(stderr,
                         "usage: tslauth-dc-watch [--interval-ms N] [--timeout-ms N] "
                         "[--failures N]\n");
            return 2;
        }
        ++i;
    }
    openlog("tslauth-dc-watch", LOG_PID, LOG_DAEMON);
    struct sigaction stop = {};
    stop.sa_handler = OnStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return Supervise(settings);
}
