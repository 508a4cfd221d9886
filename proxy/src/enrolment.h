#ifndef TSLAUTH_PROXYD_ENROLMENT_H
#define TSLAUTH_PROXYD_ENROLMENT_H

// What the service answers, apart from HTTP: the domain's names and new computer accounts,
// each asked of a DC through one run of the Samba helper.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "config.h"
#include "samba_config.h"
#include "wire.h"

namespace proxyd {

using sambaprovider::Fields;
// Runs the helper with a request, stopping it after the deadline (seconds); its status, with
// the answer's fields in the second argument.
using HelperRunner = std::function<uint32_t(Fields const&, Fields&, int)>;

struct Reply {
    int httpStatus = 500;
    std::string body;     // JSON
    uint32_t status = 0;  // the Windows-style status of an error answer, 0 on success
    std::string message;  // what failed, for the client and the log; never a secret
};

// An error answer: {"status": N, "message": "..."}.
Reply ErrorReply(int httpStatus, uint32_t status, std::string const& message);
// The answer to a peer whose address may not enrol.
Reply RefusedReply(std::string const& peer);

class Enrolment {
public:
    Enrolment(ProxyConfig const& config, SambaConfig& samba, HelperRunner runner);

    // GET /v1/domain, from a cache kept for five minutes.
    Reply DomainInfo();
    // POST /v1/machine-accounts; `hostName` and `container` get what the request named, for
    // the log.
    Reply CreateAccount(std::string const& body, std::string& hostName, std::string& container);
    // Waits until every provisioning that outlived its answer has been undone (each is
    // bounded: LateSeconds() plus the deletions' deadlines).
    void Drain();

private:
    struct Provisioning;

    Reply AskDomainController();
    void LearnWorkgroup(std::string const& workgroup);
    Reply Provision(Fields const& request, std::string const& account);
    void Undo(std::string const& account, uint32_t status, Fields const& answer);
    void Release(std::string const& account);
    int LateSeconds() const;

    ProxyConfig const& config_;
    SambaConfig& samba_;
    HelperRunner const runner_;

    // One DC call at a time refreshes the cache; requests that arrive meanwhile share its
    // outcome instead of each waiting out a DC that does not answer.
    std::mutex mutex_;
    std::condition_variable refreshed_;
    bool refreshing_ = false;
    unsigned long generation_ = 0;
    bool cached_ = false;
    std::chrono::steady_clock::time_point cachedAt_;
    Reply cachedReply_;
    Reply lastReply_;

    // The account names with a provisioning under way, or one being undone: a second request
    // for such a name is refused, so that two requests never provision one name and a name
    // is free again only once nothing of an earlier attempt can appear on the DC.
    std::mutex namesMutex_;
    std::condition_variable namesChanged_;
    std::set<std::string> busyNames_;
    int lateRuns_ = 0;  // provisionings that outlived their answer
};

}  // namespace proxyd

#endif
