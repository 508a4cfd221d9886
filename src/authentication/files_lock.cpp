#include "files_lock.h"

#include <authentication/exceptions.h>
#include <errno.h>
#include <file_lock.h>

#include <cstring>
#include <memory>
#include <string>

#include "paths.h"

namespace ostrel {
namespace authentication {

namespace {

// The directory itself is locked: no lock file to create, so a read-only /etc still reads.
char const* const kLockedDirectory = paths::kConfigurationDirectory;

thread_local std::unique_ptr<tslfiles::ScopedFileLock> held;
thread_local unsigned depth = 0;

}  // namespace

FilesLock::FilesLock() {
    if (depth == 0) {
        std::unique_ptr<tslfiles::ScopedFileLock> lock(new tslfiles::ScopedFileLock());
        int const error = lock->AcquireDirectory(kLockedDirectory);
        // Without the directory there is nothing to protect: the edit reports what is missing.
        if (error != 0 && error != ENOENT) {
            throw IOError(std::string("Unable to lock '") + kLockedDirectory + "': " +
                          (error == ETIMEDOUT ? "another process has held it for 30 s"
                                              : std::strerror(error)));
        }
        held = std::move(lock);
    }
    ++depth;
}

FilesLock::~FilesLock() {
    if (--depth != 0) return;
    held.reset();  // releases the lock
}

}  // namespace authentication
}  // namespace ostrel
