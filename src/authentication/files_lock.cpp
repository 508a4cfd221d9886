#include "files_lock.h"

#include <authentication/exceptions.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace ostrel {
namespace authentication {

namespace {

// The directory itself is locked: no lock file to create, so a read-only /etc still reads.
char const kLockedDirectory[] = "/etc/ostrel/tslauth";
auto const kLongestWait = std::chrono::seconds(30);

thread_local int heldDescriptor = -1;
thread_local unsigned depth = 0;

int Acquire() {
    int descriptor = ::open(kLockedDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Without the directory there is nothing to protect: the edit itself reports what is missing.
    if (descriptor < 0) return -1;
    auto const deadline = std::chrono::steady_clock::now() + kLongestWait;
    auto pause = std::chrono::microseconds(100);
    while (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if ((error != EWOULDBLOCK && error != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            ::close(descriptor);
            throw IOError(std::string("Unable to lock '") + kLockedDirectory + "': " +
                          (error == EWOULDBLOCK ? "another process has held it for 30 s"
                                                : std::strerror(error)));
        }
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(10)) pause *= 2;
    }
    return descriptor;
}

}  // namespace

FilesLock::FilesLock() {
    if (depth == 0) heldDescriptor = Acquire();
    ++depth;
}

FilesLock::~FilesLock() {
    if (--depth != 0) return;
    if (heldDescriptor >= 0) ::close(heldDescriptor);  // closing releases the lock
    heldDescriptor = -1;
}

}  // namespace authentication
}  // namespace ostrel
