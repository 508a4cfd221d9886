#ifndef TESTS_RELIABILITY_RELIABILITY_FIXTURE_H
#define TESTS_RELIABILITY_RELIABILITY_FIXTURE_H

#include <authentication/configuration.h>
#include <systemconfiguration/pam_policy.h>

#include <map>

#include "../store/store_fixture.h"

namespace reliability {

std::string const kPAMDirectory = "/etc/pam.d", kPAM = kPAMDirectory + "/system-auth-generic";
std::string const kStoreDirectory = "/etc/ostrel/tslauth";
std::string const kConf = kStoreDirectory + "/authentication.conf";
std::string const kThumbprints = kStoreDirectory + "/qapservers.conf";
std::string const kNone = "remote-authentication-store = None\n";

std::string const kRedHatStyle =
    "#%PAM-1.0\n"
    "auth        required      /lib/security/$ISA/pam_env.so\n"
    "auth        sufficient    /lib/security/$ISA/pam_zodad.so\n"
    "auth        sufficient    /lib/security/$ISA/pam_unix.so likeauth nullok\n"
    "auth        required      /lib/security/$ISA/pam_deny.so\n"
    "\n"
    "account     required      /lib/security/$ISA/pam_unix.so\n";

// Content and permission bits of every file in the directories, keyed by path.
using Files = std::map<std::string, std::pair<std::string, mode_t>>;
inline Files Snapshot(std::vector<std::string> const& directories = {kPAMDirectory,
                                                                     kStoreDirectory}) {
    Files files;
    for (std::string const& directory : directories) {
        for (std::string const& name : sandbox::ListDirectory(directory)) {
            std::string const path = directory + "/" + name;
            files[path] = {sandbox::ReadFile(path), sandbox::FileMode(path)};
        }
    }
    return files;
}

// Temporary files of the atomic replacement ("<target>.XXXXXX") beside these targets.
inline std::vector<std::string> Temporaries(std::vector<std::string> const& targets = {
                                                kPAM, kConf, kThumbprints}) {
    std::vector<std::string> found;
    for (std::string const& target : targets) {
        std::string const directory = target.substr(0, target.rfind('/'));
        for (std::string const& name : sandbox::ListDirectory(directory)) {
            std::string const path = directory + "/" + name;
            if (path.size() == target.size() + 7 && path.rfind(target + ".", 0) == 0)
                found.push_back(path);
        }
    }
    return found;
}

// The store's files: the record says None, a distribution's PAM file, one trusted server.
class ReliabilityTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        sandbox::WriteFile(kConf, kNone, 0644);
        sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
        sandbox::WriteFile(kThumbprints, "192.0.2.1 = \"AB:CD\"\n", 0600);
    }
};

}  // namespace reliability

#endif
