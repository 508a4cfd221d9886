#include "changed_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "member_config.h"

namespace sambaprovider {

ChangedFiles::ChangedFiles(std::vector<std::string> const& paths) {
    for (std::string const& path : paths) before.emplace_back(path, Read(path));
}

// The size and a 64-bit FNV-1a digest of the bytes, read in pieces of a fixed size. A file
// that cannot be read is taken as missing.
ChangedFiles::State ChangedFiles::Read(std::string const& path) {
    State state;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return state;
    std::uint64_t digest = 14695981039346656037ULL;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return State();
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            digest = (digest ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ULL;
        }
        state.size += static_cast<std::uint64_t>(n);
    }
    close(fd);
    state.present = true;
    state.digest = digest;
    return state;
}

std::vector<std::string> ChangedFiles::Changes() const {
    std::vector<std::string> changes;
    for (auto const& file : before) {
        State const now = Read(file.first);
        if (now == file.second) continue;
        changes.push_back((now.present ? "wrote " : "removed ") + file.first);
    }
    return changes;
}

std::vector<std::string> MembershipFiles() {
    return {kSambaConfig, kSecretsFile, kKeytab};
}

}  // namespace sambaprovider
