#ifndef TESTS_RELIABILITY_RELIABILITY_FIXTURE_H
#define TESTS_RELIABILITY_RELIABILITY_FIXTURE_H

#include <authentication/configuration.h>
#include <sys/mount.h>
#include <systemconfiguration/pam_policy.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../store/store_fixture.h"

namespace reliability {

std::string const kPAMDirectory = "/etc/pam.d";
std::string const kPAM = kPAMDirectory + "/system-auth-generic";
std::string const kStoreDirectory = "/etc/ostrel/tslauth";
std::string const kConf = kStoreDirectory + "/authentication.conf";
std::string const kThumbprints = kStoreDirectory + "/qapservers.conf";
std::string const kNone = "remote-authentication-store = None\n";

std::string const kRedHatStyle =
    "#%PAM-1.0\n"
    "# This file is auto-generated.\n"
    "auth        required      /lib/security/$ISA/pam_env.so\n"
    "auth        required      /lib/security/$ISA/pam_access.so\n"
    "auth        sufficient    /lib/security/$ISA/pam_zodad.so\n"
    "auth        sufficient    /lib/security/$ISA/pam_unix.so likeauth nullok\n"
    "auth        required      /lib/security/$ISA/pam_deny.so\n"
    "\n"
    "account     required      /lib/security/$ISA/pam_unix.so\n"
    "password    [success=1 default=ignore]  pam_unix.so obscure sha512\n"
    "session     required      /lib/security/$ISA/pam_limits.so\n";

// Content and permission bits of every file in the directories, keyed by path.
struct FileState {
    std::string content;
    mode_t mode;
    bool operator==(FileState const& o) const { return content == o.content && mode == o.mode; }
};
typedef std::map<std::string, FileState> Files;

inline Files Snapshot(std::vector<std::string> const& directories = {kPAMDirectory,
                                                                     kStoreDirectory}) {
    Files files;
    for (std::string const& directory : directories) {
        for (std::string const& name : sandbox::ListDirectory(directory)) {
            std::string const path = directory + "/" + name;
            files[path] = FileState{sandbox::ReadFile(path), sandbox::FileMode(path)};
        }
    }
    return files;
}

// Temporary files of the atomic replacement ("<target>.XXXXXX") beside these targets.
inline std::vector<std::string> Temporaries(std::vector<std::string> const& targets = {
                                                kPAM, kConf, kThumbprints}) {
    std::vector<std::string> found;
    for (std::string const& target : targets) {
        std::string::size_type slash = target.rfind('/');
        std::string const prefix = target.substr(slash + 1) + ".";
        for (std::string const& name : sandbox::ListDirectory(target.substr(0, slash))) {
            if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
                found.push_back(target.substr(0, slash + 1) + name);
        }
    }
    return found;
}

// Whether the text reads as a PAM policy.
inline bool ParsesAsPAM(std::string const& text) {
    SystemConfiguration::PAMPolicy policy("system-auth-generic");
    std::istringstream in(text);
    try {
        in >> policy;
    } catch (std::exception const&) {
        return false;
    }
    return !in.bad();
}

}  // namespace reliability

#endif
