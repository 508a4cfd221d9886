// The join helper: one request on descriptor 3, one answer back on it. Standard output and
// error are /dev/null, where libnetapi's own prints go.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <map>
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

int main() {
    using namespace sambahelper;
    // The domain's DNS servers are often its DCs: with one of them stopped, every lookup would
    // wait five seconds for it before asking the next (dozens in a join, past its deadline).
    // One second per server, twice round, unless the administrator chose for this process.
    setenv("RES_OPTIONS", "timeout:1 attempts:2", 0);
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
    std::string reply = sambaprovider::EncodeFields(answer);
    std::size_t done = 0;
    while (done < reply.size()) {
        ssize_t n = write(3, reply.data() + done, reply.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}
