#ifndef AUTHENTICATION_ATOMIC_FILE_STREAM_H
#define AUTHENTICATION_ATOMIC_FILE_STREAM_H

#include <authentication/export.h>

#include <fstream>
#include <string>

namespace ostrel {
namespace authentication {

// An output file stream that writes to a temporary file beside the target ("<target>.XXXXXX")
// and puts it in place of the target with a rename on Commit, so that readers only ever see
// the old or the new file. The old file's permission bits are carried over.
class TSLAUTH_EXPORT AtomicFileStream : public std::ofstream {
public:
    AtomicFileStream(char const* path, std::ios_base::openmode mode);
    ~AtomicFileStream() override;

    AtomicFileStream(AtomicFileStream const&) = delete;
    AtomicFileStream& operator=(AtomicFileStream const&) = delete;

    // Creates the temporary file and opens the stream on it. Throws IOError when the
    // temporary file cannot be created.
    void open(char const* path, std::ios_base::openmode mode);

    // Syncs the data and renames the temporary file over the target. A stream that failed
    // to write, flush or close throws IOError, removes its temporary file and leaves the
    // target untouched. A failed rename throws IOError and leaves both files as they are.
    void Commit();

    std::string const& GetTemporaryPath() const { return temporaryPath; }
    std::string const& GetTargetPath() const { return targetPath; }

private:
    void Discard(int error);

    std::string temporaryPath;
    std::string targetPath;
    int descriptor;  // kept from mkstemp for fsync and the permission bits; -1 when closed
    bool pending;    // the temporary file exists and is not yet committed or removed
};

}  // namespace authentication
}  // namespace ostrel

#endif
