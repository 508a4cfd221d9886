#ifndef HELPERWIRE_CHILD_SPAWN_H
#define HELPERWIRE_CHILD_SPAWN_H

// How the Samba plug-in's children start, the helper and the host's programs alike: standard
// input from /dev/null, the caller's channel at the descriptors it names (standard output and
// error that are not among them go to /dev/null), no other descriptor of the caller, and
// default signal handling with an empty mask, whatever the host program set.
#include <sys/types.h>

#include <vector>

namespace sambaprovider {

struct ChildSetup {
    int channel = -1;                 // the child's end of the channel
    std::vector<int> channelAt;       // where the child finds it: {3}, or {1, 2} for its output
    char const* directory = nullptr;  // its working directory; nullptr keeps the caller's
    bool ownProcessGroup = false;     // a group of its own, so that a kill reaches its children
};

// posix_spawn's error number: 0 with the child's id in `pid`.
int SpawnChild(char const* path, char* const argv[], char* const environment[],
               ChildSetup const& setup, pid_t& pid);

}  // namespace sambaprovider

#endif
