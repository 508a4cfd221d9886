// The three queries that can hang: each runs the provider on a worker thread, waits at most
// the store's time-out, and otherwise answers from the cache the last worker filled.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/worker_calls.h>
#include <syslog.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "locked.h"

namespace ostrel {
namespace authentication {

pthread_mutex_t ActiveDirectoryStore::_lock = PTHREAD_MUTEX_INITIALIZER;
bool ActiveDirectoryStore::_isGetStoreConfigThreadActive = false;
bool ActiveDirectoryStore::_isGetTrustedDomainsThreadActive = false;
bool ActiveDirectoryStore::_isGetTrustStateThreadActive = false;

namespace {

// Marks a query kind in flight; false when a worker of that kind already is.
bool Claim(pthread_mutex_t& lock, bool& inFlight) {
    Locked hold(lock);
    if (inFlight) return false;
    inFlight = true;
    return true;
}

void Release(pthread_mutex_t& lock, bool& inFlight) {
    Locked hold(lock);
    inFlight = false;
}

// Starts the worker and waits for it. Returns false when the wait timed out. Until the worker
// runs, a failure here clears the flag again, so a query kind is never left in flight
// without a worker to clear it.
bool RunWorker(pthread_mutex_t& lock, bool& inFlight, int timeout,
               std::function<void(boost::shared_ptr<RequestState>)> const& bind) {
    boost::shared_ptr<RequestState> state;
    try {
        state.reset(new RequestState());
        TslauthThreadUtil::ScheduleThread(std::bind(bind, state));
    } catch (...) {
        Release(lock, inFlight);
        throw;
    }
    try {
        state->WaitResult(timeout);
    } catch (ProviderCallTimedOutException const&) {
        return false;
    }
    return true;
}

// Starts the worker; until it runs, a failure here clears the flag again.
boost::shared_ptr<RequestState> StartWorker(
    pthread_mutex_t& lock, bool& inFlight,
    std::function<void(boost::shared_ptr<RequestState>)> const& bind) {
    try {
        boost::shared_ptr<RequestState> state(new RequestState());
        TslauthThreadUtil::ScheduleThread(std::bind(bind, state));
        return state;
    } catch (...) {
        Release(lock, inFlight);
        throw;
    }
}

// Waits for a started worker and says how it ended, instead of raising its failure.
void AwaitAnswer(RequestState& state, int timeout, QueryAnswer& answer) {
    try {
        state.WaitResult(timeout);
        answer.source = QueryAnswer::kFresh;
    } catch (ProviderCallTimedOutException const&) {
        answer.source = QueryAnswer::kCachedAfterTimeout;
        answer.timeout = timeout;
    } catch (ThreadErrorException const&) {
        throw;
    } catch (Exception const& e) {
        answer.source = QueryAnswer::kCachedAfterFailure;
        answer.code = e.GetCode();
        answer.message = e.what();
    }
}

// What a configuration worker has got so far, call by call, for a caller that stops waiting
// before the last call returns.
struct ConfigurationProgress {
    std::mutex lock;
    ActiveDirectoryStoreConfiguration fields;  // those of the calls in `answered`
    std::vector<std::string> answered;         // the calls that returned, failed or not
    std::vector<QueryAnswer::FailedCall> failed;
};

char const kGetActiveDomain[] = "GetActiveDomain";
char const kGetPreferredDomainControllers[] = "GetPreferredDomainControllers";
char const kGetMachineAccountDN[] = "GetMachineAccountDN";

// Asks the plug-in for each field of the configuration; a failed call leaves its field empty.
// With `progress`, each call's field and failure go there as soon as the call returns.
void CollectConfiguration(ActiveDirectoryProvider const& provider,
                          ActiveDirectoryStoreConfiguration& fresh,
                          ConfigurationProgress* progress) {
    auto attempt = [&](char const* call, std::function<void()> const& get,
                       std::function<void(ActiveDirectoryStoreConfiguration&)> const& publish) {
        bool ok = false;
        QueryAnswer::FailedCall failure{call, 0, "unknown error"};
        try {
            get();
            ok = true;
        } catch (Exception const& e) {
            failure = {call, e.GetCode(), e.what()};
        } catch (std::exception const& e) {
            failure.message = e.what();
        } catch (...) {
        }
        if (progress == nullptr) return;
        std::lock_guard<std::mutex> hold(progress->lock);
        if (ok) publish(progress->fields);
        if (!ok) progress->failed.push_back(failure);
        progress->answered.push_back(call);
    };
    attempt(
        kGetActiveDomain, [&] { fresh.activeDomain = provider.GetActiveDomain(); },
        [&](ActiveDirectoryStoreConfiguration& to) { to.activeDomain = fresh.activeDomain; });
    attempt(
        kGetPreferredDomainControllers,
        [&] { fresh.preferredDomainControllers = provider.GetPreferredDomainControllers(); },
        [&](ActiveDirectoryStoreConfiguration& to) {
            to.preferredDomainControllers = fresh.preferredDomainControllers;
        });
    attempt(
        kGetMachineAccountDN, [&] { fresh.machineAccountDN = provider.GetMachineAccountDN(); },
        [&](ActiveDirectoryStoreConfiguration& to) {
            to.machineAccountDN = fresh.machineAccountDN;
        });
}

// The cached configuration with the fields that the worker's calls answered within the
// time-out laid over it; the calls still out go to `answer`.
ActiveDirectoryStoreConfiguration* AfterTimeout(ActiveDirectoryStoreConfiguration const& cached,
                                                ConfigurationProgress& progress,
                                                QueryAnswer& answer) {
    std::unique_ptr<ActiveDirectoryStoreConfiguration> shown(
        new ActiveDirectoryStoreConfiguration(cached));
    std::lock_guard<std::mutex> hold(progress.lock);
    auto const answered = [&](char const* call) {
        if (std::find(progress.answered.begin(), progress.answered.end(), call) !=
            progress.answered.end()) {
            return true;
        }
        answer.unansweredCalls.push_back(call);
        return false;
    };
    if (answered(kGetActiveDomain)) shown->activeDomain = progress.fields.activeDomain;
    if (answered(kGetPreferredDomainControllers)) {
        shown->preferredDomainControllers = progress.fields.preferredDomainControllers;
    }
    if (answered(kGetMachineAccountDN)) shown->machineAccountDN = progress.fields.machineAccountDN;
    answer.failedCalls = progress.failed;
    return shown.release();
}

// Hands a failure to the waiting caller as a member of the library's family.
void ReportFailure(RequestState& state, char const* query) {
    try {
        throw;
    } catch (Exception const& e) {
        state.Done(&e);
    } catch (std::exception const& e) {
        Exception wrapped(std::string(query) + " failed: " + e.what());
        state.Done(&wrapped);
    } catch (...) {
        Exception wrapped(std::string(query) + " failed with an unknown error");
        state.Done(&wrapped);
    }
}

}  // namespace

StoreConfiguration* ActiveDirectoryStore::GetStoreConfiguration() const {
    if (Claim(_lock, _isGetStoreConfigThreadActive)) {
        boost::shared_ptr<ActiveDirectoryProvider> p = provider;
        boost::shared_ptr<ActiveDirectoryStoreConfiguration> cache = configurationCache;
        if (!RunWorker(_lock, _isGetStoreConfigThreadActive, timeout,
                       [p, cache](boost::shared_ptr<RequestState> state) {
                           GetStoreConfigurationInt(p, state, cache);
                       })) {
            syslog(LOG_WARNING, "GetStoreConfiguration call timedout. Returning cached value.");
        }
    }
    Locked hold(_lock);
    return new ActiveDirectoryStoreConfiguration(*configurationCache);
}

void ActiveDirectoryStore::GetStoreConfigurationInt(
    boost::shared_ptr<ActiveDirectoryProvider> provider,
    boost::shared_ptr<RequestState> requestState,
    boost::shared_ptr<ActiveDirectoryStoreConfiguration> configurationCache) {
    // Each call that fails leaves its field empty.
    ActiveDirectoryStoreConfiguration fresh;
    CollectConfiguration(*provider, fresh, nullptr);
    {
        Locked hold(_lock);
        _isGetStoreConfigThreadActive = false;
        configurationCache->activeDomain.dnsName.swap(fresh.activeDomain.dnsName);
        configurationCache->activeDomain.netbiosName.swap(fresh.activeDomain.netbiosName);
        configurationCache->preferredDomainControllers.swap(fresh.preferredDomainControllers);
        configurationCache->machineAccountDN.swap(fresh.machineAccountDN);
    }
    requestState->Done(nullptr);
}

std::deque<Domain> ActiveDirectoryStore::GetTrustedDomains() const {
    if (Claim(_lock, _isGetTrustedDomainsThreadActive)) {
        boost::shared_ptr<ActiveDirectoryProvider> p = provider;
        boost::shared_ptr<std::deque<Domain> > cache = trustedDomainsCache;
        if (!RunWorker(_lock, _isGetTrustedDomainsThreadActive, timeout,
                       [p, cache](boost::shared_ptr<RequestState> state) {
                           GetTrustedDomainsInt(p, state, cache);
                       })) {
            syslog(LOG_WARNING, "GetTrustedDomains call timedout. Returning cached value.");
        }
    }
    Locked hold(_lock);
    return *trustedDomainsCache;
}

void ActiveDirectoryStore::GetTrustedDomainsInt(
    boost::shared_ptr<ActiveDirectoryProvider> provider,
    boost::shared_ptr<RequestState> requestState,
    boost::shared_ptr<std::deque<Domain> > trustedDomainsCache) {
    std::deque<Domain> domains;
    try {
        domains = provider->GetTrustedDomains();
    } catch (CallNotImplementedException const&) {
        // No listing means no trusted domains.
    } catch (...) {
        Release(_lock, _isGetTrustedDomainsThreadActive);
        ReportFailure(*requestState, "GetTrustedDomains");
        return;
    }
    {
        Locked hold(_lock);
        trustedDomainsCache->swap(domains);
        _isGetTrustedDomainsThreadActive = false;
    }
    requestState->Done(nullptr);
}

TrustState ActiveDirectoryStore::GetDomainTrustState() const {
    try {
        GetTrustedDomains();
    } catch (FileNotFoundException const&) {
        Locked hold(_lock);
        *trustStateCache = 7;
        return 7;
    } catch (Exception const& e) {
        syslog(LOG_WARNING, "GetDomainTrustState: Call to GetTrustedDomains() failed: %s",
               e.what());
    }

    bool answered = true;
    if (Claim(_lock, _isGetTrustStateThreadActive)) {
        boost::shared_ptr<ActiveDirectoryProvider> p = provider;
        boost::shared_ptr<TrustState> cache = trustStateCache;
        answered = RunWorker(_lock, _isGetTrustStateThreadActive, timeout,
                             [p, cache](boost::shared_ptr<RequestState> state) {
                                 GetDomainTrustStateInt(p, state, cache);
                             });
        if (!answered) {
            syslog(LOG_WARNING, "GetDomainTrustState call timedout. Returning cached value.");
        }
    }
    Locked hold(_lock);
    if (!answered) *trustStateCache = 2;
    return *trustStateCache;
}

void ActiveDirectoryStore::GetDomainTrustStateInt(
    boost::shared_ptr<ActiveDirectoryProvider> provider,
    boost::shared_ptr<RequestState> requestState, boost::shared_ptr<TrustState> trustStateCache) {
    TrustState state = 0;
    try {
        state = provider->GetDomainTrustState();
    } catch (CallNotImplementedException const&) {
        state = 0;
    } catch (...) {
        Release(_lock, _isGetTrustStateThreadActive);
        ReportFailure(*requestState, "GetDomainTrustState");
        return;
    }
    {
        Locked hold(_lock);
        *trustStateCache = state;
        _isGetTrustStateThreadActive = false;
    }
    requestState->Done(nullptr);
}

StoreConfiguration* ActiveDirectoryStore::GetStoreConfiguration(QueryAnswer& answer) const {
    answer = QueryAnswer();
    if (!Claim(_lock, _isGetStoreConfigThreadActive)) {
        answer.source = QueryAnswer::kCachedInFlight;
    } else {
        boost::shared_ptr<ActiveDirectoryProvider> p = provider;
        boost::shared_ptr<ActiveDirectoryStoreConfiguration> cache = configurationCache;
        // Shared with the worker, which may still be filling it after a time-out.
        auto progress = boost::make_shared<ConfigurationProgress>();
        boost::shared_ptr<RequestState> state =
            StartWorker(_lock, _isGetStoreConfigThreadActive,
                        [p, cache, progress](boost::shared_ptr<RequestState> requestState) {
                            ActiveDirectoryStoreConfiguration fresh;
                            CollectConfiguration(*p, fresh, progress.get());
                            {
                                Locked hold(_lock);
                                _isGetStoreConfigThreadActive = false;
                                *cache = fresh;
                            }
                            requestState->Done(nullptr);
                        });
        AwaitAnswer(*state, timeout, answer);
        if (answer.source == QueryAnswer::kCachedAfterTimeout) {
            syslog(LOG_WARNING, "GetStoreConfiguration call timedout. Returning cached value.");
            std::unique_ptr<ActiveDirectoryStoreConfiguration> cached;
            {
                Locked hold(_lock);
                cached.reset(new ActiveDirectoryStoreConfiguration(*configurationCache));
            }
            return AfterTimeout(*cached, *progress, answer);
        }
        std::lock_guard<std::mutex> hold(progress->lock);
        answer.failedCalls = progress->failed;
    }
    Locked hold(_lock);
    return new ActiveDirectoryStoreConfiguration(*configurationCache);
}

std::deque<Domain> ActiveDirectoryStore::GetTrustedDomains(QueryAnswer& answer) const {
    answer = QueryAnswer();
    if (!Claim(_lock, _isGetTrustedDomainsThreadActive)) {
        answer.source = QueryAnswer::kCachedInFlight;
    } else {
        boost::shared_ptr<ActiveDirectoryProvider> p = provider;
        boost::shared_ptr<std::deque<Domain> > cache = trustedDomainsCache;
        boost::shared_ptr<RequestState> state =
            StartWorker(_lock, _isGetTrustedDomainsThreadActive,
                        [p, cache](boost::shared_ptr<RequestState> requestState) {
                            GetTrustedDomainsInt(p, requestState, cache);
                        });
        AwaitAnswer(*state, timeout, answer);
        if (answer.source == QueryAnswer::kCachedAfterTimeout) {
            syslog(LOG_WARNING, "GetTrustedDomains call timedout. Returning cached value.");
        }
    }
    Locked hold(_lock);
    return *trustedDomainsCache;
}

TrustState ActiveDirectoryStore::GetDomainTrustState(QueryAnswer& answer,
                                                     std::deque<Domain>& trustedDomains,
                                                     QueryAnswer& trustedDomainsAnswer) const {
    answer = QueryAnswer();
    auto const start = std::chrono::steady_clock::now();
    boost::shared_ptr<RequestState> state;
    if (Claim(_lock, _isGetTrustStateThreadActive)) {
        boost::shared_ptr<ActiveDirectoryProvider> p = provider;
        boost::shared_ptr<TrustState> cache = trustStateCache;
        state = StartWorker(_lock, _isGetTrustStateThreadActive,
                            [p, cache](boost::shared_ptr<RequestState> requestState) {
                                GetDomainTrustStateInt(p, requestState, cache);
                            });
    }

    trustedDomains = GetTrustedDomains(trustedDomainsAnswer);
    if (trustedDomainsAnswer.source == QueryAnswer::kCachedAfterFailure) {
        // The listing's failure is the caller's to see in trustedDomainsAnswer; here it only
        // tells whether the host is joined at all. Within the library's family only
        // FileNotFoundException carries code 2.
        if (trustedDomainsAnswer.code == 2) {
            Locked hold(_lock);
            *trustStateCache = 7;
            answer.source = QueryAnswer::kFresh;
            return 7;
        }
        syslog(LOG_WARNING, "GetDomainTrustState: Call to GetTrustedDomains() failed: %s",
               trustedDomainsAnswer.message.c_str());
    }

    if (!state) {
        answer.source = QueryAnswer::kCachedInFlight;
    } else {
        // What is left of one time-out after the listing's wait.
        long const waited = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
        int const left = waited >= timeout ? 0 : timeout - static_cast<int>(waited);
        AwaitAnswer(*state, left, answer);
        if (answer.source == QueryAnswer::kCachedAfterTimeout) {
            answer.timeout = timeout;
            syslog(LOG_WARNING, "GetDomainTrustState call timedout. Returning cached value.");
            Locked hold(_lock);
            *trustStateCache = 2;
        }
    }
    Locked hold(_lock);
    return *trustStateCache;
}

}  // namespace authentication
}  // namespace ostrel
