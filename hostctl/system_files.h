#ifndef HOSTCTL_SRC_SYSTEM_FILES_H
#define HOSTCTL_SRC_SYSTEM_FILES_H

#include <file_lock.h>

#include <optional>
#include <string>
#include <vector>

namespace HostCtl {
namespace Files {

// Throws HostCtlException "<what> '<path>': <strerror(error)>". Takes no argument that
// needs building, so that passing errno directly is safe.
[[noreturn]] void ThrowSystemError(char const* what, std::string const& path, int error);

// The whole content of a file, or nothing when it does not exist (ENOENT). Every other
// failure throws HostCtlException naming the file.
std::optional<std::string> ReadIfPresent(std::string const& path);

// The file a path finally names once symbolic links are followed, which need not exist yet
// (a dangling link names the file it would create).
std::string ResolveLinks(std::string const& path);

// Puts `content` in place of the file at `path` (after following symbolic links, which stay
// as they are): written to a temporary file beside the target, synced, given the old file's
// permission bits and, where allowed, its owner, and renamed over it. A target that cannot be
// renamed over because it is a mount point is rewritten in place instead. Throws
// HostCtlException naming the file; on failure the target keeps its old content.
void Replace(std::string const& path, std::string const& content);

// Serialises one file's read-edit-replace across threads and processes with a lock file of
// its own, so that concurrent editors lose no update. The lock file's directory is made when
// missing. Throws HostCtlException naming the lock file.
class EditLock {
public:
    explicit EditLock(char const* lockFile);

private:
    tslfiles::ScopedFileLock lock;
};

// The lines of a text, each with its line end; the last may lack one.
std::vector<std::string> SplitLines(std::string const& text);

// Leading and trailing blanks (spaces, tabs, CR, LF) removed.
std::string Trim(std::string const& text);

}  // namespace Files
}  // namespace HostCtl

#endif
