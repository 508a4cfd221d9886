#ifndef AUTHENTICATION_EXCEPTIONS_H
#define AUTHENTICATION_EXCEPTIONS_H

// Every exception class here is immutable once made: copy it and rethrow it on any thread.

#include <authentication/export.h>

#include <exception>
#include <string>

namespace ostrel {
namespace authentication {

// What kind of failure an exception reports, for callers that react to the kind rather than
// to each class. Every class of the family has one; the status classes take theirs from the
// status table.
enum class ErrorCategory {
    kCredentials,   // the directory refused the credentials: wrong, locked out, expired
    kUnreachable,   // the domain or a domain controller of it not found or not answering
    kMembership,    // the host's membership forbids it: already joined, not joined, ...
    kTimedOut,      // the directory did not answer in time
    kIO,            // a file is missing, cannot be read or written, or its content is refused
    kInvalidInput,  // a name, address, credential or option the library refuses
    kDirectory,     // the directory or its plug-in failed otherwise
    kInternal,      // the library's own trouble, such as a thread it could not start
};

// Root of every exception the library raises. The code is 0 unless the exception carries a
// status; status-carrying exceptions read "Exception 0x%08lx: " followed by their text.
class TSLAUTH_EXPORT Exception : public std::exception {
public:
    explicit Exception(std::string const& message);
    Exception(unsigned long code, std::string const& message);
    Exception(Exception const& other);
    ~Exception() override;

    char const* what() const noexcept override;
    unsigned long GetCode() const { return code; }
    // The kind of the most derived class. A class from outside the library, and the root
    // itself, report kDirectory.
    ErrorCategory GetCategory() const;

    // A heap copy of the most derived class; the caller deletes it.
    virtual Exception* Clone() const;
    // Throws a copy whose static type is the most derived class.
    [[noreturn]] virtual void Throw() const;

private:
    Exception& operator=(Exception const&) = delete;

    unsigned long code;
    std::string message;
};

// What every concrete class adds: nothing but its own clone and rethrow.
#define TSLAUTH_EXCEPTION_MEMBERS(Name) \
public:                                 \
    Name(Name const&) = default;        \
    ~Name() override;                   \
    Exception* Clone() const override;  \
    [[noreturn]] void Throw() const override;

#define TSLAUTH_DETAIL_EXCEPTION(Name, Arg)        \
    class TSLAUTH_EXPORT Name : public Exception { \
    public:                                        \
        explicit Name(std::string const& Arg);     \
        TSLAUTH_EXCEPTION_MEMBERS(Name)            \
    };

#define TSLAUTH_FIXED_EXCEPTION(Name)              \
    class TSLAUTH_EXPORT Name : public Exception { \
    public:                                        \
        Name();                                    \
        TSLAUTH_EXCEPTION_MEMBERS(Name)            \
    };

#define TSLAUTH_NAMED_EXCEPTION(Name)                             \
    class TSLAUTH_EXPORT Name : public Exception {                \
    public:                                                       \
        explicit Name(std::string const& name);                   \
        Name(std::string const& name, std::string const& reason); \
        TSLAUTH_EXCEPTION_MEMBERS(Name)                           \
    };

// Raised by the library's own checks.
TSLAUTH_DETAIL_EXCEPTION(ThreadErrorException, detail)
TSLAUTH_FIXED_EXCEPTION(ProviderCallTimedOutException)
TSLAUTH_DETAIL_EXCEPTION(IOError, message)
TSLAUTH_DETAIL_EXCEPTION(FilePermissionError, detail)

// A configuration file refused: a malformed line, a file that is not trusted, or entries that
// cannot be written. The message names the line, not the file; the file, the line (from 1,
// 0 when the refusal is not about one line) and that line's text are told apart.
class TSLAUTH_EXPORT ConfigurationError : public Exception {
public:
    explicit ConfigurationError(std::string const& message);
    ConfigurationError(std::string const& message, std::string const& file, unsigned long line = 0,
                       std::string const& lineText = std::string());
    std::string const& GetFile() const { return file; }
    unsigned long GetLine() const { return line; }
    std::string const& GetLineText() const { return lineText; }
    TSLAUTH_EXCEPTION_MEMBERS(ConfigurationError)

private:
    std::string file;
    unsigned long line;
    std::string lineText;
};

TSLAUTH_DETAIL_EXCEPTION(InvalidKeyException, key)
TSLAUTH_DETAIL_EXCEPTION(UnknownRemoteAuthenticationStoreException, name)
TSLAUTH_DETAIL_EXCEPTION(InvalidRemoteAuthenticationStoreException, name)
TSLAUTH_NAMED_EXCEPTION(InvalidActiveDirectoryProviderException)
TSLAUTH_NAMED_EXCEPTION(InvalidQAPProxyProviderException)
TSLAUTH_DETAIL_EXCEPTION(InvalidThumbprintStoreException, name)
TSLAUTH_FIXED_EXCEPTION(InvalidQAPCertificateException)
TSLAUTH_FIXED_EXCEPTION(InvalidCertificateException)
TSLAUTH_DETAIL_EXCEPTION(InvalidCredentialsException, detail)
TSLAUTH_DETAIL_EXCEPTION(InvalidHostNameException, detail)
TSLAUTH_DETAIL_EXCEPTION(InvalidIPAddressException, detail)
TSLAUTH_DETAIL_EXCEPTION(InvalidVerifyQAPCertificateOptionException, detail)
// A name the directory does not know, or of the wrong kind (a user given as a group).
TSLAUTH_DETAIL_EXCEPTION(UnknownAccountException, detail)

// One class per provider status number, each with its fixed code and text.
TSLAUTH_FIXED_EXCEPTION(FileNotFoundException)
TSLAUTH_FIXED_EXCEPTION(CallNotImplementedException)
TSLAUTH_FIXED_EXCEPTION(AccessDeniedException)
TSLAUTH_FIXED_EXCEPTION(AccountExistsException)
TSLAUTH_FIXED_EXCEPTION(AccountDisabledException)
TSLAUTH_FIXED_EXCEPTION(AccountLockedOutException)
TSLAUTH_FIXED_EXCEPTION(BadDLLEntryPointException)
TSLAUTH_FIXED_EXCEPTION(ConnectionInvalidException)
TSLAUTH_FIXED_EXCEPTION(ConnectionRefusedException)
TSLAUTH_FIXED_EXCEPTION(ConnectionUnavailableException)
TSLAUTH_FIXED_EXCEPTION(DefaultJoinRequiredException)
TSLAUTH_FIXED_EXCEPTION(DirectoryException)
TSLAUTH_FIXED_EXCEPTION(DomainControllerNotFoundException)
TSLAUTH_FIXED_EXCEPTION(DomainTrustInconsistentException)
TSLAUTH_FIXED_EXCEPTION(ExceptionInServiceException)
TSLAUTH_FIXED_EXCEPTION(GeneralFailureException)
TSLAUTH_FIXED_EXCEPTION(IllFormedPasswordException)
TSLAUTH_FIXED_EXCEPTION(InternalErrorException)
TSLAUTH_FIXED_EXCEPTION(InvalidAccountNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidComputerNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidDomainNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidGroupNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidMessageException)
TSLAUTH_FIXED_EXCEPTION(InvalidNetNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidParameterException)
TSLAUTH_FIXED_EXCEPTION(InvalidPasswordException)
TSLAUTH_FIXED_EXCEPTION(InvalidPasswordNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidServiceNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidShareNameException)
TSLAUTH_FIXED_EXCEPTION(InvalidWorkgroupNameException)
TSLAUTH_FIXED_EXCEPTION(LogonFailureException)
TSLAUTH_FIXED_EXCEPTION(NoLogonServersException)
TSLAUTH_FIXED_EXCEPTION(NoNetworkException)
TSLAUTH_FIXED_EXCEPTION(NoSuchDomainException)
TSLAUTH_FIXED_EXCEPTION(NoSuchGroupException)
TSLAUTH_FIXED_EXCEPTION(NoSuchUserException)
TSLAUTH_FIXED_EXCEPTION(NoTrustLSASecretException)
TSLAUTH_FIXED_EXCEPTION(NoTrustSAMAccountException)
TSLAUTH_FIXED_EXCEPTION(NotEnoughMemoryException)
TSLAUTH_FIXED_EXCEPTION(PasswordExpiredException)
TSLAUTH_FIXED_EXCEPTION(PasswordRestrictionException)
TSLAUTH_FIXED_EXCEPTION(ProcessAbortedException)
TSLAUTH_FIXED_EXCEPTION(RPCSCallInProgressException)
TSLAUTH_FIXED_EXCEPTION(RPCSProtocolSequenceNotSupportedException)
TSLAUTH_FIXED_EXCEPTION(SemaphoreTimeoutException)
TSLAUTH_FIXED_EXCEPTION(ServiceCannotAcceptControlException)
TSLAUTH_FIXED_EXCEPTION(ServiceDoesNotExistException)
TSLAUTH_FIXED_EXCEPTION(ServiceNotActiveException)
TSLAUTH_FIXED_EXCEPTION(SetupAlreadyJoinedException)
TSLAUTH_FIXED_EXCEPTION(SetupNotJoinedException)
TSLAUTH_FIXED_EXCEPTION(TimeSkewException)
TSLAUTH_FIXED_EXCEPTION(WSATimedOutException)
TSLAUTH_FIXED_EXCEPTION(WkstaNotStartedException)

// Any status the mapping does not know.
class TSLAUTH_EXPORT UnknownException : public Exception {
public:
    explicit UnknownException(unsigned long code);
    TSLAUTH_EXCEPTION_MEMBERS(UnknownException)
};

#undef TSLAUTH_EXCEPTION_MEMBERS
#undef TSLAUTH_DETAIL_EXCEPTION
#undef TSLAUTH_FIXED_EXCEPTION
#undef TSLAUTH_NAMED_EXCEPTION

}  // namespace authentication
}  // namespace ostrel

#endif
