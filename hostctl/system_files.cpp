#include "system_files.h"

#include <fcntl.h>
#include <file_replacement.h>
#include <hostctl/hostctl_exception.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace HostCtl {
namespace Files {

namespace {

// Offsets given, so that an in-place rewrite cannot depend on the file position.
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

// For a file that is a mount point of its own (a bind-mounted file), which no rename can
// replace. The old content is put back when the new one cannot be written whole.
void RewriteInPlace(std::string const& target, std::string const& content) {
    int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("Unable to open", target, errno);
    std::string old;
    int error = tslfiles::ReadAll(fd, old);
    if (error != 0) {
        ::close(fd);
        ThrowSystemError("Unable to read", target, error);
    }
    error = WriteAllAt(fd, content);
    if (error == 0 && ::ftruncate(fd, static_cast<off_t>(content.size())) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (error != 0) {
        // Best effort to put the old content back; the first error is what is reported.
        if (WriteAllAt(fd, old) == 0 && ::ftruncate(fd, static_cast<off_t>(old.size())) == 0) {
            ::fsync(fd);
        }
        ::close(fd);
        ThrowSystemError("Unable to write", target, error);
    }
    if (::close(fd) != 0) ThrowSystemError("Unable to write", target, errno);
}

}  // namespace

void ThrowSystemError(char const* what, std::string const& path, int error) {
    std::string message = std::string(what) + " '" + path + "': " + std::strerror(error);
    throw Lib::HostCtlException(message.c_str());
}

std::optional<std::string> ReadIfPresent(std::string const& path) {
    std::string content;
    int error = 0;
    switch (tslfiles::ReadFileContent(path, content, error)) {
        case tslfiles::ReadFailure::None:
            return content;
        case tslfiles::ReadFailure::Open:
            if (error == ENOENT) return std::nullopt;
            ThrowSystemError("Unable to open", path, error);
        case tslfiles::ReadFailure::Read:
            break;
    }
    ThrowSystemError("Unable to read", path, error);
}

namespace {

tslfiles::Target Examine(std::string const& path) {
    tslfiles::Target target;
    int error = 0;
    switch (target.Resolve(path, error)) {
        case tslfiles::Target::kNone:
            return target;
        case tslfiles::Target::kExamine:
            ThrowSystemError("Unable to examine", target.path, error);
        case tslfiles::Target::kLoop:
            ThrowSystemError("Unable to follow the links of", path, error);
        case tslfiles::Target::kReadLink:
            break;
    }
    ThrowSystemError("Unable to read the link", target.path, error);
}

}  // namespace

std::string ResolveLinks(std::string const& path) {
    return Examine(path).path;
}

void Replace(std::string const& path, std::string const& content) {
    tslfiles::Target const target = Examine(path);
    std::string const& name = target.path;

    tslfiles::TemporaryFile temporary;
    if (int error = temporary.Create(name)) {
        ThrowSystemError("Unable to create a temporary file beside", name, error);
    }
    int fd = temporary.Descriptor();
    if (int error = tslfiles::WriteAll(fd, content.data(), content.size())) {
        ThrowSystemError("Unable to write", name, error);
    }
    if (int error = temporary.TakeOver(target)) {
        ThrowSystemError("Unable to set the permissions of", name, error);
    }
    if (int error = temporary.SyncAndClose()) ThrowSystemError("Unable to write", name, error);

    if (int error = temporary.RenameOver(name)) {
        if (error != EBUSY && error != EXDEV) ThrowSystemError("Unable to replace", name, error);
        RewriteInPlace(name, content);
        return;  // the temporary file goes with `temporary`
    }
    if (int error = tslfiles::SyncDirectory(tslfiles::DirectoryOf(name))) {
        ThrowSystemError("Unable to sync the directory of", name, error);
    }
}

EditLock::EditLock(char const* lockFile) {
    int error = lock.Acquire(lockFile);
    if (error == ENOENT) {
        // The layer's own directory, on a host where nothing made it yet.
        std::string const directory = tslfiles::DirectoryOf(lockFile);
        (void)::mkdir(tslfiles::DirectoryOf(directory).c_str(), 0755);
        (void)::mkdir(directory.c_str(), 0755);
        error = lock.Acquire(lockFile);
    }
    // On a read-only file system nobody can replace the file either: the edit goes on and
    // reports its own failure, naming the file it could not write.
    if (error == EROFS) return;
    if (error != 0) ThrowSystemError("Unable to lock", lockFile, error);
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
