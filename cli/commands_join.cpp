// join, leave and the authentication-proxy commands.
#include <authentication/authentication.h>

#include <algorithm>
#include <iostream>
#include <memory>

#include "changes.h"
#include "commands.h"
#include "exit_codes.h"
#include "output.h"
#include "password.h"
#include "progress.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace tslauth {

using namespace ostrel::authentication;

namespace {

std::unique_ptr<ActiveDirectoryStore> MakeStore() {
    std::auto_ptr<AuthenticationStore> made =
        Singleton<AuthenticationStoreFactory>::_instance->CreateInstance("Active Directory");
    ActiveDirectoryStore* store = dynamic_cast<ActiveDirectoryStore*>(made.get());
    if (store == nullptr) throw UnknownRemoteAuthenticationStoreException("Active Directory");
    made.release();
    return std::unique_ptr<ActiveDirectoryStore>(store);
}

// The password is wiped from memory as soon as the call is over.
class Secret {
public:
    explicit Secret(std::string text) : text(std::move(text)) {}
    ~Secret() { std::fill(text.begin(), text.end(), '\0'); }
    char const* c_str() const { return text.c_str(); }

private:
    std::string text;
};

// Shows the provider's pauses between join attempts on the progress line while it lives.
class RetryDisplay {
public:
    explicit RetryDisplay(ElapsedProgress& progress) { SetJoinRetryListener(Tell, &progress); }
    ~RetryDisplay() { SetJoinRetryListener(nullptr, nullptr); }
    RetryDisplay(RetryDisplay const&) = delete;
    RetryDisplay& operator=(RetryDisplay const&) = delete;

private:
    static void Tell(int failedAttempt, int attempts, unsigned pause, std::uint32_t,
                     void* context) {
        static_cast<ElapsedProgress*>(context)->Retrying(failedAttempt + 1, attempts, pause);
    }
};

// What the host-name checks of a join warned of, on standard error, also when the join failed
// after them; what the join changed follows.
void ReportWarnings(HostnameRepair const& repair) {
    for (std::string const& warning : repair.warnings) {
        std::cerr << "tslauth: warning: " << warning << "\n";
    }
}

// Runs a call of the store; when it fails, the plug-in's own words on why go with the
// command's message.
template <class Run>
void WithProviderWords(ActiveDirectoryStore const& store, Run run) {
    try {
        run();
    } catch (...) {
        CurrentErrorContext().providerText = store.GetLastErrorText();
        throw;
    }
}

// The error messages name the domain and the account.
void Remember(std::string const& domain, std::string const& user) {
    CurrentErrorContext().domain = domain.substr(0, domain.find('/'));
    CurrentErrorContext().user = user;
}

// Runs a join with its progress line and retry display, then reports the warnings and the
// changes: the "warnings" and "changes" members of --json.
template <class Run>
std::string RunJoin(std::string const& what, bool json, HostnameRepair& repair, Run run) {
    std::vector<std::string> const changes = RunChangingHost(
        json,
        [&] {
            ElapsedProgress progress(what);
            RetryDisplay retries(progress);
            run();
        },
        [&] { ReportWarnings(repair); }, &repair);
    return "\"warnings\": " + JsonStrings(repair.warnings) +
           ", \"changes\": " + ChangesJson(changes, &repair);
}

}  // namespace

int Join(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    if (!arguments.Has("user")) throw UsageError("join needs --user NAME");
    std::string const& domain = arguments.Positionals()[0];
    std::string const user = arguments.Value("user");
    std::unique_ptr<ActiveDirectoryStore> store = MakeStore();
    Secret const password(ReadPassword(user, arguments.Value("password-file")));
    Credentials const credentials = {user.c_str(), password.c_str()};
    HostnameRepair repair;
    JoinOptions options;
    if (arguments.Flag("reuse-account")) options.flags |= JoinOptions::kReuseAccount;
    Remember(domain, user);
    CurrentErrorContext().reuseAccount = arguments.Flag("reuse-account");
    bool const json = arguments.Flag("json");
    std::string const reported = RunJoin("Joining " + domain, json, repair, [&] {
        WithProviderWords(*store, [&] {
            store->JoinDomain(domain, credentials, arguments.Flag("skip-hostname-check"), repair,
                              options);
        });
    });
    if (json) {
        std::cout << "{\"joined\": " << JsonString(domain) << ", " << reported << "}\n";
    } else {
        std::cout << "Joined " << domain << ".\n";
    }
    return kSuccess;
}

int Leave(Arguments const& arguments) {
    arguments.ExpectPositionals(0, 0);
    bool const json = arguments.Flag("json");
    std::unique_ptr<ActiveDirectoryStore> store = MakeStore();
    std::vector<std::string> changes;
    if (arguments.Has("user")) {
        std::string const user = arguments.Value("user");
        Secret const password(ReadPassword(user, arguments.Value("password-file")));
        Credentials const credentials = {user.c_str(), password.c_str()};
        Remember("", user);
        changes = RunChangingHost(json, [&] {
            ElapsedProgress progress("Leaving the domain");
            WithProviderWords(*store, [&] { store->PartDomain(credentials); });
        });
    } else {
        if (arguments.Has("password-file")) throw UsageError("--password-file needs --user");
        changes = RunChangingHost(json, [&] {
            ElapsedProgress progress("Leaving the domain");
            WithProviderWords(*store, [&] { store->PartDomain(); });
        });
        std::cerr
            << "tslauth: note: this host's computer account stays on the domain controller; delete "
               "it there, or join this host again with --reuse-account\n";
    }
    if (json) {
        std::cout << "{\"left\": true, \"changes\": " << ChangesJson(changes) << "}\n";
    } else {
        std::cout << "Left the domain.\n";
    }
    return kSuccess;
}

int ProxyDomain(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    std::string const domain = MakeStore()->GetDomainForQAPService(arguments.Positionals()[0]);
    if (arguments.Flag("json")) {
        std::cout << "{\"server\": " << JsonString(arguments.Positionals()[0])
                  << ", \"domain\": " << JsonString(domain) << "}\n";
    } else {
        std::cout << domain << "\n";
    }
    return kSuccess;
}

int ImportCertificate(Arguments const& arguments) {
    arguments.ExpectPositionals(2, 2);
    std::string const& file = arguments.Positionals()[0];
    std::string const& server = arguments.Positionals()[1];
    MakeStore()->ImportCertificateForQAP(file, server);
    std::cout << "Imported the certificate of " << server << " from " << file << ".\n";
    return kSuccess;
}

int JoinProxy(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    std::string const& server = arguments.Positionals()[0];
    std::unique_ptr<ActiveDirectoryStore> store = MakeStore();
    HostnameRepair repair;
    bool const json = arguments.Flag("json");
    std::string const reported = RunJoin("Joining through " + server, json, repair, [&] {
        WithProviderWords(*store, [&] {
            store->JoinDomainWithQAP(server, arguments.Value("container"),
                                     arguments.Flag("skip-hostname-check"), repair);
        });
    });
    if (json) {
        std::cout << "{\"joined_through\": " << JsonString(server) << ", " << reported << "}\n";
    } else {
        std::cout << "Joined through the authentication proxy " << server << ".\n";
    }
    return kSuccess;
}

}  // namespace tslauth
