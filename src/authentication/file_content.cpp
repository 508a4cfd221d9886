#include "file_content.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ostrel {
namespace authentication {

ReadFailure ReadFileContent(std::string const& path, std::string& content, int& error) {
    content.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return ReadFailure::Open;
    }
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            content.append(buffer, static_cast<std::string::size_type>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            error = errno;
            ::close(fd);
            content.clear();
            return ReadFailure::Read;
        }
    }
    ::close(fd);
    return ReadFailure::None;
}

}  // namespace authentication
}  // namespace ostrel
