#include "exit_codes.h"

#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <hostctl/hostctl_exception.h>
#include <systemconfiguration/nss_configuration.h>
#include <systemconfiguration/pam_control.h>
#include <systemconfiguration/pam_policy.h>

#include <cstdlib>
#include <fstream>

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

ExitCode ExitCodeFor(std::exception const& error) {
    if (Is<UsageError>(error)) return kUsage;
    if (Is<a::ProviderCallTimedOutException>(error) || Is<a::WSATimedOutException>(error) ||
        Is<a::SemaphoreTimeoutException>(error)) {
        return kTimedOut;
    }
    // A missing file is an I/O problem whether the library or the plug-in found it. The
    // host-control layer fails only on its files (/etc/hosts, /etc/resolv.conf, its options)
    // and the management interface; the PAM and NSS models refuse what a file holds.
    if (Is<a::IOError>(error) || Is<a::FilePermissionError>(error) ||
        Is<HostCtl::Lib::HostCtlException>(error) ||
        Is<SystemConfiguration::InvalidDatabaseException>(error) ||
        Is<SystemConfiguration::InvalidServiceException>(error) ||
        Is<a::FileNotFoundException>(error) || Is<a::InvalidThumbprintStoreException>(error) ||
        Is<a::ConfigurationError>(error) || Is<SystemConfiguration::InvalidEntryException>(error) ||
        Is<SystemConfiguration::InvalidFacilityException>(error) ||
        Is<SystemConfiguration::InvalidControlException>(error)) {
        return kIO;
    }
    if (Is<a::InvalidCredentialsException>(error) || Is<a::InvalidHostNameException>(error) ||
        Is<a::InvalidIPAddressException>(error) || Is<a::InvalidKeyException>(error) ||
        Is<a::UnknownRemoteAuthenticationStoreException>(error) ||
        Is<a::InvalidRemoteAuthenticationStoreException>(error) ||
        Is<a::InvalidCertificateException>(error) ||
        Is<a::InvalidVerifyQAPCertificateOptionException>(error) ||
        Is<a::InvalidComputerNameException>(error) || Is<a::InvalidParameterException>(error) ||
        Is<a::InvalidAccountNameException>(error) || Is<a::InvalidDomainNameException>(error) ||
        Is<a::UnknownAccountException>(error)) {
        return kInvalidInput;
    }
    // A thread the library could not start is the host's trouble, not the directory's.
    if (Is<a::ThreadErrorException>(error)) return kInternal;
    if (Is<a::Exception>(error)) return kDirectory;
    return kInternal;
}

}  // namespace tslauth
