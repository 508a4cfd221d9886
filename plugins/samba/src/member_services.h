#ifndef SAMBA_PROVIDER_MEMBER_SERVICES_H
#define SAMBA_PROVIDER_MEMBER_SERVICES_H

// The services a member runs while it is joined, through the host's service manager (systemd
// where it is PID 1, the Debian init scripts otherwise): winbindd, which serves the domain's
// users to PAM and NSS, and tslauth-dc-watch, which tells winbindd when the DCs stop answering
// and when they answer again. Every program run has a deadline; each change is noted in the
// operation's record of host changes.
#include <tslauth/active_directory_client.h>

#include <string>

namespace sambaprovider {

inline char const kWatchService[] = "tslauth-dc-watch";
// How long winbindd may take after its start to answer and have its trust checked.
inline int const kServiceReadySeconds = 60;

// Enables and starts the services (restarts those already running: their configuration has
// just changed), then waits until winbindd answers and the DC accepts the machine's
// credentials. 0, or 1062 (service not active) when winbindd is not installed, does not start
// or does not pass the check in time; the services are then stopped and disabled again.
// The watcher is left out, with a log line, on a host that does not have it. why, when given,
// receives the reason of a failure.
ADStatus StartMemberServices(std::string* why = nullptr);

// Restarts winbindd when it runs: it keeps its connection to a DC until then, whatever the
// configuration now prefers. While it is stopped, Samba's record of the DC last used for the
// domain (kept for up to an hour after a join, and tried before any other) is forgotten, so that
// the preferred DCs come first. Nothing is awaited; false when the restart failed.
bool RestartWinbindIfRunning(std::string const& workgroup, std::string const& realm);

// Stops and disables them. True when any of them was running or enabled.
bool StopMemberServices();

}  // namespace sambaprovider

#endif
