#ifndef FILEIO_FILE_LOCK_H
#define FILEIO_FILE_LOCK_H

#include <string>

namespace tslfiles {

// An exclusive advisory lock (flock) on a lock file of its own, held for one read-edit-replace
// so that concurrent editors lose no update; never hold it across a sleep or a plug-in call.
class ScopedFileLock {
public:
    ScopedFileLock() = default;
    ~ScopedFileLock() { Release(); }
    ScopedFileLock(ScopedFileLock const&) = delete;
    ScopedFileLock& operator=(ScopedFileLock const&) = delete;

    // Opens (creating it 0644 when missing) and locks the file, waiting for other holders at
    // most 30 s (then ETIMEDOUT). Returns 0 or the error of open or flock; nothing is held
    // after an error.
    int Acquire(std::string const& path);
    // The same for a directory itself: no lock file to create, so a read-only file system
    // still locks.
    int AcquireDirectory(std::string const& path);
    void Release();

private:
    int Lock(int descriptor);
    int fd = -1;
};

}  // namespace tslfiles

#endif
