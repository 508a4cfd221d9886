#include "exit_codes.h"

#include <authentication/exceptions.h>
#include <hostctl/hostctl_exception.h>
#include <systemconfiguration/nss_configuration.h>
#include <systemconfiguration/pam_control.h>
#include <systemconfiguration/pam_policy.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace tslauth {

namespace a = ostrel::authentication;

namespace {

using Category = a::ErrorCategory;

a::Exception const* OfTheFamily(std::exception const& error) {
    return dynamic_cast<a::Exception const*>(&error);
}

// The refusals that are not of the library's family: the PAM and name-service models refuse
// what a file holds, and the host-control layer fails only on its files (/etc/hosts,
// /etc/resolv.conf, its options) and the management interface.
template <class... T>
bool IsAny(std::exception const& error) {
    return ((dynamic_cast<T const*>(&error) != nullptr) || ...);
}
bool (*const IsFileRefusal)(std::exception const&) = IsAny<
    HostCtl::Lib::HostCtlException, SystemConfiguration::InvalidDatabaseException,
    SystemConfiguration::InvalidServiceException, SystemConfiguration::InvalidEntryException,
    SystemConfiguration::InvalidFacilityException, SystemConfiguration::InvalidControlException>;

// The exit status of each kind of failure. A command line the tool cannot run is kUsage;
// anything else that is neither of the family nor a file refused is kInternal.
struct ExitStatus {
    Category category;
    ExitCode code;
};
ExitStatus const kExitStatuses[] = {
    {Category::kCredentials, kCredentials},
    {Category::kUnreachable, kUnreachable},
    {Category::kMembership, kMembership},
    {Category::kTimedOut, kTimedOut},
    {Category::kIO, kIO},
    {Category::kInvalidInput, kInvalidInput},
    {Category::kDirectory, kDirectory},
    {Category::kInternal, kInternal},
};

// The category of what ended a command; false when it has none.
bool CategoryOf(std::exception const& error, Category& category) {
    if (a::Exception const* failure = OfTheFamily(error)) {
        category = failure->GetCategory();
        return true;
    }
    category = Category::kIO;
    return IsFileRefusal(error);
}

}  // namespace

std::string Describe(std::exception const& error) {
    std::string text = error.what();
    auto const* refusal = dynamic_cast<a::ConfigurationError const*>(&error);
    // A malformed line's message names the line but not the file.
    if (refusal == nullptr || refusal->GetLine() == 0) return text;
    text = refusal->GetFile() + ": " + text;
    std::string const& line = refusal->GetLineText();
    std::size_t const first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] == '#') {
        text +=
            " (the library's configuration files have no comment lines: every line that is not "
            "blank is \"key = value\")";
    }
    return text;
}

namespace {

// When a row applies: to every command, or to one; regardless of --reuse-account, or only
// with or without it.
enum class Reuse { kAny, kWith, kWithout };

// The words for the administrator for one way a command can fail, with what to do next: the
// category and the provider's status it matches (0: any of the category). In the words,
// {user} is the account used, {domain} the domain named, {dns} the name servers of
// /etc/resolv.conf. The first row that applies decides; without one, the exception's own
// text is shown.
struct Row {
    Category category;
    unsigned long status;
    char const* words;
    char const* next;
    char const* command;
    Reuse reuse;
};

// Words that two statuses share.
char const kWrongCredentials[] = "wrong user name or password for {user}";
char const kCheckCredentials[] =
    "check both and try again (a wrong password is never tried twice: each try counts towards "
    "the account's lockout)";
char const kNoAnswer[] = "no domain controller of {domain} answered";
char const kCheckNetwork[] =
    "check DNS (/etc/resolv.conf names {dns}), the network, and that a domain controller runs";

Row const kRows[] = {
    // Credentials the directory refused: logon failure, wrong password.
    {Category::kCredentials, 1326, kWrongCredentials, kCheckCredentials, nullptr, Reuse::kAny},
    {Category::kCredentials, 86, kWrongCredentials, kCheckCredentials, nullptr, Reuse::kAny},
    {Category::kCredentials, 1909, "the account {user} is locked out",
     "wait until the domain's lockout ends or have it unlocked, or use another account", nullptr,
     Reuse::kAny},
    {Category::kCredentials, 1330, "the password of {user} has expired",
     "change it (for example by logging in once on a domain computer) and try again", nullptr,
     Reuse::kAny},
    {Category::kCredentials, 1331, "the account {user} is disabled",
     "enable it in the domain or use another account", nullptr, Reuse::kAny},
    // The domain or its controllers: no such domain, no logon servers, no controller found,
    // and the network's refusals.
    {Category::kUnreachable, 1355, "no domain controller of {domain} was found",
     "check DNS: the host must resolve the domain's service records (_ldap._tcp.{domain}); "
     "/etc/resolv.conf names {dns}",
     nullptr, Reuse::kAny},
    {Category::kUnreachable, 1311, kNoAnswer, kCheckNetwork, nullptr, Reuse::kAny},
    {Category::kUnreachable, 2453, kNoAnswer, kCheckNetwork, nullptr, Reuse::kAny},
    {Category::kUnreachable, 0, "the domain controller of {domain} could not be reached",
     "check the network between this host and the domain controller, and its firewall", nullptr,
     Reuse::kAny},
    {Category::kTimedOut, 0, "the domain controller of {domain} did not answer in time",
     "check that it runs and is reachable, then try again", nullptr, Reuse::kAny},
    // The host's membership: already joined, not joined, account exists, no trust account,
    // no trust secret.
    {Category::kMembership, 2691, "this host is already joined to a domain",
     "leave it first (tslauth leave)", nullptr, Reuse::kAny},
    {Category::kMembership, 2692, "this host is not joined to a domain",
     "there is nothing to leave", "leave", Reuse::kAny},
    {Category::kMembership, 2692, "this host is not joined to a domain",
     "join it first (tslauth join)", nullptr, Reuse::kAny},
    {Category::kMembership, 1316,
     "the domain {domain} already has a computer account of this host's name",
     "it belongs to another host of that name, or to an earlier join of this host that left "
     "without credentials. If it is this host's, run the join again with --reuse-account (its "
     "password is reset); if not, give this host another name or delete that account",
     "join", Reuse::kWithout},
    {Category::kMembership, 1316,
     "the domain {domain} has an account of this host's name that is not a member's computer "
     "account",
     "it is never taken over: give this host another name, or have that account removed", "join",
     Reuse::kWith},
    {Category::kMembership, 1316, "the domain already has a computer account of this host's name",
     "it belongs to another host of that name, or to an earlier join of this host; if it is "
     "this host's, delete it in the domain and try again",
     nullptr, Reuse::kAny},
    {Category::kMembership, 1787, "the domain controller has no computer account for this host",
     "leave the domain (tslauth leave) and join again", nullptr, Reuse::kAny},
    {Category::kMembership, 1786, "this host holds no machine password",
     "leave the domain (tslauth leave) and join again", nullptr, Reuse::kAny},
    // What the plug-in cannot do (call not implemented), and other directory refusals with a
    // known remedy: time skew, no such container, access denied.
    {Category::kDirectory, 120,
     "the provider plug-in cannot join over an existing account (--reuse-account)",
     "delete the account in the domain and join without --reuse-account", "join", Reuse::kWith},
    {Category::kDirectory, 1398,
     "the clocks of this host and the domain controller differ too much",
     "set this host's time (for example by NTP from the domain controller) and try again", nullptr,
     Reuse::kAny},
    {Category::kDirectory, 267, "the container does not exist in {domain}",
     "check the name after the \"/\" of the domain argument (for example OU=Servers)", "join",
     Reuse::kAny},
    {Category::kDirectory, 5, "the authentication proxy or the directory refused access",
     "check that the proxy serves this host's address and may add computers to the domain",
     "join-proxy", Reuse::kAny},
    {Category::kDirectory, 5, "access was denied",
     "check that {user} may add and delete computers in the domain (or in that container), and "
     "the system log for a file the provider could not write",
     nullptr, Reuse::kAny},
};

Row const* RowFor(std::exception const& error, ErrorContext const& context) {
    a::Exception const* failure = OfTheFamily(error);
    if (failure == nullptr) return nullptr;
    Category const category = failure->GetCategory();
    for (Row const& row : kRows) {
        if (row.category != category || (row.status != 0 && row.status != failure->GetCode())) {
            continue;
        }
        if (row.command != nullptr && context.command != row.command) continue;
        if (row.reuse != Reuse::kAny && context.reuseAccount != (row.reuse == Reuse::kWith)) {
            continue;
        }
        return &row;
    }
    return nullptr;
}

// The "nameserver" lines of /etc/resolv.conf, as the resolver reads them.
std::string NameServers() {
    std::ifstream file("/etc/resolv.conf");
    std::string line, servers;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string keyword, address;
        if (!(words >> keyword >> address) || keyword != "nameserver") continue;
        servers += (servers.empty() ? "" : ", ") + address;
    }
    return servers.empty() ? "no name server" : servers;
}

std::string Fill(std::string text, ErrorContext const& context) {
    std::string user = context.user;
    // A bare account name is looked up in the domain joined.
    if (user.find_first_of("\\@") == std::string::npos && !context.domain.empty()) {
        user += " in " + context.domain;
    }
    std::string const values[][2] = {
        {"{user}", user.empty() ? "that account" : user},
        {"{domain}", context.domain.empty() ? "the domain" : context.domain},
    };
    for (auto const& value : values) {
        for (std::size_t at = text.find(value[0]); at != std::string::npos;
             at = text.find(value[0], at + value[1].size())) {
            text.replace(at, value[0].size(), value[1]);
        }
    }
    std::size_t const dns = text.find("{dns}");
    if (dns != std::string::npos) text.replace(dns, 5, NameServers());
    return text;
}

// The provider's status after the words: in decimal as its tables give it, in hexadecimal
// when it is not a small number.
std::string Status(unsigned long code) {
    char text[32];
    std::snprintf(text, sizeof text, code <= 0xffff ? "%lu" : "0x%08lx", code);
    return std::string(" (status ") + text + ")";
}

}  // namespace

ErrorContext& CurrentErrorContext() {
    static ErrorContext context;
    return context;
}

ExitCode ExitCodeFor(std::exception const& error) {
    if (dynamic_cast<UsageError const*>(&error) != nullptr) return kUsage;
    Category category;
    if (!CategoryOf(error, category)) return kInternal;
    for (ExitStatus const& status : kExitStatuses) {
        if (status.category == category) return status.code;
    }
    return kInternal;
}

std::string Explain(std::exception const& error, ErrorContext const& context) {
    Row const* const row = RowFor(error, context);
    a::Exception const* const failure = OfTheFamily(error);
    unsigned long const code = failure != nullptr ? failure->GetCode() : 0;
    std::string text;
    if (row != nullptr) {
        text = Fill(row->words, context);
        if (row->next != nullptr) text += ": " + Fill(row->next, context);
    } else {
        text = Describe(error);
        // The library's "Exception 0x...: " prefix: the status goes after the words.
        std::size_t const colon = text.find(": ");
        if (code != 0 && text.compare(0, 12, "Exception 0x") == 0 && colon != std::string::npos) {
            text.erase(0, colon + 2);
        }
    }
    if (code != 0) text += Status(code);
    if (!context.providerText.empty()) {
        text += "\ntslauth: the provider says: " + context.providerText;
    }
    return text;
}

}  // namespace tslauth
