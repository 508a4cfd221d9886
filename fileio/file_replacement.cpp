#include "file_replacement.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

namespace tslfiles {

namespace {

// The same limit the kernel puts on following links.
constexpr int kMaximumLinks = 40;

}  // namespace

std::string DirectoryOf(std::string const& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int SyncDirectory(std::string const& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) error = errno;
    ::close(fd);
    return error;
}

int ReadAll(int fd, std::string& content) {
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            content.append(buffer, static_cast<std::string::size_type>(count));
        } else if (count == 0) {
            return 0;
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

ReadFailure ReadFileContent(std::string const& path, std::string& content, int& error) {
    content.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return ReadFailure::Open;
    }
    int failed = ReadAll(fd, content);
    ::close(fd);
    if (failed != 0) {
        error = failed;
        content.clear();
        return ReadFailure::Read;
    }
    return ReadFailure::None;
}

int WriteAll(int fd, char const* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t count = ::write(fd, data + done, size - done);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(count);
    }
    return 0;
}

Target::Failure Target::Resolve(std::string const& given, int& error) {
    path = given;
    exists = false;
    for (int links = 0;; ++links) {
        if (::lstat(path.c_str(), &status) != 0) {
            error = errno;
            if (error == ENOENT) return kNone;
            return kExamine;
        }
        if (!S_ISLNK(status.st_mode)) {
            exists = true;
            return kNone;
        }
        if (links == kMaximumLinks) {
            path = given;
            error = ELOOP;
            return kLoop;
        }
        char buffer[PATH_MAX];
        ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
        if (length < 0 || static_cast<std::size_t>(length) == sizeof buffer) {
            error = length < 0 ? errno : ENAMETOOLONG;
            return kReadLink;
        }
        std::string next(buffer, static_cast<std::size_t>(length));
        path = next[0] == '/' ? next : DirectoryOf(path) + "/" + next;
    }
}

TemporaryFile::~TemporaryFile() {
    if (fd >= 0) ::close(fd);
    if (!kept && !path.empty()) ::unlink(path.c_str());
}

int TemporaryFile::Create(std::string const& target) {
    path = target + ".XXXXXX";
    fd = ::mkostemp(&path[0], O_CLOEXEC);
    if (fd >= 0) return 0;
    int error = errno;
    path.clear();  // nothing to remove
    return error;
}

int TemporaryFile::TakeOver(Target const& target) {
    if (!target.exists) return ::fchmod(fd, 0644) == 0 ? 0 : errno;
    // Before fchmod, which a change of owner would otherwise undo for set-ID bits.
    if (::fchown(fd, target.status.st_uid, target.status.st_gid) != 0 && errno != EPERM) {
        return errno;
    }
    return ::fchmod(fd, target.status.st_mode & 07777) == 0 ? 0 : errno;
}

int TemporaryFile::SyncAndClose() {
    int error = ::fsync(fd) == 0 ? 0 : errno;
    int closed = Close();
    return error != 0 ? error : closed;
}

int TemporaryFile::Close() {
    int result = ::close(fd);
    fd = -1;
    return result == 0 ? 0 : errno;
}

int TemporaryFile::RenameOver(std::string const& target) {
    if (::rename(path.c_str(), target.c_str()) != 0) return errno;
    kept = true;
    return 0;
}

void TemporaryFile::Remove() {
    if (fd >= 0) Close();
    if (!kept && !path.empty()) ::unlink(path.c_str());
    kept = true;
}

}  // namespace tslfiles
