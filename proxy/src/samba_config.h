#ifndef TSLAUTH_PROXYD_SAMBA_CONFIG_H
#define TSLAUTH_PROXYD_SAMBA_CONFIG_H

// The smb.conf the helper reads for the service's requests instead of the machine's own: the
// accounts it provisions take their DNS host names from its realm, and libnetapi keeps its
// files in the service's state directory.
#include <mutex>
#include <string>

namespace proxyd {

inline char const kStateDirectory[] = "/var/lib/tslauth-proxyd";

// The workgroup a domain is assumed to have until a DC names it: the DNS name's first label,
// upper-cased.
std::string GuessWorkgroup(std::string const& domain);

std::string SambaConfigText(std::string const& workgroup, std::string const& domain,
                            std::string const& stateDirectory);

// Replaces `path` through a temporary file beside it, with the given mode; throws
// std::runtime_error naming the file on failure.
void ReplaceFile(std::string const& path, std::string const& content, unsigned mode);

// Keeps STATE/smb.conf current: written at start with the guessed workgroup, written again
// when a DC names another.
class SambaConfig {
public:
    SambaConfig(std::string const& domain, std::string const& stateDirectory);
    // Creates the state directories and writes the file; throws std::runtime_error.
    void Write();
    // true when the file was written again with this workgroup; throws std::runtime_error.
    bool LearnWorkgroup(std::string const& workgroup);
    std::string const& Path() const { return path_; }

private:
    std::string const domain_;
    std::string const stateDirectory_;
    std::string const path_;
    std::mutex mutex_;
    std::string workgroup_;
};

}  // namespace proxyd

#endif
