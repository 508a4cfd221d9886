#include "file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace tslfiles {

int ScopedFileLock::Acquire(std::string const& path) {
    Release();
    int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (descriptor < 0) return errno;
    while (::flock(descriptor, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        ::close(descriptor);
        return error;
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
