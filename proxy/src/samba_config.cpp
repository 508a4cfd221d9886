#include "samba_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace proxyd {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

void MakeDirectory(std::string const& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
}

}  // namespace

std::string GuessWorkgroup(std::string const& domain) {
    return Upper(domain.substr(0, domain.find('.')));
}

std::string SambaConfigText(std::string const& workgroup, std::string const& domain,
                            std::string const& stateDirectory) {
    std::string const samba = stateDirectory + "/samba";
    return "# Written by tslauth-proxyd for the requests it hands to tslauth-samba-helper;\n"
           "# rewritten at every start.\n"
           "[global]\n"
           "\tworkgroup = " +
           workgroup + "\n\trealm = " + Upper(domain) +
           "\n"
           "\tsecurity = ads\n"
           "\tlock directory = " +
           samba + "\n\tstate directory = " + samba + "\n\tcache directory = " + samba +
           "\n\tpid directory = " + samba + "\n\tprivate dir = " + samba + "/private\n";
}

void ReplaceFile(std::string const& path, std::string const& content, unsigned mode) {
    std::string const temporary = path + ".tmp." + std::to_string(getpid());
    int const fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                        static_cast<mode_t>(mode));
    if (fd < 0) throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
    std::size_t done = 0;
    int error = 0;
    while (done < content.size() && error == 0) {
        ssize_t const n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (error == 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) error = errno;
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
    }
}

SambaConfig::SambaConfig(std::string const& domain, std::string const& stateDirectory)
    : domain_(domain),
      stateDirectory_(stateDirectory),
      path_(stateDirectory + "/smb.conf"),
      workgroup_(GuessWorkgroup(domain)) {}

void SambaConfig::Write() {
    std::lock_guard<std::mutex> lock(mutex_);
    MakeDirectory(stateDirectory_, 0700);
    MakeDirectory(stateDirectory_ + "/samba", 0755);
    MakeDirectory(stateDirectory_ + "/samba/private", 0700);
    ReplaceFile(path_, SambaConfigText(workgroup_, domain_, stateDirectory_), 0644);
}

bool SambaConfig::LearnWorkgroup(std::string const& workgroup) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (workgroup.empty() || workgroup == workgroup_) return false;
    // Only a name that cannot break the file's syntax.
    if (workgroup.size() > 15 ||
        workgroup.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") !=
            std::string::npos) {
        return false;
    }
    ReplaceFile(path_, SambaConfigText(workgroup, domain_, stateDirectory_), 0644);
    workgroup_ = workgroup;
    return true;
}

}  // namespace proxyd
