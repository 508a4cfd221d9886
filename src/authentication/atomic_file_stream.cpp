#include <authentication/atomic_file_stream.h>
#include <authentication/exceptions.h>

#include <cerrno>
#include <cstring>

#include "file_replacement.h"

namespace ostrel {
namespace authentication {

// Buffers the stream and writes it through the descriptor mkostemp returned: one open per
// replacement, and a small file goes out in a single write. The files are written whole with
// one write of the stream, so a small buffer inside the object does; it costs no allocation of
// its own.
class AtomicFileStream::Replacement : public std::streambuf {
public:
    Replacement() { setp(space, space + kSize); }

    // Writes out what is buffered. Returns 0 or the first error a write met.
    int Drain() {
        if (error == 0 && pptr() != pbase()) {
            error = tslfiles::WriteAll(file.Descriptor(), pbase(),
                                       static_cast<std::size_t>(pptr() - pbase()));
        }
        setp(space, space + kSize);
        return error;
    }

    tslfiles::Target target;
    tslfiles::TemporaryFile file;
    int error = 0;

protected:
    int_type overflow(int_type c) override {
        if (Drain() != 0) return traits_type::eof();
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }

    std::streamsize xsputn(char const* data, std::streamsize size) override {
        if (size <= epptr() - pptr()) {
            std::memcpy(pptr(), data, static_cast<std::size_t>(size));
            pbump(static_cast<int>(size));
            return size;
        }
        if (Drain() != 0) return 0;
        if (size >= kSize) {
            error = tslfiles::WriteAll(file.Descriptor(), data, static_cast<std::size_t>(size));
            return error == 0 ? size : 0;
        }
        std::memcpy(pptr(), data, static_cast<std::size_t>(size));
        pbump(static_cast<int>(size));
        return size;
    }

    int sync() override { return Drain() == 0 ? 0 : -1; }

private:
    static constexpr std::streamsize kSize = 8192;
    char space[kSize];
};

AtomicFileStream::AtomicFileStream(char const* path, std::ios_base::openmode mode)
    : pending(false) {
    open(path, mode);
}

AtomicFileStream::~AtomicFileStream() {
    Abandon();
    std::basic_ios<char>::rdbuf(std::ofstream::rdbuf());
}

// An uncommitted temporary file is written out and left complete beside the target.
void AtomicFileStream::Abandon() {
    if (!replacement) return;
    if (pending) {
        replacement->Drain();
        replacement->file.Close();
        replacement->file.Keep();
    }
    pending = false;
}

void AtomicFileStream::open(char const* path, std::ios_base::openmode) {
    Abandon();
    std::basic_ios<char>::rdbuf(std::ofstream::rdbuf());
    replacement.reset(new Replacement);
    targetPath = path;
    temporaryPath.clear();
    int error = 0;
    if (replacement->target.Resolve(targetPath, error) != tslfiles::Target::kNone ||
        (error = replacement->file.Create(replacement->target.path)) != 0) {
        setstate(std::ios_base::failbit);
        throw IOError("Unable to create temporary file to write '" + targetPath +
                      "': " + std::strerror(error));
    }
    temporaryPath = replacement->file.Path();
    pending = true;
    std::basic_ios<char>::rdbuf(replacement.get());  // clears the state too
}

void AtomicFileStream::Discard(int error) {
    if (replacement) replacement->file.Remove();
    pending = false;
    setstate(std::ios_base::badbit);
    throw IOError("Unable to write '" + targetPath + "': " + std::strerror(error));
}

void AtomicFileStream::Commit() {
    if (!pending) Discard(EBADF);
    Replacement& r = *replacement;
    // A write that failed earlier left its error number; a state set from outside has none.
    if (fail()) Discard(r.error != 0 ? r.error : EIO);
    if (r.Drain() != 0) Discard(r.error);

    // The new file takes the old one's owner and bits before it becomes visible.
    int problem = r.file.TakeOver(r.target);
    if (int error = r.file.SyncAndClose()) Discard(error);

    if (int error = r.file.RenameOver(r.target.path)) {
        r.file.Keep();  // the complete temporary file stays beside the target
        pending = false;
        throw IOError("Unable to rename '" + temporaryPath + "' to '" + targetPath +
                      "': " + std::strerror(error));
    }
    pending = false;
    std::string directory = tslfiles::DirectoryOf(r.target.path);
    if (int error = tslfiles::SyncDirectory(directory)) {
        throw IOError("Unable to sync directory '" + directory + "' after replacing '" +
                      targetPath + "': " + std::strerror(error));
    }
    if (problem != 0) throw FilePermissionError(std::strerror(problem));
}

}  // namespace authentication
}  // namespace ostrel
