#include "enrolment.h"

#include <syslog.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "host_name.h"

namespace proxyd {

namespace {

using json = nlohmann::json;

uint32_t const kAccessDenied = 5;
uint32_t const kInvalidParameter = 87;
uint32_t const kInvalidComputerName = 1210;
uint32_t const kAccountExists = 1316;
uint32_t const kNoLogonServers = 1311;
uint32_t const kInternalError = 1359;
uint32_t const kTimedOut = 10060;
auto const kDomainInfoLifetime = std::chrono::minutes(5);
// A provisioning that outlives its answer runs on for this many dc-timeouts (at least
// kMinLateSeconds) so that what it makes can be deleted; tries to delete it.
int const kLateTimeouts = 4;
int const kMinLateSeconds = 60;
int const kUndoTries = 3;
// Provisionings that outlived their answer, each a thread and a helper process: past this
// many, requests for accounts are refused at once until one ends.
int const kMaxLateRuns = 16;
uint32_t const kBusy = 170;
std::size_t const kMaxContainerLength = 1024;

std::string Dump(json const& value) {
    // Text from the directory need not be UTF-8; such bytes become U+FFFD instead of failing.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Field(Fields const& fields, char const* name) {
    auto const found = fields.find(name);
    return found == fields.end() ? "" : found->second;
}

// A failure the helper reported, as the client sees it.
Reply HelperFailure(uint32_t status, Fields const& answer, ProxyConfig const& config) {
    std::string message = Field(answer, "error");
    int http = 502;
    switch (status) {
        case kInvalidComputerName:
            http = 400;
            break;
        case kAccountExists:
            http = 409;
            break;
        case kNoLogonServers:
            http = 504;
            if (message.empty()) message = "no domain controller of " + config.domain + " answered";
            break;
        case kTimedOut:
            http = 504;
            message = "the domain controller did not answer within " +
                      std::to_string(config.dcTimeoutSeconds) + " s";
            break;
        case kInternalError:
            http = 500;
            if (message.empty()) message = "the helper failed; the service's log says why";
            break;
    }
    if (message.empty())
        message = "the directory request failed with status " + std::to_string(status);
    return ErrorReply(http, status, message);
}

// The body as a JSON object of strings and nulls; nested values are refused while parsing,
// so that a deep body costs no deep recursion.
bool ParseBody(std::string const& body, json& value) {
    bool nested = false;
    json::parser_callback_t const flat = [&nested](int depth, json::parse_event_t event, json&) {
        if (depth > 1 || (depth == 1 && (event == json::parse_event_t::object_start ||
                                         event == json::parse_event_t::array_start))) {
            nested = true;
            return false;
        }
        return true;
    };
    value = json::parse(body, flat, false);
    return !nested && value.is_object();
}

}  // namespace

Reply ErrorReply(int httpStatus, uint32_t status, std::string const& message) {
    Reply reply;
    reply.httpStatus = httpStatus;
    reply.status = status;
    reply.message = message;
    reply.body = Dump({{"status", status}, {"message", message}});
    return reply;
}

Reply RefusedReply(std::string const& peer) {
    if (peer.empty()) {
        return ErrorReply(403, kAccessDenied, "a malformed request, from an address not checked");
    }
    return ErrorReply(403, kAccessDenied, "the address " + peer + " may not enrol hosts");
}

Enrolment::Enrolment(ProxyConfig const& config, SambaConfig& samba, HelperRunner runner)
    : config_(config), samba_(samba), runner_(std::move(runner)) {}

void Enrolment::LearnWorkgroup(std::string const& workgroup) {
    try {
        if (samba_.LearnWorkgroup(workgroup)) {
            syslog(LOG_INFO, "the domain's NetBIOS name is %s; %s rewritten", workgroup.c_str(),
                   samba_.Path().c_str());
        }
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "%s", error.what());
    }
}

Reply Enrolment::AskDomainController() {
    Fields request = {{"op", "domain-info"},
                      {"domain", config_.domain},
                      {"user", config_.user},
                      {"password", config_.password},
                      {"config", samba_.Path()}};
    Fields answer;
    uint32_t status = kInternalError;
    try {
        status = runner_(request, answer, config_.dcTimeoutSeconds);
    } catch (std::exception const& error) {
        answer["error"] = error.what();
    }
    if (status != 0) return HelperFailure(status, answer, config_);
    std::string const netbios = Field(answer, "netbios-domain");
    std::string const dns = Field(answer, "dns-domain");
    std::string const sid = Field(answer, "sid");
    if (netbios.empty() || dns.empty() || sid.empty()) {
        return ErrorReply(500, kInternalError, "the helper's answer lacked the domain's names");
    }
    LearnWorkgroup(netbios);
    Reply reply;
    reply.httpStatus = 200;
    reply.body = Dump({{"netbios_name", netbios}, {"dns_name", dns}, {"sid", sid}});
    return reply;
}

Reply Enrolment::DomainInfo() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (cached_ && std::chrono::steady_clock::now() - cachedAt_ < kDomainInfoLifetime) {
            return cachedReply_;
        }
        if (!refreshing_) break;
        // Bounded: the refresh ends at the helper's deadline.
        unsigned long const generation = generation_;
        refreshed_.wait(lock, [&] { return generation_ != generation; });
        if (lastReply_.httpStatus != 200) return lastReply_;
    }
    refreshing_ = true;
    lock.unlock();
    Reply reply = AskDomainController();
    lock.lock();
    refreshing_ = false;
    ++generation_;
    lastReply_ = reply;
    if (reply.httpStatus == 200) {
        cached_ = true;
        cachedAt_ = std::chrono::steady_clock::now();
        cachedReply_ = reply;
    }
    refreshed_.notify_all();
    return reply;
}

Reply Enrolment::CreateAccount(std::string const& body, std::string& hostName,
                               std::string& askedContainer) {
    json request;
    if (!ParseBody(body, request)) {
        return ErrorReply(400, kInvalidParameter, "the body is not a JSON object of strings");
    }
    auto const host = request.find("host_name");
    if (host == request.end() || !host->is_string()) {
        return ErrorReply(400, kInvalidParameter, "the body has no host_name string");
    }
    hostName = host->get<std::string>();
    std::string container = config_.container;
    auto const asked = request.find("container");
    if (asked != request.end() && !asked->is_null()) {
        if (!asked->is_string()) {
            return ErrorReply(400, kInvalidParameter, "container is neither a string nor null");
        }
        askedContainer = asked->get<std::string>();
        if (!asked->get<std::string>().empty()) container = asked->get<std::string>();
    }
    if (container.size() > kMaxContainerLength) {
        return ErrorReply(400, kInvalidParameter, "container is longer than 1024 characters");
    }
    for (char c : container) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return ErrorReply(400, kInvalidParameter, "container holds control characters");
        }
    }
    std::string account, why;
    if (!AccountNameForHost(hostName, account, why)) {
        return ErrorReply(400, kInvalidComputerName,
                          "'" + hostName + "' cannot be enrolled: " + why);
    }

    Fields helperRequest = {
        {"op", "provision"},    {"domain", config_.domain},     {"host-name", hostName},
        {"user", config_.user}, {"password", config_.password}, {"config", samba_.Path()}};
    if (!container.empty()) helperRequest["container"] = container;
    account += '$';
    {
        std::lock_guard<std::mutex> lock(namesMutex_);
        if (lateRuns_ >= kMaxLateRuns) {
            return ErrorReply(503, kBusy,
                              std::to_string(lateRuns_) +
                                  " provisionings answered with a time-out are still running "
                                  "against the DC; ask again later");
        }
        if (!busyNames_.insert(account).second) {
            return ErrorReply(
                409, kAccountExists,
                "an enrolment of " + account + " is under way or being undone; ask again later");
        }
    }
    return Provision(helperRequest, account);
}

// One provisioning, on a thread of its own so that the request is answered at dc-timeout
// while the helper runs on: a DC that was merely slow may still create the account, and only
// a helper that sees the call end can say so and have it deleted again. Killing the helper
// at dc-timeout would not stop a DC that holds the request already.
struct Enrolment::Provisioning {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool answered = false;  // the client was answered without waiting for the result
    uint32_t status = kInternalError;
    Fields answer;
};

int Enrolment::LateSeconds() const {
    return std::max(kLateTimeouts * config_.dcTimeoutSeconds, kMinLateSeconds);
}

Reply Enrolment::Provision(Fields const& request, std::string const& account) {
    auto const run = std::make_shared<Provisioning>();
    try {
        std::thread([this, run, request, account] {
            Fields answer;
            uint32_t status = kInternalError;
            try {
                status = runner_(request, answer, LateSeconds());
            } catch (std::exception const& error) {
                answer["error"] = error.what();
            }
            std::unique_lock<std::mutex> lock(run->mutex);
            run->finished = true;
            if (!run->answered) {
                run->status = status;
                run->answer = std::move(answer);
                run->done.notify_one();
                return;
            }
            lock.unlock();
            Undo(account, status, answer);
        }).detach();
    } catch (std::exception const& error) {
        Release(account);
        return ErrorReply(500, kInternalError, std::string("no thread: ") + error.what());
    }
    std::unique_lock<std::mutex> lock(run->mutex);
    if (!run->done.wait_for(lock, std::chrono::seconds(config_.dcTimeoutSeconds),
                            [&] { return run->finished; })) {
        {
            // Counted before the thread can see it was answered and count it down.
            std::lock_guard<std::mutex> names(namesMutex_);
            ++lateRuns_;
        }
        run->answered = true;
        return HelperFailure(kTimedOut, Fields(), config_);
    }
    uint32_t const status = run->status;
    Fields const answer = run->answer;
    lock.unlock();
    Release(account);
    if (status != 0) return HelperFailure(status, answer, config_);
    std::string const created = Field(answer, "account");
    std::string const provisioning = Field(answer, "provisioning");
    if (created.empty() || provisioning.empty()) {
        return ErrorReply(500, kInternalError, "the helper's answer lacked the account");
    }
    LearnWorkgroup(Field(answer, "workgroup"));
    Reply reply;
    reply.httpStatus = 201;
    reply.body = Dump({{"account", created}, {"provisioning", provisioning}});
    return reply;
}

void Enrolment::Release(std::string const& account) {
    std::lock_guard<std::mutex> lock(namesMutex_);
    busyNames_.erase(account);
}

// The provisioning ended after its request was answered with a time-out: the host never got
// the account, so an account it made is deleted. The name stays taken until then.
void Enrolment::Undo(std::string const& account, uint32_t status, Fields const& answer) {
    if (status == 0) {
        Fields request = {{"op", "unprovision"},    {"domain", config_.domain},
                          {"account", account},     {"dc", Field(answer, "dc")},
                          {"user", config_.user},   {"password", config_.password},
                          {"config", samba_.Path()}};
        uint32_t undone = kInternalError;
        Fields result;
        for (int attempt = 0; attempt < kUndoTries && undone != 0; ++attempt) {
            result.clear();
            try {
                undone = runner_(request, result, config_.dcTimeoutSeconds);
            } catch (std::exception const& error) {
                result["error"] = error.what();
            }
        }
        if (undone == 0) {
            syslog(LOG_WARNING,
                   "%s: created after its request was answered with a time-out; deleted again",
                   account.c_str());
        } else {
            syslog(LOG_ERR,
                   "%s: created after its request was answered with a time-out, and could not "
                   "be deleted (status %u: %s); nobody uses it: delete it",
                   account.c_str(), undone, Field(result, "error").c_str());
        }
    } else if (status == kTimedOut) {
        syslog(LOG_ERR,
               "%s: the DC did not finish provisioning it within %d s; if that account appears, "
               "nobody uses it: delete it",
               account.c_str(), LateSeconds());
    } else {
        syslog(LOG_INFO,
               "%s: the provisioning answered too late ended with status %u; nothing "
               "to delete",
               account.c_str(), status);
    }
    std::lock_guard<std::mutex> lock(namesMutex_);
    busyNames_.erase(account);
    --lateRuns_;
    namesChanged_.notify_all();
}

void Enrolment::Drain() {
    std::unique_lock<std::mutex> lock(namesMutex_);
    if (lateRuns_ != 0) {
        syslog(LOG_INFO, "waiting for %d provisionings answered too late to be undone", lateRuns_);
    }
    namesChanged_.wait(lock, [this] { return lateRuns_ == 0; });
}

}  // namespace proxyd
