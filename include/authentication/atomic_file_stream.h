#ifndef AUTHENTICATION_ATOMIC_FILE_STREAM_H
#define AUTHENTICATION_ATOMIC_FILE_STREAM_H

// Not thread-safe: one thread at a time per stream. It owns its temporary file until Commit;
// destroyed before Commit, it leaves that file complete beside the target, never in its place.

#include <authentication/export.h>

#include <fstream>
#include <memory>
#include <string>

namespace ostrel {
namespace authentication {

// An output file stream that writes to a temporary file beside the target ("<target>.XXXXXX")
// and puts it in place of the target with a rename on Commit, so that readers only ever see
// the old or the new file. A symbolic link stays a link: the file it names is replaced, and the
// temporary file lies beside that file. The old file's owner, group and permission bits are
// carried over; a new file gets 0644. The stream writes through the temporary file's own
// descriptor, not through the std::filebuf that rdbuf() and is_open() of std::ofstream see.
class TSLAUTH_EXPORT AtomicFileStream : public std::ofstream {
public:
    AtomicFileStream(char const* path, std::ios_base::openmode mode);
    ~AtomicFileStream() override;

    AtomicFileStream(AtomicFileStream const&) = delete;
    AtomicFileStream& operator=(AtomicFileStream const&) = delete;

    // Examines the target (following links) and creates the temporary file. Throws IOError
    // when the target cannot be examined or the temporary file cannot be created.
    void open(char const* path, std::ios_base::openmode mode);

    // Syncs the data and renames the temporary file over the target. A stream that failed
    // to write, flush or close throws IOError, removes its temporary file and leaves the
    // target untouched. A failed rename throws IOError and leaves both files as they are.
    // When the owner or the bits cannot be carried over, the new file is put in place with
    // the bits it was created with (0600) and FilePermissionError is thrown.
    void Commit();

    std::string const& GetTemporaryPath() const { return temporaryPath; }
    std::string const& GetTargetPath() const { return targetPath; }

private:
    class Replacement;  // the examined target, the temporary file and the stream's buffer

    void Discard(int error);
    void Abandon();

    std::string temporaryPath;
    std::string targetPath;
    std::unique_ptr<Replacement> replacement;
    bool pending;  // the temporary file exists and is not yet committed or removed
};

}  // namespace authentication
}  // namespace ostrel

#endif
