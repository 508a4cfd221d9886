#include "system_files.h"

#include <fcntl.h>
#include <hostctl/hostctl_exception.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace HostCtl {
namespace Files {

namespace {

// The same limit the kernel puts on following links.
constexpr int kMaximumLinks = 40;

std::string DirectoryOf(std::string const& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Returns 0 or the errno of the failed write.
int WriteAllAt(int fd, std::string const& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t count =
            ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(count);
    }
    return 0;
}

int ReadAll(int fd, std::string& content) {
    char buffer[8192];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (count == 0) return 0;
        content.append(buffer, static_cast<std::size_t>(count));
    }
}

// Makes the rename itself durable. Filesystems that cannot sync a directory say so with
// EINVAL; there is nothing more to do on them.
void SyncDirectory(std::string const& directory, std::string const& target) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) error = errno;
        ::close(fd);
    }
    if (error != 0) ThrowSystemError("Unable to sync the directory of", target, error);
}

// For a file that is a mount point of its own (a bind-mounted file), which no rename can
// replace. The old content is put back when the new one cannot be written whole.
void RewriteInPlace(std::string const& target, std::string const& content) {
    int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("Unable to open", target, errno);
    std::string old;
    int error = ReadAll(fd, old);
    if (error != 0) {
        ::close(fd);
        ThrowSystemError("Unable to read", target, error);
    }
    error = WriteAllAt(fd, content);
    if (error == 0 && ::ftruncate(fd, static_cast<off_t>(content.size())) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (error != 0) {
        if (WriteAllAt(fd, old) == 0) {
            (void)::ftruncate(fd, static_cast<off_t>(old.size()));
            (void)::fsync(fd);
        }
        ::close(fd);
        ThrowSystemError("Unable to write", target, error);
    }
    if (::close(fd) != 0) ThrowSystemError("Unable to write", target, errno);
}

class TemporaryFile {
public:
    explicit TemporaryFile(std::string const& target) : path(target + ".XXXXXX") {
        fd = ::mkostemp(&path[0], O_CLOEXEC);
        if (fd < 0) ThrowSystemError("Unable to create a temporary file beside", target, errno);
    }
    ~TemporaryFile() {
        if (fd >= 0) ::close(fd);
        if (!renamed) ::unlink(path.c_str());
    }
    TemporaryFile(TemporaryFile const&) = delete;
    TemporaryFile& operator=(TemporaryFile const&) = delete;

    int Descriptor() const { return fd; }
    std::string const& Path() const { return path; }
    int Close() {
        int result = ::close(fd);
        fd = -1;
        return result != 0 ? errno : 0;
    }
    void MarkRenamed() { renamed = true; }

private:
    std::string path;
    int fd = -1;
    bool renamed = false;
};

}  // namespace

void ThrowSystemError(char const* what, std::string const& path, int error) {
    std::string message = std::string(what) + " '" + path + "': " + std::strerror(error);
    throw Lib::HostCtlException(message.c_str());
}

std::optional<std::string> ReadIfPresent(std::string const& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        ThrowSystemError("Unable to open", path, errno);
    }
    std::string content;
    int error = ReadAll(fd, content);
    ::close(fd);
    if (error != 0) ThrowSystemError("Unable to read", path, error);
    return content;
}

std::string ResolveLinks(std::string const& path) {
    std::string current = path;
    for (int links = 0;; ++links) {
        struct stat info;
        if (::lstat(current.c_str(), &info) != 0) {
            if (errno == ENOENT) return current;
            ThrowSystemError("Unable to examine", current, errno);
        }
        if (!S_ISLNK(info.st_mode)) return current;
        if (links == kMaximumLinks) ThrowSystemError("Unable to follow the links of", path, ELOOP);
        char buffer[PATH_MAX];
        ssize_t length = ::readlink(current.c_str(), buffer, sizeof buffer);
        if (length < 0) ThrowSystemError("Unable to read the link", current, errno);
        if (static_cast<std::size_t>(length) == sizeof buffer) {
            ThrowSystemError("Unable to read the link", current, ENAMETOOLONG);
        }
        std::string target(buffer, static_cast<std::size_t>(length));
        current = target[0] == '/' ? target : DirectoryOf(current) + "/" + target;
    }
}

void Replace(std::string const& path, std::string const& content) {
    std::string target = ResolveLinks(path);

    struct stat old;
    bool existed = ::stat(target.c_str(), &old) == 0;
    if (!existed && errno != ENOENT) ThrowSystemError("Unable to examine", target, errno);

    TemporaryFile temporary(target);
    int fd = temporary.Descriptor();
    if (int error = WriteAllAt(fd, content)) ThrowSystemError("Unable to write", target, error);
    mode_t mode = existed ? (old.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0)
        ThrowSystemError("Unable to set the permissions of", target, errno);
    struct stat written;
    if (existed && ::fstat(fd, &written) == 0 &&
        (written.st_uid != old.st_uid || written.st_gid != old.st_gid)) {
        // Only a privileged writer may hand the file back to its owner; anyone else who may
        // replace the file makes it their own, as any editor would.
        if (::fchown(fd, old.st_uid, old.st_gid) == 0) (void)::fchmod(fd, mode);
    }
    if (::fsync(fd) != 0) ThrowSystemError("Unable to write", target, errno);
    if (int error = temporary.Close()) ThrowSystemError("Unable to write", target, error);

    if (::rename(temporary.Path().c_str(), target.c_str()) != 0) {
        int error = errno;
        if (error != EBUSY && error != EXDEV) ThrowSystemError("Unable to replace", target, error);
        RewriteInPlace(target, content);
        return;  // the temporary file goes with `temporary`
    }
    temporary.MarkRenamed();
    SyncDirectory(DirectoryOf(target), target);
}

std::vector<std::string> SplitLines(std::string const& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string Trim(std::string const& text) {
    static char const kBlanks[] = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    std::string::size_type last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

}  // namespace Files
}  // namespace HostCtl
