#ifndef AUTHENTICATION_FILES_LOCK_H
#define AUTHENTICATION_FILES_LOCK_H

namespace ostrel {
namespace authentication {

// Serialises every read-edit-replace of the library's own files (the store record, the proxy
// thumbprints, the PAM file) across threads and processes, so that two callers editing at
// once lose no update: an advisory flock on the library's configuration directory. A thread
// that holds it may take it again. It is never held across a plug-in call or a sleep, so a
// waiter waits for file I/O only; the wait is still bounded (IOError after 30 s), so that a
// stopped process holding it cannot hang the host's management services.
class FilesLock {
public:
    FilesLock();
    ~FilesLock();
    FilesLock(FilesLock const&) = delete;
    FilesLock& operator=(FilesLock const&) = delete;
};

}  // namespace authentication
}  // namespace ostrel

#endif
