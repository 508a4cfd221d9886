// stores, activate, status: which store is active and what the host's membership is.
#include <authentication/authentication.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>

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

std::string DomainJson(Domain const& domain) {
    return "{\"dns_name\": " + JsonString(domain.dnsName) +
           ", \"netbios_name\": " + JsonString(domain.netbiosName) + "}";
}

std::string DomainText(Domain const& domain) {
    return domain.dnsName + " (" + domain.netbiosName + ")";
}

// Runs a query and tells whether it waited the whole time-out: the store then answered from
// its cache.
template <class Query>
bool TimedOut(int timeout, Query query) {
    auto const start = std::chrono::steady_clock::now();
    query();
    return std::chrono::steady_clock::now() - start >= std::chrono::seconds(timeout);
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
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        bool active = false;
        std::string error;
        try {
            std::auto_ptr<AuthenticationStore> store = Factory().CreateInstance(names[i]);
            active = store.get() != nullptr && store->IsActive();
        } catch (std::exception const& e) {
            error = e.what();
        }
        if (json) {
            out += std::string(i == 0 ? "" : ", ") + "{\"name\": " + JsonString(names[i]) +
                   ", \"active\": " + (active ? "true" : "false");
            if (!error.empty()) out += ", \"error\": " + JsonString(error);
            out += "}";
        } else {
            std::cout << (active ? "* " : "  ") << names[i];
            if (!error.empty()) std::cout << "  (state unknown: " << error << ")";
            std::cout << "\n";
        }
    }
    if (json) std::cout << out << "]\n";
    return kSuccess;
}

int Activate(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    std::string const& name = arguments.Positionals()[0];
    std::auto_ptr<AuthenticationStore> store = Factory().CreateInstance(name);
    if (store.get() == nullptr) throw UnknownRemoteAuthenticationStoreException(name);
    store->MakeActive();
    std::cout << "Active store: " << store->GetDisplayName() << "\n";
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

    std::unique_ptr<StoreConfiguration> configuration;
    std::deque<Domain> trusted;
    TrustState trustState = 0;
    std::vector<std::string> timedOut;
    // The configuration is asked for while the trusts are: a directory that does not answer
    // costs one time-out for both. The trust state comes after the trusted domains, which it
    // asks for itself: asked at the same time, one of the two would get the cache instead.
    auto configurationQuery = std::async(std::launch::async, [&] {
        return TimedOut(timeout, [&] { configuration.reset(store->GetStoreConfiguration()); });
    });
    bool trustedLate = false, trustStateLate = false;
    try {
        trustedLate = TimedOut(timeout, [&] { trusted = store->GetTrustedDomains(); });
        trustStateLate = TimedOut(timeout, [&] { trustState = store->GetDomainTrustState(); });
    } catch (...) {
        configurationQuery.wait();
        throw;
    }
    bool const configurationLate = configurationQuery.get();
    if (configurationLate) timedOut.push_back("configuration");
    if (trustedLate) timedOut.push_back("trusted domains");
    if (trustStateLate) timedOut.push_back("trust state");
    ActiveDirectoryStoreConfiguration const* ad =
        dynamic_cast<ActiveDirectoryStoreConfiguration const*>(configuration.get());
    ActiveDirectoryStoreConfiguration const empty;
    if (ad == nullptr) ad = &empty;
    bool const joined = !ad->activeDomain.dnsName.empty();
    std::vector<std::string> const controllers(ad->preferredDomainControllers.begin(),
                                               ad->preferredDomainControllers.end());

    if (json) {
        std::ostringstream out;
        out << "{\"active_store\": " << JsonString(active)
            << ", \"domain\": " << (joined ? DomainJson(ad->activeDomain) : "null")
            << ", \"machine_account\": " << JsonString(ad->machineAccountDN)
            << ", \"preferred_controllers\": " << JsonStrings(controllers)
            << ", \"trust_state\": " << trustState << ", \"trusted_domains\": [";
        for (std::size_t i = 0; i < trusted.size(); ++i) {
            out << (i == 0 ? "" : ", ") << DomainJson(trusted[i]);
        }
        out << "], \"timed_out\": " << JsonStrings(timedOut) << "}\n";
        std::cout << out.str();
    } else {
        std::cout << "Active store:          " << active << "\n"
                  << "Domain:                "
                  << (joined ? DomainText(ad->activeDomain) : std::string("(not joined)")) << "\n"
                  << "Machine account:       "
                  << (ad->machineAccountDN.empty() ? "(none)" : ad->machineAccountDN) << "\n"
                  << "Preferred controllers: ";
        for (std::size_t i = 0; i < controllers.size(); ++i) {
            std::cout << (i == 0 ? "" : " ") << controllers[i];
        }
        std::cout << (controllers.empty() ? "(none)\n" : "\n")
                  << "Trust state:           " << trustState << "\n"
                  << "Trusted domains:       " << (trusted.empty() ? "(none)\n" : "\n");
        for (Domain const& domain : trusted) std::cout << "  " << DomainText(domain) << "\n";
        for (std::string const& query : timedOut) {
            std::cout << "Note: no answer to the " << query << " query within " << timeout
                      << " s; shown is what this process had cached (nothing before its first "
                         "answer).\n";
        }
    }
    // A worker may still be waiting on the directory: do not unload anything under it.
    if (!timedOut.empty()) ExitNow(kTimedOut);
    return kSuccess;
}

}  // namespace tslauth
