#include "child_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <algorithm>

namespace sambaprovider {

int SpawnChild(char const* path, char* const argv[], char* const environment[],
               ChildSetup const& setup, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (int output : {1, 2}) {
        if (std::find(setup.channelAt.begin(), setup.channelAt.end(), output) ==
            setup.channelAt.end()) {
            posix_spawn_file_actions_addopen(&actions, output, "/dev/null", O_WRONLY, 0);
        }
    }
    int highest = 2;
    for (int at : setup.channelAt) {
        posix_spawn_file_actions_adddup2(&actions, setup.channel, at);
        highest = std::max(highest, at);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1);
    if (setup.directory != nullptr) {
        posix_spawn_file_actions_addchdir_np(&actions, setup.directory);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (setup.ownProcessGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);
    int const error = posix_spawn(&pid, path, &actions, &attributes, argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

}  // namespace sambaprovider
