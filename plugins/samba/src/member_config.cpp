#include "member_config.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "letter_case.h"

namespace sambaprovider {

namespace {

char const kHeader[] =
    "# Written by the tslauth Samba provider; a join, a leave and a change of the preferred\n"
    "# domain controllers replace this whole file.\n";

std::runtime_error SystemError(std::string const& what, std::string const& path) {
    return std::runtime_error(what + " '" + path + "': " + std::strerror(errno));
}

std::string Trim(std::string const& text) {
    std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

void WriteAll(int fd, std::string const& text, std::string const& path) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw SystemError("Unable to write", path);
        done += static_cast<std::size_t>(n);
    }
}

void ReplaceFile(std::string const& path, std::string const& text, mode_t newMode) {
    mkdir(kSambaConfigDirectory, 0755);
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) throw SystemError("Unable to create a temporary file beside", path);
    try {
        struct stat old;
        fchmod(fd, stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : newMode);
        WriteAll(fd, text, temporary);
        if (fsync(fd) != 0) throw SystemError("Unable to write", temporary);
        if (close(fd) != 0) {
            fd = -1;
            throw SystemError("Unable to write", temporary);
        }
        fd = -1;
        if (rename(temporary.c_str(), path.c_str()) != 0) {
            throw SystemError("Unable to replace", path);
        }
    } catch (...) {
        if (fd >= 0) close(fd);
        unlink(temporary.c_str());
        throw;
    }
}

}  // namespace

std::string MemberConfig::DnsDomain() const {
    return Lower(realm);
}

std::string MemberConfig::Render() const {
    std::ostringstream out;
    out << kHeader << "[global]\n";
    out << "\tworkgroup = " << workgroup << "\n";
    if (IsMember()) {
        out << "\trealm = " << realm << "\n\tsecurity = ads\n";
    } else {
        out << "\tsecurity = user\n";
    }
    out << "\tnetbios name = " << netbiosName << "\n";
    out << "\tkerberos method = " << (keytab ? "secrets and keytab" : "secrets only") << "\n";
    // The preferred DCs first, any other the DNS names after them; else the DCs of the join.
    if (!passwordServers.empty()) {
        out << "\tpassword server =";
        for (std::string const& server : passwordServers) out << " " << server;
        out << " *\n";
    } else if (!domainControllers.empty()) {
        out << "\tpassword server =";
        for (std::string const& server : domainControllers) out << " " << server;
        out << "\n";
    }
    // Local accounts keep their own range; domain accounts map from their RIDs, so every
    // member of the domain gives a user the same ID.
    out << "\tidmap config * : backend = tdb\n"
           "\tidmap config * : range = 3000-7999\n";
    if (IsMember()) {
        out << "\tidmap config " << workgroup << " : backend = rid\n"
            << "\tidmap config " << workgroup << " : range = 100000-999999\n";
    }
    out << "\ttemplate shell = /bin/bash\n"
           "\ttemplate homedir = /home/%D/%U\n"
           "\twinbind use default domain = no\n"
        << "\twinbind offline logon = " << (cachedLogins ? "yes" : "no")
        << "\n"
        // Answers winbindd got while no DC answered ("no such user" for a user never seen)
        // are kept this long once the DCs answer again (300 s by default): a user who tried
        // during the outage logs in within this time after the DC's return, not minutes.
        << "\twinbind cache time = 2\n"
           // Trusted domains are listed (the trusted-domains query) only when winbindd asks
           // the DC for them; by default it knows a trusted domain only once a name of it
           // was looked up.
           "\twinbind scan trusted domains = yes\n"
        // A DC whose link went down is noticed within seconds on an open connection.
        << "\tsocket options = TCP_NODELAY SO_KEEPALIVE TCP_KEEPIDLE=2 TCP_KEEPINTVL=1 "
           "TCP_KEEPCNT=2\n"
           "\tload printers = no\n"
           "\tlog level = 0\n";
    return out.str();
}

MemberConfig ReadMemberConfig() {
    MemberConfig config;
    std::ifstream in(kSambaConfig);
    if (!in) {
        if (errno == ENOENT) return config;
        throw SystemError("Unable to read", kSambaConfig);
    }
    std::string line;
    while (std::getline(in, line)) {
        std::string text = Trim(line);
        std::size_t equals = text.find('=');
        if (text.empty() || text[0] == '#' || text[0] == ';' || equals == std::string::npos) {
            continue;
        }
        std::string key = Lower(Trim(text.substr(0, equals)));
        std::string value = Trim(text.substr(equals + 1));
        if (key == "workgroup") {
            config.workgroup = value;
        } else if (key == "realm") {
            config.realm = value;
        } else if (key == "netbios name") {
            config.netbiosName = value;
        } else if (key == "kerberos method") {
            config.keytab = value.find("keytab") != std::string::npos;
        } else if (key == "password server") {
            // A list that ends in "*" is the preferred DCs; one without, the join's.
            std::vector<std::string>& list = value.find('*') != std::string::npos
                                                 ? config.passwordServers
                                                 : config.domainControllers;
            std::istringstream words(value);
            std::string word;
            while (words >> word) {
                if (word != "*") list.push_back(word);
            }
        } else if (key == "winbind offline logon") {
            config.cachedLogins = Lower(value) == "yes";
        }
    }
    if (in.bad()) throw SystemError("Unable to read", kSambaConfig);
    return config;
}

bool CachedLoginsAllowed() {
    std::ifstream in(kProviderSettings);
    std::string line;
    bool allowed = true;
    while (std::getline(in, line)) {
        std::string text = Trim(line);
        std::size_t equals = text.find('=');
        if (text.empty() || text[0] == '#' || equals == std::string::npos) continue;
        if (Lower(Trim(text.substr(0, equals))) == "cached-logins") {
            allowed = Lower(Trim(text.substr(equals + 1))) != "no";
        }
    }
    return allowed;
}

void WriteMemberConfig(MemberConfig const& config) {
    MemberConfig written = config;
    written.cachedLogins = CachedLoginsAllowed();
    ReplaceFile(kSambaConfig, written.Render(), 0644);
}

std::string SaveMemberConfigText() {
    std::ifstream in(kSambaConfig, std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void RestoreMemberConfigText(std::string const& text) {
    if (text.empty()) {
        unlink(kSambaConfig);
    } else {
        ReplaceFile(kSambaConfig, text, 0644);
    }
}

SavedFile SaveFile(char const* path) {
    SavedFile saved;
    saved.path = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) return saved;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    saved.existed = true;
    saved.bytes = bytes.str();
    return saved;
}

void RestoreFile(SavedFile const& saved) {
    if (saved.existed) {
        ReplaceFile(saved.path, saved.bytes, 0600);
    } else if (unlink(saved.path.c_str()) != 0 && errno != ENOENT) {
        throw SystemError("Unable to remove", saved.path);
    }
}

namespace {
// flock is per open file description; this mutex keeps two threads of one process from
// sharing a lock they both think they hold.
std::mutex threadLock;
}  // namespace

ConfigLock::ConfigLock() : fd(-1) {
    threadLock.lock();
    mkdir(kSambaConfigDirectory, 0755);
    fd = open(kSambaConfigDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        std::runtime_error error = SystemError("Unable to lock", kSambaConfigDirectory);
        if (fd >= 0) close(fd);
        threadLock.unlock();
        throw error;
    }
}

ConfigLock::~ConfigLock() {
    close(fd);
    threadLock.unlock();
}

}  // namespace sambaprovider
