#include "store_switch.h"

#include <authentication/atomic_file_stream.h>
#include <authentication/exceptions.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "file_content.h"

namespace ostrel {
namespace authentication {

void ReplaceFile(char const* path, std::string const& content) {
    AtomicFileStream out(path, std::ios_base::out);
    if (!out) {
        int error = errno;
        ::unlink(out.GetTemporaryPath().c_str());
        throw IOError(std::string("Cannot open '") + path + "': " + std::strerror(error));
    }
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.Commit();
}

FileSnapshot TakeSnapshot(char const* path) {
    FileSnapshot snapshot{path, std::string(), 0644};
    int error = 0;
    ReadFailure const failure = ReadFileContent(path, snapshot.content, error);
    struct stat status;
    if (failure == ReadFailure::None && ::stat(path, &status) != 0) error = errno;
    if (failure == ReadFailure::Open) {
        throw IOError(std::string("Cannot open '") + path + "': " + std::strerror(error));
    }
    if (failure != ReadFailure::None || error != 0) {
        // A half-read file written back would lose the rest of it.
        throw IOError(std::string("Cannot read '") + path + "': " + std::strerror(error));
    }
    snapshot.mode = status.st_mode & 07777;
    return snapshot;
}

void RestoreIfChanged(FileSnapshot const& snapshot) {
    std::string now;
    int error = 0;
    struct stat status;
    bool const same =
        ReadFileContent(snapshot.path, now, error) == ReadFailure::None && now == snapshot.content;
    if (!same) ReplaceFile(snapshot.path, snapshot.content);
    if (::stat(snapshot.path, &status) == 0 && (status.st_mode & 07777) == snapshot.mode) return;
    if (::chmod(snapshot.path, snapshot.mode) != 0) {
        throw IOError(std::string("Unable to set the permissions of '") + snapshot.path +
                      "': " + std::strerror(errno));
    }
}

void UndoIfFails(std::function<void()> const& change, std::function<void()> const& undo) {
    try {
        change();
    } catch (std::exception const& failure) {
        try {
            undo();
        } catch (std::exception const& undoFailure) {
            throw IOError(std::string(failure.what()) +
                          "; putting the previous state back failed too: " + undoFailure.what());
        }
        throw;
    }
}

}  // namespace authentication
}  // namespace ostrel
