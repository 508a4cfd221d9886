#ifndef SAMBA_PROVIDER_CHILD_PROCESS_H
#define SAMBA_PROVIDER_CHILD_PROCESS_H

// Runs a program of the host (the service manager, smbcontrol, wbinfo) with a deadline: the
// child gets its own process group, which is killed when the deadline passes, a fixed
// environment, "/" as its directory and no descriptor of the caller but its output channel.
#include <cstddef>
#include <string>
#include <vector>

namespace sambaprovider {

struct ChildResult {
    bool ran = false;       // false: the program could not be started
    bool timedOut = false;  // killed at the deadline
    int exitStatus = -1;    // the exit status; -1 when killed by a signal or not run
    std::string output;     // standard output and error together, at most the first maxOutput bytes

    bool Succeeded() const { return ran && !timedOut && exitStatus == 0; }
    // "exit status N: OUTPUT", "killed after N ms", ... for log lines.
    std::string Describe() const;
};

// argv[0] is the program's absolute path. Waits for the child itself, not for descendants
// that keep its output open (a daemon it started).
ChildResult RunChild(std::vector<std::string> const& argv, int deadlineMs,
                     std::size_t maxOutput = 4096);

}  // namespace sambaprovider

#endif
