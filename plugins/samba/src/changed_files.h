#ifndef SAMBA_PROVIDER_CHANGED_FILES_H
#define SAMBA_PROVIDER_CHANGED_FILES_H

// Which of the host's files an operation changed, told by their bytes before and after: a
// file put back as it was counts as unchanged, whatever wrote it (libnetapi writes the
// machine secrets itself).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sambaprovider {

class ChangedFiles {
public:
    // Takes the files' state now.
    explicit ChangedFiles(std::vector<std::string> const& paths);
    // "wrote PATH" for each file that now holds other bytes than before (or is new),
    // "removed PATH" for each that is gone, in the order the paths were given.
    std::vector<std::string> Changes() const;

private:
    struct State {
        bool present = false;
        std::uint64_t size = 0;
        std::uint64_t digest = 0;
        bool operator==(State const& other) const {
            return present == other.present && size == other.size && digest == other.digest;
        }
    };
    static State Read(std::string const& path);
    std::vector<std::pair<std::string, State> > before;
};

// The files a join or a leave of this host may change.
std::vector<std::string> MembershipFiles();

}  // namespace sambaprovider

#endif
