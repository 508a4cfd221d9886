#include "exit_codes.h"

#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <hostctl/hostctl_exception.h>
#include <systemconfiguration/nss_configuration.h>
#include <systemconfiguration/pam_control.h>
#include <systemconfiguration/pam_policy.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tslauth {

namespace a = ostrel::authentication;

namespace {

template <class T>
bool Is(std::exception const& error) {
    return dynamic_cast<T const*>(&error) != nullptr;
}

char const* const kConfigurationFiles[] = {
    "/etc/ostrel/tslauth/authentication.conf", "/etc/ostrel/tslauth/provider.conf",
    "/etc/ostrel/tslauth/qapprovider.conf", "/etc/ostrel/tslauth/qapservers.conf",
    "/etc/ostrel/tslauth/login-permissions.conf"};

// The number after "line " in a parse error, or 0.
unsigned long LineOf(std::string const& message) {
    std::size_t const at = message.find("line ");
    return at == std::string::npos ? 0 : std::strtoul(message.c_str() + at + 5, nullptr, 10);
}

bool StartsWithHash(std::string const& path, unsigned long number) {
    std::ifstream file(path);
    std::string line;
    for (unsigned long i = 1; i <= number && std::getline(file, line); ++i) {
        if (i != number) continue;
        std::size_t const first = line.find_first_not_of(" \t");
        return first != std::string::npos && line[first] == '#';
    }
    return false;
}

}  // namespace

std::string Describe(std::exception const& error) {
    std::string const text = error.what();
    if (!Is<a::ConfigurationError>(error) ||
        text.compare(0, 28, "Error parsing configuration ") != 0) {
        return text;
    }
    for (char const* path : kConfigurationFiles) {
        try {
            a::Configuration const reread(path);
        } catch (a::ConfigurationError const& again) {
            if (text != again.what()) continue;
            std::string described = std::string(path) + ": " + text;
            if (StartsWithHash(path, LineOf(text))) {
                described +=
                    " (the library's configuration files have no comment lines: every line that "
                    "is not blank is \"key = value\")";
            }
            return described;
        } catch (std::exception const&) {
        }
    }
    return text;
}

namespace {

using Matcher = bool (*)(std::exception const&);

// When a row applies: to every command, or to one; regardless of --reuse-account, or only
// with or without it.
enum class Reuse { kAny, kWith, kWithout };

// One way a command can fail: the exceptions it matches, the exit status, and the words for
// the administrator (none: the exception's own text) with what to do next. In the words,
// {user} is the account used, {domain} the domain named, {dns} the name servers of
// /etc/resolv.conf. The first row that applies decides.
struct Row {
    Matcher matches;
    ExitCode code;
    char const* words;
    char const* next;
    char const* command;
    Reuse reuse;
};

template <class... T>
bool IsAny(std::exception const& error) {
    return (Is<T>(error) || ...);
}

Row const kRows[] = {
    {IsAny<UsageError>, kUsage, nullptr, nullptr, nullptr, Reuse::kAny},
    // Credentials the directory refused.
    {IsAny<a::LogonFailureException, a::InvalidPasswordException>, kCredentials,
     "wrong user name or password for {user}",
     "check both and try again (a wrong password is never tried twice: each try counts towards "
     "the account's lockout)",
     nullptr, Reuse::kAny},
    {IsAny<a::AccountLockedOutException>, kCredentials, "the account {user} is locked out",
     "wait until the domain's lockout ends or have it unlocked, or use another account", nullptr,
     Reuse::kAny},
    {IsAny<a::PasswordExpiredException>, kCredentials, "the password of {user} has expired",
     "change it (for example by logging in once on a domain computer) and try again", nullptr,
     Reuse::kAny},
    {IsAny<a::AccountDisabledException>, kCredentials, "the account {user} is disabled",
     "enable it in the domain or use another account", nullptr, Reuse::kAny},
    // The domain or its controllers.
    {IsAny<a::NoSuchDomainException>, kUnreachable, "no domain controller of {domain} was found",
     "check DNS: the host must resolve the domain's service records (_ldap._tcp.{domain}); "
     "/etc/resolv.conf names {dns}",
     nullptr, Reuse::kAny},
    {IsAny<a::NoLogonServersException, a::DomainControllerNotFoundException>, kUnreachable,
     "no domain controller of {domain} answered",
     "check DNS (/etc/resolv.conf names {dns}), the network, and that a domain controller runs",
     nullptr, Reuse::kAny},
    {IsAny<a::NoNetworkException, a::ConnectionRefusedException, a::ConnectionInvalidException,
           a::ConnectionUnavailableException>,
     kUnreachable, "the domain controller of {domain} could not be reached",
     "check the network between this host and the domain controller, and its firewall", nullptr,
     Reuse::kAny},
    {IsAny<a::ProviderCallTimedOutException, a::WSATimedOutException, a::SemaphoreTimeoutException>,
     kTimedOut, "the domain controller of {domain} did not answer in time",
     "check that it runs and is reachable, then try again", nullptr, Reuse::kAny},
    // The host's membership.
    {IsAny<a::SetupAlreadyJoinedException>, kMembership, "this host is already joined to a domain",
     "leave it first (tslauth leave)", nullptr, Reuse::kAny},
    {IsAny<a::SetupNotJoinedException>, kMembership, "this host is not joined to a domain",
     "there is nothing to leave", "leave", Reuse::kAny},
    {IsAny<a::SetupNotJoinedException>, kMembership, "this host is not joined to a domain",
     "join it first (tslauth join)", nullptr, Reuse::kAny},
    {IsAny<a::AccountExistsException>, kMembership,
     "the domain {domain} already has a computer account of this host's name",
     "it belongs to another host of that name, or to an earlier join of this host that left "
     "without credentials. If it is this host's, run the join again with --reuse-account (its "
     "password is reset); if not, give this host another name or delete that account",
     "join", Reuse::kWithout},
    {IsAny<a::AccountExistsException>, kMembership,
     "the domain {domain} has an account of this host's name that is not a member's computer "
     "account",
     "it is never taken over: give this host another name, or have that account removed", "join",
     Reuse::kWith},
    {IsAny<a::AccountExistsException>, kMembership,
     "the domain already has a computer account of this host's name",
     "it belongs to another host of that name, or to an earlier join of this host; if it is "
     "this host's, delete it in the domain and try again",
     nullptr, Reuse::kAny},
    {IsAny<a::NoTrustSAMAccountException>, kMembership,
     "the domain controller has no computer account for this host",
     "leave the domain (tslauth leave) and join again", nullptr, Reuse::kAny},
    {IsAny<a::NoTrustLSASecretException>, kMembership, "this host holds no machine password",
     "leave the domain (tslauth leave) and join again", nullptr, Reuse::kAny},
    // What the plug-in cannot do, and other directory refusals with a known remedy.
    {IsAny<a::CallNotImplementedException>, kDirectory,
     "the provider plug-in cannot join over an existing account (--reuse-account)",
     "delete the account in the domain and join without --reuse-account", "join", Reuse::kWith},
    {IsAny<a::TimeSkewException>, kDirectory,
     "the clocks of this host and the domain controller differ too much",
     "set this host's time (for example by NTP from the domain controller) and try again", nullptr,
     Reuse::kAny},
    {IsAny<a::DirectoryException>, kDirectory, "the container does not exist in {domain}",
     "check the name after the \"/\" of the domain argument (for example OU=Servers)", "join",
     Reuse::kAny},
    {IsAny<a::AccessDeniedException>, kDirectory,
     "the authentication proxy or the directory refused access",
     "check that the proxy serves this host's address and may add computers to the domain",
     "join-proxy", Reuse::kAny},
    {IsAny<a::AccessDeniedException>, kDirectory, "access was denied",
     "check that {user} may add and delete computers in the domain (or in that container), and "
     "the system log for a file the provider could not write",
     nullptr, Reuse::kAny},
    // A missing file is an I/O problem whether the library or the plug-in found it. The
    // host-control layer fails only on its files (/etc/hosts, /etc/resolv.conf, its options)
    // and the management interface; the PAM and NSS models refuse what a file holds.
    {IsAny<a::IOError, a::FilePermissionError, HostCtl::Lib::HostCtlException,
           SystemConfiguration::InvalidDatabaseException,
           SystemConfiguration::InvalidServiceException, a::FileNotFoundException,
           a::InvalidThumbprintStoreException, a::ConfigurationError,
           SystemConfiguration::InvalidEntryException,
           SystemConfiguration::InvalidFacilityException,
           SystemConfiguration::InvalidControlException>,
     kIO, nullptr, nullptr, nullptr, Reuse::kAny},
    {IsAny<a::InvalidCredentialsException, a::InvalidHostNameException,
           a::InvalidIPAddressException, a::InvalidKeyException,
           a::UnknownRemoteAuthenticationStoreException,
           a::InvalidRemoteAuthenticationStoreException, a::InvalidCertificateException,
           a::InvalidVerifyQAPCertificateOptionException, a::InvalidComputerNameException,
           a::InvalidParameterException, a::InvalidAccountNameException,
           a::InvalidDomainNameException, a::UnknownAccountException>,
     kInvalidInput, nullptr, nullptr, nullptr, Reuse::kAny},
    // A thread the library could not start is the host's trouble, not the directory's.
    {IsAny<a::ThreadErrorException>, kInternal, nullptr, nullptr, nullptr, Reuse::kAny},
    {IsAny<a::Exception>, kDirectory, nullptr, nullptr, nullptr, Reuse::kAny},
};

Row const kOther = {nullptr, kInternal, nullptr, nullptr, nullptr, Reuse::kAny};

Row const& RowFor(std::exception const& error, ErrorContext const& context) {
    for (Row const& row : kRows) {
        if (!row.matches(error)) continue;
        if (row.command != nullptr && context.command != row.command) continue;
        if (row.reuse != Reuse::kAny && context.reuseAccount != (row.reuse == Reuse::kWith)) {
            continue;
        }
        return row;
    }
    return kOther;
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
    return RowFor(error, CurrentErrorContext()).code;
}

std::string Explain(std::exception const& error, ErrorContext const& context) {
    Row const& row = RowFor(error, context);
    auto const* status = dynamic_cast<a::Exception const*>(&error);
    unsigned long const code = status != nullptr ? status->GetCode() : 0;
    std::string text;
    if (row.words != nullptr) {
        text = Fill(row.words, context);
        if (row.next != nullptr) text += ": " + Fill(row.next, context);
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
