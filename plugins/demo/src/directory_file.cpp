#include "directory_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "failure.h"
#include "file_replacement.h"

namespace demodirectory {

char const kDirectoryPath[] = "/etc/ostrel/tslauth/demo-directory.conf";

namespace {

std::size_t const kLargestFile = 1 << 20;

// Serialises the writers of this process; the lock on the file's directory serialises them
// with other processes (and with the other demo plug-in, which has a mutex of its own).
pthread_mutex_t writers = PTHREAD_MUTEX_INITIALIZER;

std::uint32_t StatusFor(int error) {
    switch (error) {
        case ENOENT:
            return kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kAccessDenied;
        case ENOMEM:
            return kNotEnoughMemory;
        default:
            return kInternalError;
    }
}

[[noreturn]] void SystemFailure(std::string const& what, std::string const& path, int error) {
    throw Failure(StatusFor(error), what + " '" + path + "': " + std::strerror(error));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;
    // Closes now, reporting a failed close (a late write error).
    int Close() {
        int const rc = close(fd);
        fd = -1;
        return rc;
    }

    int fd;
};

class WriterLock {
public:
    explicit WriterLock(std::string const& directory) {
        pthread_mutex_lock(&writers);
        fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int rc = fd < 0 ? -1 : 0;
        while (rc == 0 && (rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) rc = 0;
        if (rc != 0) {
            int const error = errno;
            if (fd >= 0) close(fd);
            pthread_mutex_unlock(&writers);
            SystemFailure("cannot lock", directory, error);
        }
    }
    ~WriterLock() {
        close(fd);  // releases the flock
        pthread_mutex_unlock(&writers);
    }
    WriterLock(WriterLock const&) = delete;
    WriterLock& operator=(WriterLock const&) = delete;

private:
    int fd;
};

std::string ReadText(std::string const& path) {
    Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) SystemFailure("cannot open", path, errno);
    std::string text;
    char buffer[8192];
    while (true) {
        ssize_t const count = read(file.fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) SystemFailure("cannot read", path, errno);
        if (count == 0) return text;
        text.append(buffer, static_cast<std::size_t>(count));
        if (text.size() > kLargestFile) {
            throw Failure(kInternalError, "'" + path + "' is larger than 1 MiB");
        }
    }
}

// The file behind the fixed path: a link to a directory file elsewhere stays a link, and the
// file is replaced beside its target.
std::string TargetPath() {
    char* real = realpath(kDirectoryPath, nullptr);
    if (real == nullptr) SystemFailure("cannot open", kDirectoryPath, errno);
    std::string const path = real;
    std::free(real);
    return path;
}

using tslfiles::DirectoryOf;

// Temporary file beside the target, written and synced, then renamed over it; the old file's
// owner and permission bits carry over (the file holds passwords).
void ReplaceFile(std::string const& path, std::string const& text) {
    tslfiles::Target target;
    int error = 0;
    if (target.Resolve(path, error) != tslfiles::Target::kNone || !target.exists) {
        SystemFailure("cannot read", path, error);
    }
    tslfiles::TemporaryFile file;
    if ((error = file.Create(path)) != 0) SystemFailure("cannot create a file beside", path, error);
    std::string const temporary = file.Path();
    if ((error = tslfiles::WriteAll(file.Descriptor(), text.data(), text.size())) != 0) {
        SystemFailure("cannot write", temporary, error);
    }
    if ((error = file.TakeOver(target)) != 0) SystemFailure("cannot chmod", temporary, error);
    if ((error = file.SyncAndClose()) != 0) SystemFailure("cannot sync", temporary, error);
    if ((error = file.RenameOver(path)) != 0) SystemFailure("cannot replace", path, error);
    // The rename is in place; a failing sync of the directory cannot undo it.
    (void)tslfiles::SyncDirectory(DirectoryOf(path));
}

}  // namespace

Directory ReadDirectory() {
    std::string const text = ReadText(kDirectoryPath);
    return Directory::From(DirectoryDocument::Parse(text, kDirectoryPath), kDirectoryPath);
}

Directory AwaitDirectory() {
    while (true) {
        Directory directory = ReadDirectory();
        if (!directory.unresponsive) return directory;
        timespec pause = {0, 100 * 1000 * 1000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

void UpdateDirectory(
    std::function<bool(DirectoryDocument& document, Directory const& directory)> const& change) {
    std::string const path = TargetPath();
    WriterLock lock(DirectoryOf(path));
    DirectoryDocument document = DirectoryDocument::Parse(ReadText(path), kDirectoryPath);
    Directory const directory = Directory::From(document, kDirectoryPath);
    if (!change(document, directory)) return;
    std::string const text = document.Text();
    // Never write what could not be read back.
    Directory::From(DirectoryDocument::Parse(text, kDirectoryPath), kDirectoryPath);
    ReplaceFile(path, text);
}

}  // namespace demodirectory
