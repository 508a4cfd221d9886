#include <authentication/exceptions.h>

#include <cstdio>
#include <typeinfo>

namespace ostrel {
namespace authentication {

namespace {

std::string WithCode(unsigned long code, std::string const& message) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "Exception 0x%08lx: ", code);
    return prefix + message;
}

}  // namespace

Exception::Exception(std::string const& message) : code(0), message(message) {}

Exception::Exception(unsigned long code, std::string const& message)
    : code(code), message(WithCode(code, message)) {}

Exception::Exception(Exception const& other)
    : std::exception(other), code(other.code), message(other.message) {}

Exception::~Exception() {}

char const* Exception::what() const noexcept {
    return message.c_str();
}

Exception* Exception::Clone() const {
    return new Exception(*this);
}

void Exception::Throw() const {
    throw Exception(*this);
}

#define TSLAUTH_EXCEPTION_MEMBERS(Name) \
    Name::~Name() {}                    \
    Exception* Name::Clone() const {    \
        return new Name(*this);         \
    }                                   \
    void Name::Throw() const {          \
        throw Name(*this);              \
    }

#define TSLAUTH_DETAIL_EXCEPTION(Name, prefix, suffix)                             \
    Name::Name(std::string const& detail) : Exception(prefix + detail + suffix) {} \
    TSLAUTH_EXCEPTION_MEMBERS(Name)

#define TSLAUTH_NAMED_EXCEPTION(Name, prefix)                                          \
    Name::Name(std::string const& name) : Exception(prefix + name + "' is invalid") {} \
    Name::Name(std::string const& name, std::string const& reason)                     \
        : Exception(prefix + name + "' is invalid: " + reason) {}                      \
    TSLAUTH_EXCEPTION_MEMBERS(Name)

#define TSLAUTH_TEXT_EXCEPTION(Name, text) \
    Name::Name() : Exception(text) {}      \
    TSLAUTH_EXCEPTION_MEMBERS(Name)

TSLAUTH_DETAIL_EXCEPTION(ThreadErrorException, "Thread Error: ", "")
TSLAUTH_TEXT_EXCEPTION(ProviderCallTimedOutException, "Provider call timed out.")
TSLAUTH_DETAIL_EXCEPTION(IOError, "", "")
TSLAUTH_DETAIL_EXCEPTION(FilePermissionError,
                         "Failed to save file permissions, file permissions may be incorrect: ", "")
ConfigurationError::ConfigurationError(std::string const& message) : Exception(message), line(0) {}
ConfigurationError::ConfigurationError(std::string const& message, std::string const& file,
                                       unsigned long line, std::string const& lineText)
    : Exception(message), file(file), line(line), lineText(lineText) {}
TSLAUTH_EXCEPTION_MEMBERS(ConfigurationError)
TSLAUTH_DETAIL_EXCEPTION(InvalidKeyException, "The specified key '",
                         "' was not found in this configuration")
TSLAUTH_DETAIL_EXCEPTION(UnknownRemoteAuthenticationStoreException, "The specified store '",
                         "' is unknown")
TSLAUTH_DETAIL_EXCEPTION(InvalidRemoteAuthenticationStoreException, "The specified store '",
                         "' is invalid")
TSLAUTH_NAMED_EXCEPTION(InvalidActiveDirectoryProviderException,
                        "The specified Active Directory provider '")
TSLAUTH_NAMED_EXCEPTION(InvalidQAPProxyProviderException, "The specified QAPProxy provider '")
TSLAUTH_DETAIL_EXCEPTION(InvalidThumbprintStoreException, "The specified thumbprint store '",
                         "' is invalid")
TSLAUTH_TEXT_EXCEPTION(InvalidQAPCertificateException,
                       "The QAP server's certificate cannot be verified.")
TSLAUTH_TEXT_EXCEPTION(InvalidCertificateException,
                       "The certificate format is invalid; only PEM format is supported.")
TSLAUTH_DETAIL_EXCEPTION(InvalidCredentialsException,
                         "The credentials that were provided were invalid: ", "")
TSLAUTH_DETAIL_EXCEPTION(InvalidHostNameException, "The current hostname is invalid: ", "")
TSLAUTH_DETAIL_EXCEPTION(InvalidIPAddressException, "The IP Address is invalid: ", "")
TSLAUTH_DETAIL_EXCEPTION(InvalidVerifyQAPCertificateOptionException,
                         "The VerifyQAPCertificate option is invalid: ", "")
TSLAUTH_DETAIL_EXCEPTION(UnknownAccountException, "", "")

// Status classes carry their status code and fixed text.
#define X(Name, status, category, text)       \
    Name::Name() : Exception(status, text) {} \
    TSLAUTH_EXCEPTION_MEMBERS(Name)
#include "status_table.inc"
#undef X

UnknownException::UnknownException(unsigned long code) : Exception(code, "Unknown exception") {}
TSLAUTH_EXCEPTION_MEMBERS(UnknownException)

namespace {

struct Kind {
    std::type_info const& type;
    ErrorCategory category;
};

}  // namespace

// By the exact class: the category is no state of the object, so the root's layout and that
// of every class derived from it stay as they were.
ErrorCategory Exception::GetCategory() const {
    using C = ErrorCategory;
    static Kind const kinds[] = {
#define X(Name, status, category, text) {typeid(Name), C::category},
#include "status_table.inc"
#undef X
        {typeid(UnknownException), C::kDirectory},
        {typeid(ThreadErrorException), C::kInternal},
        {typeid(ProviderCallTimedOutException), C::kTimedOut},
        {typeid(IOError), C::kIO},
        {typeid(FilePermissionError), C::kIO},
        {typeid(ConfigurationError), C::kIO},
        {typeid(InvalidThumbprintStoreException), C::kIO},
        {typeid(InvalidKeyException), C::kInvalidInput},
        {typeid(UnknownRemoteAuthenticationStoreException), C::kInvalidInput},
        {typeid(InvalidRemoteAuthenticationStoreException), C::kInvalidInput},
        {typeid(InvalidCertificateException), C::kInvalidInput},
        {typeid(InvalidCredentialsException), C::kInvalidInput},
        {typeid(InvalidHostNameException), C::kInvalidInput},
        {typeid(InvalidIPAddressException), C::kInvalidInput},
        {typeid(InvalidVerifyQAPCertificateOptionException), C::kInvalidInput},
        {typeid(UnknownAccountException), C::kInvalidInput},
        // The plug-in named cannot serve, or the proxy showed another certificate.
        {typeid(InvalidActiveDirectoryProviderException), C::kDirectory},
        {typeid(InvalidQAPProxyProviderException), C::kDirectory},
        {typeid(InvalidQAPCertificateException), C::kDirectory},
    };
    std::type_info const& type = typeid(*this);
    for (Kind const& kind : kinds) {
        if (kind.type == type) return kind.category;
    }
    return C::kDirectory;
}

}  // namespace authentication
}  // namespace ostrel
