#include "exit_codes.h"

#include <authentication/exceptions.h>
#include <systemconfiguration/pam_control.h>
#include <systemconfiguration/pam_policy.h>

namespace tslauth {

namespace a = ostrel::authentication;

namespace {

template <class T>
bool Is(std::exception const& error) {
    return dynamic_cast<T const*>(&error) != nullptr;
}

}  // namespace

ExitCode ExitCodeFor(std::exception const& error) {
    if (Is<UsageError>(error)) return kUsage;
    if (Is<a::ProviderCallTimedOutException>(error) || Is<a::WSATimedOutException>(error)) {
        return kTimedOut;
    }
    // A missing file is an I/O problem whether the library or the plug-in found it.
    if (Is<a::IOError>(error) || Is<a::FilePermissionError>(error) ||
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
        Is<a::InvalidAccountNameException>(error) || Is<a::InvalidDomainNameException>(error)) {
        return kInvalidInput;
    }
    if (Is<a::Exception>(error)) return kDirectory;
    return kInternal;
}

}  // namespace tslauth
