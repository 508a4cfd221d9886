// join, leave and the authentication-proxy commands.
#include <arpa/inet.h>
#include <authentication/authentication.h>
#include <hostctl/advanced_options.h>
#include <hostctl/host.h>
#include <hostctl/hostctl_exception.h>
#include <netdb.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
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
// changes: the "warnings" and "changes" members of --json, added to `reported`.
template <class Run>
void RunJoin(std::string const& what, bool json, HostnameRepair& repair, Json& reported, Run run) {
    std::vector<std::string> const changes = RunChangingHost(
        json,
        [&] {
            ElapsedProgress progress(what);
            RetryDisplay retries(progress);
            run();
        },
        [&] { ReportWarnings(repair); }, &repair);
    reported["warnings"] = repair.warnings;
    reported["changes"] = ChangesJson(changes, &repair);
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
    Json reported = {{"joined", domain}};
    RunJoin("Joining " + domain, json, repair, reported, [&] {
        WithProviderWords(*store, [&] {
            if (arguments.Has("server")) {
                store->SetPreferredDomainControllers({arguments.Value("server")});
            }
            store->JoinDomain(domain, credentials, arguments.Flag("skip-hostname-check"), repair,
                              options);
        });
    });
    if (json) {
        std::cout << JsonText(reported) << "\n";
    } else {
        std::cout << "Joined " << domain << ".\n";
    }
    return kSuccess;
}

int DomainControllers(Arguments const& arguments) {
    bool const clear = arguments.Flag("clear");
    std::vector<std::string> const& names = arguments.Positionals();
    if (clear && !names.empty()) throw UsageError("--clear takes no names");
    std::unique_ptr<ActiveDirectoryStore> store = MakeStore();
    bool const json = arguments.Flag("json");
    std::vector<std::string> changes;
    if (clear || !names.empty()) {
        changes = RunChangingHost(json, [&] {
            WithProviderWords(*store, [&] {
                store->SetPreferredDomainControllers({names.begin(), names.end()});
            });
        });
    }
    // Read from the plug-in itself: the store's configuration query also asks the directory.
    ProviderConfiguration const configuration;
    ActiveDirectoryProvider const provider(configuration["provider"]);
    std::deque<std::string> const controllers = provider.GetPreferredDomainControllers();
    std::vector<std::string> const listed(controllers.begin(), controllers.end());
    if (json) {
        std::cout << JsonText(
                         {{"preferred_controllers", listed}, {"changes", ChangesJson(changes)}})
                  << "\n";
    } else {
        std::string text;
        for (std::string const& name : listed) text += (text.empty() ? "" : " ") + name;
        std::cout << "Preferred controllers: " << (text.empty() ? "(none)" : text) << "\n";
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
        std::cout << JsonText({{"left", true}, {"changes", ChangesJson(changes)}}) << "\n";
    } else {
        std::cout << "Left the domain.\n";
    }
    return kSuccess;
}

namespace {

char const kProxyOption[] = "UserVars.ActiveDirectoryVerifyQAPCertificate";
char const kThumbprintFile[] = "/etc/ostrel/tslauth/qapservers.conf";
char const kProxyPort[] = "9443";
int const kLookupSeconds = 10;

// The IPv4 addresses of the service as the administrator names it: an address, a host name,
// either with ":9443" (the only port the library's proxy client is given). A name is looked
// up with a bound on the wait.
std::vector<std::string> ProxyAddresses(std::string const& server) {
    std::string host = server;
    std::size_t const colon = server.rfind(':');
    if (colon != std::string::npos && server.find(':') == colon) {
        host = server.substr(0, colon);
        if (server.substr(colon + 1) != kProxyPort) {
            throw InvalidIPAddressException("'" + server + "': the proxy client talks to port " +
                                            kProxyPort + " only; name the service without a port");
        }
    }
    in_addr numeric = {};
    if (inet_pton(AF_INET, host.c_str(), &numeric) == 1) return {host};
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    gaicb request = {};
    request.ar_name = host.c_str();
    request.ar_request = &hints;
    gaicb* requests[] = {&request};
    int status = getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr);
    if (status == 0) {
        timespec const bound = {kLookupSeconds, 0};
        gai_suspend(requests, 1, &bound);
        status = gai_error(&request);
        if (status == EAI_INPROGRESS && gai_cancel(&request) == EAI_NOTCANCELED) {
            while (gai_error(&request) == EAI_INPROGRESS) gai_suspend(requests, 1, nullptr);
        }
    }
    std::vector<std::string> addresses;
    for (addrinfo* at = status == 0 ? request.ar_result : nullptr; at != nullptr;
         at = at->ai_next) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(at->ai_addr)->sin_addr, text,
                  sizeof text);
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.push_back(text);
        }
    }
    if (request.ar_result != nullptr) freeaddrinfo(request.ar_result);
    if (addresses.empty()) {
        throw InvalidIPAddressException(
            "'" + server + "' is neither an IPv4 address nor a name that has one (" +
            (status == EAI_INPROGRESS ? "no answer within 10 s" : gai_strerror(status)) + ")");
    }
    return addresses;
}

// "NAME (ADDRESS)" for a name, the address alone for an address.
std::string Named(std::string const& server, std::string const& address) {
    return server == address ? address : server + " (" + address + ")";
}

// The certificate-verification option's value, or -1 when it cannot be read (the library
// says why).
std::int64_t VerifyOption() {
    try {
        std::unique_ptr<HostCtl::Host> const host = HostCtl::HostFactory::GetHost();
        std::unique_ptr<HostCtl::Adv::AdvancedBranch> const root =
            host ? host->GetAdvancedOptions() : nullptr;
        std::unique_ptr<HostCtl::Adv::AdvancedBranch> const user =
            root ? root->GetBranch("UserVars") : nullptr;
        std::unique_ptr<HostCtl::Adv::AdvancedOption> const option =
            user ? user->GetOption("ActiveDirectoryVerifyQAPCertificate") : nullptr;
        auto const* const integer =
            dynamic_cast<HostCtl::Adv::AdvancedIntegerOption*>(option.get());
        return integer != nullptr ? integer->GetValue() : -1;
    } catch (std::exception const&) {
        return -1;
    }
}

// What the administrator does about a refusal of the proxy commands, on standard error before
// the library's own message.
void Advise(std::exception const& error, std::string const& server) {
    std::string const retry = "tslauth import-certificate FILE " + server;
    if (dynamic_cast<InvalidQAPCertificateException const*>(&error) != nullptr) {
        std::cerr << "tslauth: the certificate the service at " << server
                  << " showed is not the one imported for it: with a trusted copy of its "
                     "certificate (tslauth-proxyd --check prints its thumbprint), run '"
                  << retry << "'\n";
    } else if (dynamic_cast<InvalidThumbprintStoreException const*>(&error) != nullptr) {
        struct stat status = {};
        if (stat(kThumbprintFile, &status) != 0 && errno == ENOENT) {
            std::cerr << "tslauth: " << kThumbprintFile
                      << " is missing: no certificate was imported yet (by default the file is "
                         "empty): run 'install -m 644 /dev/null "
                      << kThumbprintFile << "', then '" << retry << "'\n";
        }
    } else if (dynamic_cast<InvalidVerifyQAPCertificateOptionException const*>(&error) != nullptr &&
               std::strstr(error.what(), "Unable to get") != nullptr) {
        std::cerr << "tslauth: the advanced option " << kProxyOption
                  << " is missing (it has no default): add the line '" << kProxyOption
                  << " = int:1' (check the service's certificate) to "
                     "/etc/ostrel/hostctl/advanced-options.conf\n";
    } else if (Exception const* status = dynamic_cast<Exception const*>(&error)) {
        if (status->GetCode() == 5) {
            std::cerr << "tslauth: the service at " << server
                      << " does not let this host's address enrol: its allow list (allow = "
                         "lines in /etc/tslauth-proxyd/proxyd.conf) must name it\n";
        }
    }
}

}  // namespace

int ProxyDomain(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    std::string const& server = arguments.Positionals()[0];
    std::string domain;
    try {
        domain = MakeStore()->GetDomainForQAPService(ProxyAddresses(server).front());
    } catch (std::exception const& error) {
        Advise(error, server);
        throw;
    }
    if (arguments.Flag("json")) {
        std::cout << JsonText({{"server", arguments.Positionals()[0]}, {"domain", domain}}) << "\n";
    } else {
        std::cout << domain << "\n";
    }
    return kSuccess;
}

int ImportCertificate(Arguments const& arguments) {
    arguments.ExpectPositionals(2, 2);
    std::string const& file = arguments.Positionals()[0];
    std::string const& server = arguments.Positionals()[1];
    // The thumbprints are kept by address, as joins look them up.
    std::vector<std::string> const addresses = ProxyAddresses(server);
    std::unique_ptr<ActiveDirectoryStore> const store = MakeStore();
    try {
        for (std::string const& address : addresses) store->ImportCertificateForQAP(file, address);
    } catch (std::exception const& error) {
        Advise(error, server);
        throw;
    }
    std::string shown = addresses.front();
    for (std::size_t i = 1; i < addresses.size(); ++i) shown += ", " + addresses[i];
    std::cout << "Imported the certificate of " << Named(server, shown) << " from " << file
              << ".\n";
    return kSuccess;
}

int JoinProxy(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    std::string const& given = arguments.Positionals()[0];
    std::string const address = ProxyAddresses(given).front();
    std::string const server = Named(given, address);
    std::unique_ptr<ActiveDirectoryStore> store = MakeStore();
    if (VerifyOption() == 0) {
        std::cerr << "tslauth: warning: " << kProxyOption
                  << " is 0: the service's certificate is not checked, so whoever answers at "
                  << address
                  << " can hand this host an account of its choosing (set it to 1 once "
                     "'tslauth import-certificate FILE "
                  << given << "' has pinned the certificate)\n";
    }
    HostnameRepair repair;
    bool const json = arguments.Flag("json");
    Json reported = {{"joined_through", server}};
    try {
        RunJoin("Joining through " + server, json, repair, reported, [&] {
            WithProviderWords(*store, [&] {
                store->JoinDomainWithQAP(address, arguments.Value("container"),
                                         arguments.Flag("skip-hostname-check"), repair);
            });
        });
    } catch (std::exception const& error) {
        Advise(error, given);
        throw;
    }
    if (json) {
        std::cout << JsonText(reported) << "\n";
    } else {
        std::cout << "Joined through the authentication proxy " << server << ".\n";
    }
    return kSuccess;
}

}  // namespace tslauth
