#ifndef SAMBA_PROVIDER_MEMBER_SERVICES_H
#define SAMBA_PROVIDER_MEMBER_SERVICES_H

// The services a member runs while it is joined, through the host's service manager (systemd
// where it is PID 1, the Debian init scripts otherwise): winbindd, which serves the domain's
// users to PAM and NSS, and tslauth-dc-watch, which tells winbindd when the DCs stop answering
// and when they answer again. Every program run has a deadline; each change is noted in the
// operation's record of host changes.
#include <tslauth/active_directory_client.h>

namespace sambaprovider {

inline char const kWatchService[] = "tslauth-dc-watch";
// How long winbindd may take after its start to answer and have its trust checked.
inline int const kServiceReadySeconds = 60;

// Enables and starts the services (restarts those already running: their configuration has
// just changed), then waits until winbindd answers and the DC accepts the machine's
// credentials. 0, or 1062 (service not active) when winbindd is not installed, does not start
// or does not pass the check in time; the services are then stopped and disabled again.
// The watcher is left out, with a log line, on a host that does not have it.
ADStatus StartMemberServices();

// Stops and disables them. True when any of them was running or enabled.
bool StopMemberServices();

}  // namespace sambaprovider

#endif
