#include "file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace tslfiles {

namespace {

// Holders never keep the lock across a sleep, so a waiter waits for file I/O only; the wait
// is still bounded, so that a stopped process holding it cannot hang the caller.
auto const kLongestWait = std::chrono::seconds(30);

}  // namespace

int ScopedFileLock::Acquire(std::string const& path) {
    Release();
    int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    // An existing lock file locks as well through a descriptor opened for reading only.
    if (descriptor < 0 && (errno == EROFS || errno == EACCES)) {
        int const error = errno;
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (descriptor < 0) errno = error;
    }
    return descriptor < 0 ? errno : Lock(descriptor);
}

int ScopedFileLock::AcquireDirectory(std::string const& path) {
    Release();
    int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return descriptor < 0 ? errno : Lock(descriptor);
}

int ScopedFileLock::Lock(int descriptor) {
    auto const deadline = std::chrono::steady_clock::now() + kLongestWait;
    auto pause = std::chrono::microseconds(100);
    while (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        int const error = errno == EWOULDBLOCK ? ETIMEDOUT : errno;
        if (error != ETIMEDOUT || std::chrono::steady_clock::now() >= deadline) {
            ::close(descriptor);
            return error;
        }
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(10)) pause *= 2;
    }
    fd = descriptor;
    return 0;
}

void ScopedFileLock::Release() {
    if (fd < 0) return;
    ::close(fd);  // releases the lock with the descriptor
    fd = -1;
}

}  // namespace tslfiles
