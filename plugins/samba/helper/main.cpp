// The join helper: one request on descriptor 3, one answer back on it; or, started with
// `--serve`, provisionings one after another there. Standard output and error are /dev/null,
// where libnetapi's own prints go.
#include <ldap.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "changed_files.h"
#include "host_changes.h"
#include "operations.h"

// Samba's utility library: the configuration file every Samba library reads.
extern "C" char const* set_dyn_CONFIGFILE(char const* path);

// In builds with the leak checker: libnetapi keeps its allocations until the process ends,
// which is at once, so a leak report here would only list Samba's.
extern "C" __attribute__((visibility("default"), used)) int __lsan_is_turned_off() {
    return 1;
}

namespace {

using sambahelper::Fields;

bool WriteAll(std::string const& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(3, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int RunOnce() {
    using namespace sambahelper;
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(3, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    Fields request, answer;
    uint32_t status = 87;
    bool const decoded = sambaprovider::DecodeFields(text, request);
    // A service that provisions accounts for other hosts has a configuration of its own for
    // the domain (the accounts' DNS host names come from its realm).
    // Only for the requests about other hosts: this host's own joins use its own file.
    bool const forOthers = request["op"] == "provision" || request["op"] == "domain-info" ||
                           request["op"] == "unprovision";
    if (decoded && forOthers && request.count("config") != 0) {
        set_dyn_CONFIGFILE(request["config"].c_str());
    }
    using Operation = uint32_t (*)(Fields const&, Fields&);
    static std::map<std::string, Operation> const operations = {
        {"join", Join},
        {"offline-join", OfflineJoin},
        {"leave", Leave},
        {"provision", Provision},
        {"domain-info", DomainInfo},
        {"find-dc", FindDomainController},
        {"unprovision", Unprovision},
    };
    auto const operation = operations.find(request["op"]);
    if (!decoded) {
        answer["error"] = "malformed request";
    } else if (operation == operations.end()) {
        answer["error"] = "unknown request";
    } else {
        // What this host's own join or leave changed goes back with the answer, also after a
        // failure: the files first, then what the operation noted itself.
        bool const changesHost =
            request["op"] == "join" || request["op"] == "offline-join" || request["op"] == "leave";
        sambaprovider::StartChangeRecord();
        sambaprovider::ChangedFiles const files(changesHost ? sambaprovider::MembershipFiles()
                                                            : std::vector<std::string>());
        try {
            status = operation->second(request, answer);
        } catch (std::exception const& error) {
            answer["error"] = error.what();
            status = 1359;
        }
        std::vector<std::string> changes = files.Changes();
        for (std::string const& change : sambaprovider::RecordedChanges())
            changes.push_back(change);
        std::string lines;
        for (std::string const& change : changes) lines += change + "\n";
        if (!lines.empty()) answer["changes"] = lines;
    }
    answer["status"] = std::to_string(status);
    return WriteAll(sambaprovider::EncodeFields(answer)) ? 0 : 1;
}

// A long-lived helper serves at most this many provisionings, which bounds what libnetapi
// keeps between them.
int const kServedLimit = 256;

// Which file the configuration is: the service replaces it when it learns the domain's NetBIOS
// name, and libnetapi reads it once per session.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified = {};
    off_t size = 0;
    bool operator==(FileIdentity const& other) const {
        return device == other.device && inode == other.inode &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec && size == other.size;
    }
};

FileIdentity Identify(std::string const& path) {
    FileIdentity identity;
    struct stat status = {};
    if (!path.empty() && stat(path.c_str(), &status) == 0) {
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
        identity.modified = status.st_mtim;
        identity.size = status.st_size;
    }
    return identity;
}

class Server {
public:
    // One provisioning in the kept session; its status.
    uint32_t Serve(Fields const& request, Fields& answer, int served) {
        if (sambahelper::Field(request, "op") != "provision") {
            answer["error"] = "a long-lived helper only provisions accounts";
            return 87;
        }
        std::string const config = sambahelper::Field(request, "config");
        if (!session_) {
            if (!config.empty()) set_dyn_CONFIGFILE(config.c_str());
            config_ = config;
            loaded_ = Identify(config_);
            session_.reset(new sambahelper::NetapiSession());
        } else if (config != config_) {
            answer["error"] = "a long-lived helper keeps the configuration file it started with";
            return 87;
        } else if (!(Identify(config_) == loaded_)) {
            loaded_ = Identify(config_);
            session_->Restart();
        }
        try {
            bool checkFailed = false;
            uint32_t status = sambahelper::Provision(*session_, request, answer, checkFailed);
            if (status != 0 && checkFailed && served > 0) {
                // Nothing was made yet, and a kept connection may have gone meanwhile (the DC
                // restarted or closed it): once more, connected afresh.
                session_->Restart();
                answer.clear();
                status = sambahelper::Provision(*session_, request, answer, checkFailed);
            }
            return status;
        } catch (std::exception const& error) {
            answer["error"] = error.what();
            return 1359;
        }
    }

private:
    std::unique_ptr<sambahelper::NetapiSession> session_;
    std::string config_;
    FileIdentity loaded_;
};

// Frames in, frames out. It ends at the end of its input, at a malformed frame, after a failed
// provisioning (a fresh process then serves the next, with fresh connections) and after
// kServedLimit of them.
int ServeFrames() {
    Server server;
    std::string buffer;
    for (int served = 0; served < kServedLimit; ++served) {
        Fields request;
        int taken = 0;
        while ((taken = sambaprovider::TakeFrame(buffer, request)) == 0) {
            char chunk[4096];
            ssize_t n = read(3, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        if (taken < 0) return 1;
        Fields answer;
        uint32_t const status = server.Serve(request, answer, served);
        bool const more = status == 0 && served + 1 < kServedLimit;
        answer["status"] = std::to_string(status);
        // Whether it takes another request: the service keeps it only then.
        if (more) answer["more"] = "1";
        if (!WriteAll(sambaprovider::EncodeFrame(answer))) return 1;
        if (!more) return 0;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The domain's DNS servers are often its DCs: with one of them stopped, every lookup would
    // wait five seconds for it before asking the next (dozens in a join, past its deadline).
    // One second per server, twice round, unless the administrator chose for this process.
    setenv("RES_OPTIONS", "timeout:1 attempts:2", 0);
    // libnetapi waits for the answer to its LDAP bind without a time-out: a DC that stopped
    // answering just then held a join until the deadline, with the account's fate unknown.
    // Each LDAP call waits at most as long as Samba's own LDAP searches (15 s); the handles
    // the libraries open later take this default.
    timeval const ldapLimit = {15, 0};
    ldap_set_option(nullptr, LDAP_OPT_TIMEOUT, &ldapLimit);
    // The process ends after its request (or its last provisioning): nothing outlives a session.
    sambahelper::NetapiSession::EndWithProcess();
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) return ServeFrames();
    return RunOnce();
}
