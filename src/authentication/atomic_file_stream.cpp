#include <authentication/atomic_file_stream.h>
#include <authentication/exceptions.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ostrel {
namespace authentication {

namespace {

std::string DirectoryOf(std::string const& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Makes the rename itself durable. Filesystems that cannot sync a directory say so with
// EINVAL; there is nothing more to do on them.
int SyncDirectory(std::string const& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) error = errno;
    ::close(fd);
    return error;
}

}  // namespace

AtomicFileStream::AtomicFileStream(char const* path, std::ios_base::openmode mode)
    : descriptor(-1), pending(false) {
    open(path, mode);
}

AtomicFileStream::~AtomicFileStream() {
    if (descriptor >= 0) ::close(descriptor);
}

void AtomicFileStream::open(char const* path, std::ios_base::openmode mode) {
    if (descriptor >= 0) {
        std::ofstream::close();
        ::close(descriptor);
        descriptor = -1;
    }
    pending = false;
    // An over-long path is cut and loses its placeholder, which mkstemp then refuses.
    char name[4096];
    std::snprintf(name, sizeof name, "%s.XXXXXX", path);
    int fd = ::mkostemp(name, O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        throw IOError("Unable to create temporary file to write '" + std::string(path) +
                      "': " + std::strerror(error));
    }
    descriptor = fd;
    pending = true;
    temporaryPath = name;
    targetPath = path;
    if (rdbuf()->open(name, mode | std::ios_base::out) == nullptr) {
        setstate(std::ios_base::failbit);
    } else {
        clear();
    }
}

void AtomicFileStream::Discard(int error) {
    rdbuf()->close();
    if (descriptor >= 0) ::close(descriptor);
    descriptor = -1;
    if (pending) ::unlink(temporaryPath.c_str());
    pending = false;
    setstate(std::ios_base::badbit);
    throw IOError("Unable to write '" + targetPath + "': " + std::strerror(error));
}

void AtomicFileStream::Commit() {
    if (!pending) Discard(EBADF);
    // A write that failed earlier left errno as the system set it.
    if (fail()) Discard(errno != 0 ? errno : EIO);
    errno = 0;
    flush();
    if (fail()) Discard(errno != 0 ? errno : EIO);
    errno = 0;
    if (rdbuf()->close() == nullptr) Discard(errno != 0 ? errno : EIO);

    // The new file takes the old one's permission bits before it becomes visible.
    std::string permissionProblem;
    struct stat old;
    errno = 0;
    bool existed = ::stat(targetPath.c_str(), &old) == 0;
    if (!existed && errno != ENOENT) permissionProblem = std::strerror(errno);
    if (existed && ::fchmod(descriptor, old.st_mode & 07777) != 0) {
        permissionProblem = std::strerror(errno);
    }

    if (::fsync(descriptor) != 0) Discard(errno);
    int closed = ::close(descriptor);
    descriptor = -1;
    if (closed != 0) Discard(errno);

    if (::rename(temporaryPath.c_str(), targetPath.c_str()) != 0) {
        int error = errno;
        pending = false;  // the complete temporary file stays beside the target
        throw IOError("Unable to rename '" + temporaryPath + "' to '" + targetPath +
                      "': " + std::strerror(error));
    }
    pending = false;
    std::string directory = DirectoryOf(targetPath);
    if (int error = SyncDirectory(directory)) {
        throw IOError("Unable to sync directory '" + directory + "' after replacing '" +
                      targetPath + "': " + std::strerror(error));
    }
    if (!permissionProblem.empty()) throw FilePermissionError(permissionProblem);
}

}  // namespace authentication
}  // namespace ostrel
