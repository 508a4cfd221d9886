// stores, activate, status: which store is active and what the host's membership is.
#include <authentication/authentication.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>

#include "changes.h"
#include "commands.h"
#include "exit_codes.h"
#include "output.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace tslauth {

using namespace ostrel::authentication;

namespace {

char const kActiveDirectory[] = "Active Directory";
int const kFactoryTimeout = 60;

AuthenticationStoreFactory& Factory() {
    return *Singleton<AuthenticationStoreFactory>::_instance;
}

Json DomainJson(Domain const& domain) {
    return {{"dns_name", domain.dnsName}, {"netbios_name", domain.netbiosName}};
}

std::string DomainText(Domain const& domain) {
    return domain.dnsName + " (" + domain.netbiosName + ")";
}

// Trust states as the library and the provider plug-ins report them.
std::string TrustStateName(TrustState state) {
    switch (state) {
        case 0:
            return "unknown";
        case 1:
            return "trusted";
        case 2:
            return "no answer in time";
        case 3:
            return "rejected by the domain";
        case 4:
            return "directory service not running";
        case 5:
            return "no domain controller answered";
        case 7:
            return "not joined";
        default:
            return "provider-specific";
    }
}

Json AnswerJson(QueryAnswer const& answer) {
    Json out;
    switch (answer.source) {
        case QueryAnswer::kFresh:
            out = {{"source", "fresh"}};
            break;
        case QueryAnswer::kCachedAfterTimeout:
            out = {{"source", "cached after time-out"}, {"timeout", answer.timeout}};
            break;
        case QueryAnswer::kCachedInFlight:
            out = {{"source", "cached, query in flight"}};
            break;
        case QueryAnswer::kCachedAfterFailure:
            out = {{"source", "cached after failure"},
                   {"code", answer.code},
                   {"message", answer.message}};
            break;
    }
    if (!answer.failedCalls.empty()) {
        Json& calls = out["failed_calls"] = Json::array();
        for (QueryAnswer::FailedCall const& call : answer.failedCalls) {
            calls.push_back({{"call", call.call}, {"code", call.code}, {"message", call.message}});
        }
    }
    return out;
}

// Whether the directory answered for a field in this run: the plug-in call that fills it
// returned (the store configuration answers field by field). A failure is an answer too; its
// error is shown with the field.
bool Answered(QueryAnswer const& answer, char const* call = nullptr) {
    if (answer.source == QueryAnswer::kFresh || answer.source == QueryAnswer::kCachedAfterFailure) {
        return true;
    }
    if (answer.source != QueryAnswer::kCachedAfterTimeout || call == nullptr) return false;
    for (std::string const& pending : answer.unansweredCalls) {
        if (pending == call) return false;
    }
    return true;
}

// What a field shows that got no answer in this run and had nothing cached: what is not known
// is never shown as empty ("not joined", "none").
std::string Unknown(QueryAnswer const& answer) {
    if (answer.source == QueryAnswer::kCachedInFlight) {
        return "(no answer yet: an earlier query still waits)";
    }
    return "(no answer within " + std::to_string(answer.timeout) + " s)";
}

// Nothing for a fresh answer; otherwise where the answer shown comes from.
void AnswerText(char const* query, QueryAnswer const& answer, std::ostream& out) {
    char const cached[] = "shown is what this process had cached (nothing before its first answer)";
    switch (answer.source) {
        case QueryAnswer::kFresh:
            break;
        case QueryAnswer::kCachedAfterTimeout:
            out << "Note: no answer to the " << query << " query within " << answer.timeout << " s";
            if (answer.unansweredCalls.empty()) {
                out << "; " << cached << ".\n";
            } else {
                // The configuration answers call by call: only these fields are the cache's.
                out << " from ";
                for (std::size_t i = 0; i < answer.unansweredCalls.size(); ++i) {
                    out << (i == 0 ? "" : ", ") << answer.unansweredCalls[i];
                }
                out << "; their fields show what this process had cached (nothing before its "
                       "first answer).\n";
            }
            break;
        case QueryAnswer::kCachedInFlight:
            out << "Note: the " << query << " query was still waiting for the directory; " << cached
                << ".\n";
            break;
        case QueryAnswer::kCachedAfterFailure:
            out << "Error: the " << query << " query failed: " << answer.message << "; " << cached
                << ".\n";
            break;
    }
    for (QueryAnswer::FailedCall const& call : answer.failedCalls) {
        out << "Error: " << call.call << " failed, its field is empty: " << call.message << "\n";
    }
}

}  // namespace

void ExitNow(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(status);
}

int Stores(Arguments const& arguments) {
    arguments.ExpectPositionals(0, 0);
    bool const json = arguments.Flag("json");
    std::vector<std::string> const names = Factory().GetRegisteredStores();
    Json out = Json::array();
    for (std::size_t i = 0; i < names.size(); ++i) {
        bool active = false;
        std::string error;
        try {
            std::auto_ptr<AuthenticationStore> store = Factory().CreateInstance(names[i]);
            active = store.get() != nullptr && store->IsActive();
        } catch (std::exception const& e) {
            error = Describe(e);
        }
        if (json) {
            Json store = {{"name", names[i]}, {"active", active}};
            if (!error.empty()) store["error"] = error;
            out.push_back(store);
        } else {
            std::cout << (active ? "* " : "  ") << names[i];
            if (!error.empty()) std::cout << "  (state unknown: " << error << ")";
            std::cout << "\n";
        }
    }
    if (json) std::cout << JsonText(out) << "\n";
    return kSuccess;
}

int Activate(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    std::string const& name = arguments.Positionals()[0];
    bool const json = arguments.Flag("json");
    std::auto_ptr<AuthenticationStore> store = Factory().CreateInstance(name);
    if (store.get() == nullptr) throw UnknownRemoteAuthenticationStoreException(name);
    std::vector<std::string> const changes = RunChangingHost(json, [&] { store->MakeActive(); });
    if (json) {
        std::cout << JsonText({{"active_store", store->GetDisplayName()},
                               {"changes", ChangesJson(changes)}})
                  << "\n";
    } else {
        std::cout << "Active store: " << store->GetDisplayName() << "\n";
    }
    return kSuccess;
}

int Status(Arguments const& arguments) {
    arguments.ExpectPositionals(0, 0);
    bool const json = arguments.Flag("json");
    int timeout = kFactoryTimeout;
    std::unique_ptr<ActiveDirectoryStore> store;
    if (arguments.Has("timeout")) {
        std::string const text = arguments.Value("timeout");
        char* end = nullptr;
        long const value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || value < 1 || value > 3600) {
            throw UsageError("--timeout takes a number of seconds from 1 to 3600");
        }
        timeout = static_cast<int>(value);
        store.reset(new ActiveDirectoryStore(timeout));
    }

    // A list that cannot be read is shown as such; the rest of the status still is.
    std::string permittedText;
    Json permittedJson;
    try {
        LoginPermissions const permitted = LoginPermissions::Load();
        permittedText = LoginPermissionsText(permitted);
        permittedJson = LoginPermissionsJson(permitted);
    } catch (std::exception const& e) {
        permittedText = "(unknown: " + Describe(e) + ")\n";
        permittedJson = {{"error", Describe(e)}};
    }
    std::string active = "(none)";
    for (std::string const& name : Factory().GetRegisteredStores()) {
        std::auto_ptr<AuthenticationStore> candidate = Factory().CreateInstance(name);
        if (candidate.get() != nullptr && candidate->IsActive()) active = name;
    }
    if (!store) {
        std::auto_ptr<AuthenticationStore> made = Factory().CreateInstance(kActiveDirectory);
        store.reset(dynamic_cast<ActiveDirectoryStore*>(made.get()));
        if (store) made.release();
    }
    if (!store) throw UnknownRemoteAuthenticationStoreException(kActiveDirectory);

    // All three queries wait at the same time, so a directory that does not answer costs
    // one time-out: the trust state's own listing of the trusted domains is the listing shown.
    std::unique_ptr<StoreConfiguration> configuration;
    QueryAnswer configurationAnswer, trustedAnswer, trustStateAnswer;
    auto configurationQuery = std::async(std::launch::async, [&] {
        configuration.reset(store->GetStoreConfiguration(configurationAnswer));
    });
    std::deque<Domain> trusted;
    TrustState trustState = 0;
    try {
        trustState = store->GetDomainTrustState(trustStateAnswer, trusted, trustedAnswer);
    } catch (...) {
        configurationQuery.wait();
        throw;
    }
    configurationQuery.get();

    struct Query {
        char const* text;
        char const* key;
        QueryAnswer const& answer;
    };
    Query const queries[] = {{"configuration", "configuration", configurationAnswer},
                             {"trusted domains", "trusted_domains", trustedAnswer},
                             {"trust state", "trust_state", trustStateAnswer}};
    std::vector<std::string> timedOut;
    bool failed = false, settled = true;
    for (Query const& query : queries) {
        if (query.answer.source == QueryAnswer::kCachedAfterTimeout) timedOut.push_back(query.text);
        if (query.answer.source == QueryAnswer::kCachedAfterFailure) failed = true;
        if (query.answer.source != QueryAnswer::kFresh) settled = false;
    }
    ActiveDirectoryStoreConfiguration const* ad =
        dynamic_cast<ActiveDirectoryStoreConfiguration const*>(configuration.get());
    ActiveDirectoryStoreConfiguration const empty;
    if (ad == nullptr) ad = &empty;
    bool const joined = !ad->activeDomain.dnsName.empty();
    std::vector<std::string> const controllers(ad->preferredDomainControllers.begin(),
                                               ad->preferredDomainControllers.end());
    // The fields the directory gave no answer for in this run, by their JSON keys.
    struct Field {
        char const* key;
        bool answered;
    };
    Field const fields[] = {
        {"domain", Answered(configurationAnswer, "GetActiveDomain")},
        {"machine_account", Answered(configurationAnswer, "GetMachineAccountDN")},
        {"preferred_controllers", Answered(configurationAnswer, "GetPreferredDomainControllers")},
        {"trust_state", Answered(trustStateAnswer)},
        {"trusted_domains", Answered(trustedAnswer)}};
    std::vector<std::string> unanswered;
    for (Field const& field : fields) {
        if (!field.answered) unanswered.push_back(field.key);
    }
    auto shown = [&](bool empty, std::string const& value, bool answered, std::string const& none,
                     QueryAnswer const& answer) {
        return !empty ? value : answered ? none : Unknown(answer);
    };

    if (json) {
        Json trustedDomains = Json::array(), answers = Json::object();
        for (Domain const& domain : trusted) trustedDomains.push_back(DomainJson(domain));
        for (Query const& query : queries) answers[query.key] = AnswerJson(query.answer);
        std::cout << JsonText({{"active_store", active},
                               {"login_permissions", permittedJson},
                               {"domain", joined ? DomainJson(ad->activeDomain) : Json()},
                               {"machine_account", ad->machineAccountDN},
                               {"preferred_controllers", controllers},
                               {"trust_state", trustState},
                               {"trust_state_name", TrustStateName(trustState)},
                               {"trusted_domains", trustedDomains},
                               {"answers", answers},
                               {"timed_out", timedOut},
                               {"unanswered_fields", unanswered}})
                  << "\n";
    } else {
        std::string controllerList;
        for (std::size_t i = 0; i < controllers.size(); ++i) {
            controllerList += (i == 0 ? "" : " ") + controllers[i];
        }
        std::cout << "Active store:          " << active << "\n"
                  << "May log in:            " << permittedText << "Domain:                "
                  << shown(!joined, joined ? DomainText(ad->activeDomain) : "", fields[0].answered,
                           "(not joined)", configurationAnswer)
                  << "\n"
                  << "Machine account:       "
                  << shown(ad->machineAccountDN.empty(), ad->machineAccountDN, fields[1].answered,
                           "(none)", configurationAnswer)
                  << "\n"
                  << "Preferred controllers: "
                  << shown(controllers.empty(), controllerList, fields[2].answered, "(none)",
                           configurationAnswer)
                  << "\n"
                  << "Trust state:           " << trustState << " ("
                  << (trustStateAnswer.source == QueryAnswer::kCachedAfterTimeout
                          ? "no answer within " + std::to_string(trustStateAnswer.timeout) + " s"
                          : TrustStateName(trustState))
                  << ")\n"
                  << "Trusted domains:       "
                  << shown(trusted.empty(), "", fields[4].answered, "(none)", trustedAnswer)
                  << "\n";
        for (Domain const& domain : trusted) std::cout << "  " << DomainText(domain) << "\n";
        for (Query const& query : queries) AnswerText(query.text, query.answer, std::cout);
    }
    if (!timedOut.empty()) ExitNow(kTimedOut);
    // A worker may still be waiting on the directory: do not unload anything under it.
    if (!settled) ExitNow(failed ? kDirectory : kSuccess);
    return kSuccess;
}

}  // namespace tslauth
