#ifndef FILEIO_FILE_REPLACEMENT_H
#define FILEIO_FILE_REPLACEMENT_H

// The one implementation of whole-file reads and atomic file replacement that libtslauth,
// libquorctl and the demo plug-ins link (an internal static library; nothing here is
// exported). Every step returns the system's error number, so that each caller words its
// own documented message.

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace tslfiles {

std::string DirectoryOf(std::string const& path);

// Makes a rename in the directory durable. File systems that cannot sync a directory say so
// with EINVAL or ENOTSUP; there is nothing more to do on them. Returns 0 or the error.
int SyncDirectory(std::string const& directory);

// Why a whole-file read failed: the file could not be opened, or not read to its end.
enum class ReadFailure { None, Open, Read };

// Reads a whole file into content. On failure returns the stage and leaves the system's error
// number in `error`; a file that cannot be read to its end is never handed on half-read.
ReadFailure ReadFileContent(std::string const& path, std::string& content, int& error);

// Appends what is left to read from fd. Returns 0 or the error.
int ReadAll(int fd, std::string& content);

// Writes all of it, retrying after signals. Returns 0 or the error.
int WriteAll(int fd, char const* data, std::size_t size);

// The file a path finally names once symbolic links are followed (links stay as they are and
// their target is replaced), examined once: a plain file costs one lstat.
struct Target {
    enum Failure { kNone, kExamine, kLoop, kReadLink };

    std::string path;  // after links; a dangling link names the file it would create
    bool exists = false;
    struct stat status = {};  // valid when it exists

    // On failure, `path` is the name that could not be examined or read.
    Failure Resolve(std::string const& given, int& error);
};

// A temporary file "<target>.XXXXXX" beside the target, created close-on-exec. Removed on
// destruction unless it was renamed or Keep() was called.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile();
    TemporaryFile(TemporaryFile const&) = delete;
    TemporaryFile& operator=(TemporaryFile const&) = delete;

    // Returns 0 or the error of mkostemp. A path too long for the placeholder is refused.
    int Create(std::string const& target);

    // Gives the file the target's owner and group and permission bits, or 0644 for a new file
    // (these are configuration files that others read). A refused fchown (EPERM) counts as
    // done: an unprivileged writer that may replace a file makes it its own, as editors do.
    // Returns 0 or the error of fchown or fchmod.
    int TakeOver(Target const& target);

    // fsync and close. Returns 0 or the error; the descriptor is closed either way.
    int SyncAndClose();
    // close only. Returns 0 or the error.
    int Close();
    // Renames over the target. Returns 0 or the error.
    int RenameOver(std::string const& target);
    // Leaves the file where it is (a failed rename keeps the complete new version).
    void Keep() { kept = true; }
    // Removes the file now.
    void Remove();

    int Descriptor() const { return fd; }
    std::string const& Path() const { return path; }

private:
    std::string path;
    int fd = -1;
    bool kept = false;
};

}  // namespace tslfiles

#endif
