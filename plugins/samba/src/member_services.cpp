#include "member_services.h"

#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "host_changes.h"
#include "statuses.h"

namespace sambaprovider {

namespace {

struct Service {
    char const* name;     // the init script's and the systemd unit's name
    char const* pidFile;  // where the running daemon's PID is
    bool required;        // a join fails without it
};

Service const kServices[] = {
    {"winbind", "/run/samba/winbindd.pid", true},
    {kWatchService, "/run/tslauth-dc-watch.pid", false},
};

int const kManagerDeadlineMs = 90 * 1000;  // systemctl waits for the start job
int const kScriptDeadlineMs = 30 * 1000;
int const kStopWaitMs = 15 * 1000;
int const kCheckDeadlineMs = 15 * 1000;

long long NowMs() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void PauseMs(long ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// As sd_booted(3): systemd is the service manager when it keeps this directory.
bool SystemdRuns() {
    struct stat info;
    return lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

std::string InitScript(Service const& service) {
    return std::string("/etc/init.d/") + service.name;
}

bool Installed(Service const& service, bool systemd) {
    if (!systemd) return access(InitScript(service).c_str(), X_OK) == 0;
    for (char const* directory : {"/etc/systemd/system/", "/lib/systemd/system/",
                                  "/usr/lib/systemd/system/", "/run/systemd/system/"}) {
        if (access((std::string(directory) + service.name + ".service").c_str(), F_OK) == 0) {
            return true;
        }
    }
    return false;
}

// Runs one step; false, with a log line naming the step and the program's answer, on failure.
bool Step(std::vector<std::string> const& argv, int deadlineMs, char const* what,
          Service const& service) {
    ChildResult const result = RunChild(argv, deadlineMs);
    if (result.Succeeded()) return true;
    syslog(LOG_WARNING, "Samba provider: %s %s failed: %s %s", what, service.name, argv[0].c_str(),
           result.Describe().c_str());
    return false;
}

bool Check(std::vector<std::string> const& argv) {
    return RunChild(argv, kScriptDeadlineMs).Succeeded();
}

bool Enabled(Service const& service, bool systemd) {
    if (systemd) {
        return Check({"/usr/bin/systemctl", "is-enabled", "--quiet",
                      std::string(service.name) + ".service"});
    }
    glob_t found = {};
    std::string const pattern = std::string("/etc/rc[2345].d/S[0-9][0-9]") + service.name;
    bool const any = glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0;
    globfree(&found);
    return any;
}

pid_t RunningPid(Service const& service) {
    std::ifstream in(service.pidFile);
    long pid = 0;
    if (!(in >> pid) || pid <= 1) return 0;
    return kill(static_cast<pid_t>(pid), 0) == 0 ? static_cast<pid_t>(pid) : 0;
}

bool Running(Service const& service, bool systemd) {
    if (systemd) {
        return Check(
            {"/usr/bin/systemctl", "is-active", "--quiet", std::string(service.name) + ".service"});
    }
    return RunningPid(service) != 0;
}

bool Enable(Service const& service, bool systemd) {
    if (systemd) {
        return Step(
            {"/usr/bin/systemctl", "enable", "--quiet", std::string(service.name) + ".service"},
            kManagerDeadlineMs, "enabling", service);
    }
    // "defaults" makes the links the script's header asks for where it has none yet.
    return Step({"/usr/sbin/update-rc.d", service.name, "defaults"}, kScriptDeadlineMs, "enabling",
                service) &&
           Step({"/usr/sbin/update-rc.d", service.name, "enable"}, kScriptDeadlineMs, "enabling",
                service);
}

bool Disable(Service const& service, bool systemd) {
    if (systemd) {
        return Step(
            {"/usr/bin/systemctl", "disable", "--quiet", std::string(service.name) + ".service"},
            kManagerDeadlineMs, "disabling", service);
    }
    return Step({"/usr/sbin/update-rc.d", service.name, "disable"}, kScriptDeadlineMs, "disabling",
                service);
}

bool Start(Service const& service, bool systemd, bool restart) {
    if (systemd) {
        return Step({"/usr/bin/systemctl", restart ? "restart" : "start",
                     std::string(service.name) + ".service"},
                    kManagerDeadlineMs, "starting", service);
    }
    return Step({InitScript(service), "start"}, kScriptDeadlineMs, "starting", service);
}

// The init scripts send the signal and return; the daemon is awaited here, so that nothing
// after the stop finds it still at work.
bool Stop(Service const& service, bool systemd) {
    if (systemd) {
        return Step({"/usr/bin/systemctl", "stop", std::string(service.name) + ".service"},
                    kManagerDeadlineMs, "stopping", service);
    }
    pid_t const pid = RunningPid(service);
    if (!Step({InitScript(service), "stop"}, kScriptDeadlineMs, "stopping", service)) return false;
    long long const deadline = NowMs() + kStopWaitMs;
    while (pid != 0 && kill(pid, 0) == 0) {
        if (NowMs() >= deadline) {
            syslog(LOG_WARNING, "Samba provider: %s (PID %d) still runs %d s after its stop",
                   service.name, static_cast<int>(pid), kStopWaitMs / 1000);
            return false;
        }
        PauseMs(50);
    }
    return true;
}

// Until winbindd answers and the DC accepts the machine's credentials, or the deadline; the
// text says why not.
bool AwaitTrust(std::string& why) {
    long long const deadline = NowMs() + kServiceReadySeconds * 1000LL;
    ChildResult last;
    for (;;) {
        long long const left = deadline - NowMs();
        if (left <= 0) break;
        last = RunChild({"/usr/bin/wbinfo", "-t"},
                        static_cast<int>(left < kCheckDeadlineMs ? left : kCheckDeadlineMs));
        if (last.Succeeded()) return true;
        PauseMs(200);
    }
    why = "winbindd did not confirm the machine's trust with a domain controller within " +
          std::to_string(kServiceReadySeconds) + " s (wbinfo -t " + last.Describe() + ")";
    syslog(LOG_WARNING, "Samba provider: %s", why.c_str());
    return false;
}

}  // namespace

ADStatus StartMemberServices(std::string* why) {
    bool const systemd = SystemdRuns();
    std::string failure;  // why a required service is not up; empty while all are
    // True when the failed service is required: the start ends there.
    auto const fails = [&failure](Service const& service, char const* what) {
        if (service.required) failure = std::string("the service ") + service.name + " " + what;
        return service.required;
    };
    for (Service const& service : kServices) {
        if (!Installed(service, systemd)) {
            syslog(service.required ? LOG_ERR : LOG_WARNING,
                   "Samba provider: the service %s is not installed%s", service.name,
                   service.required ? "" : "; domain logins wait longer while no DC answers");
            if (fails(service, "is not installed")) break;
            continue;
        }
        if (!Enabled(service, systemd)) {
            if (Enable(service, systemd)) {
                NoteChange(std::string("enabled ") + service.name);
            } else if (fails(service, "could not be enabled")) {
                break;
            }
        }
        bool const restart = Running(service, systemd);
        if (restart && !systemd && !Stop(service, systemd) &&
            fails(service, "did not stop for its restart")) {
            break;
        }
        if (Start(service, systemd, restart)) {
            NoteChange(std::string(restart ? "restarted " : "started ") + service.name);
        } else if (fails(service, "did not start")) {
            break;
        }
    }
    if (failure.empty() && AwaitTrust(failure)) return 0;
    syslog(LOG_ERR, "Samba provider: winbindd, which domain logins need, does not serve: %s",
           failure.c_str());
    if (why != nullptr) *why = failure;
    StopMemberServices();
    return kServiceNotActive;
}

bool RestartWinbindIfRunning(std::string const& workgroup, std::string const& realm) {
    bool const systemd = SystemdRuns();
    Service const& winbind = kServices[0];
    bool const running = Installed(winbind, systemd) && Running(winbind, systemd);
    // The affinity goes once winbindd is gone: until then it may store its DC there again.
    if (running && !Stop(winbind, systemd)) return false;
    for (char const* kind : {"SAF", "SAFJOIN"}) {
        for (std::string const& domain : {workgroup, realm}) {
            RunChild({"/usr/bin/net", "cache", "del", std::string(kind) + "/DOMAIN/" + domain},
                     kScriptDeadlineMs);  // "not found" is fine
        }
    }
    if (!running) return true;
    if (!Start(winbind, systemd, false)) return false;
    NoteChange(std::string("restarted ") + winbind.name);
    return true;
}

bool StopMemberServices() {
    bool const systemd = SystemdRuns();
    bool any = false;
    // The watcher first: it would otherwise message a winbindd that is going away.
    for (int i = sizeof kServices / sizeof kServices[0] - 1; i >= 0; --i) {
        Service const& service = kServices[i];
        if (!Installed(service, systemd)) continue;
        if (Running(service, systemd)) {
            any = true;
            if (Stop(service, systemd)) NoteChange(std::string("stopped ") + service.name);
        }
        if (Enabled(service, systemd)) {
            any = true;
            if (Disable(service, systemd)) NoteChange(std::string("disabled ") + service.name);
        }
    }
    return any;
}

}  // namespace sambaprovider
