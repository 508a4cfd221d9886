#ifndef DEMO_DIRECTORY_FAILURE_H
#define DEMO_DIRECTORY_FAILURE_H

#include <cstdint>
#include <exception>
#include <string>

namespace demodirectory {

// The statuses the demo directory answers with (Windows error numbers).
enum Status : std::uint32_t {
    kSuccess = 0,
    kFileNotFound = 2,
    kAccessDenied = 5,
    kNotEnoughMemory = 8,
    kInvalidPassword = 86,
    kInvalidParameter = 87,
    kInvalidContainer = 267,  // "The directory name is invalid."
    kConnectionRefused = 1225,
    kInvalidComputerName = 1210,
    kNoLogonServers = 1311,
    kInvalidAccountName = 1315,
    kLogonFailure = 1326,
    kNoSuchDomain = 1355,
    kAccountLockedOut = 1909,
    kInternalError = 1359,
    kNoTrustSAMAccount = 1787,
    kDomainTrustInconsistent = 1810,
    kAlreadyJoined = 2691,
    kNotJoined = 2692,
    kTimedOut = 10060,
    kBusy = 0xFFFF0000u,  // transient: the caller tries again
    kUntrustedCertificate = 0x80090325u,
};

// Ends an operation with a status. A failure of the directory file itself (unreadable,
// malformed, not writable) carries a text for the system log; a plain answer of the directory
// (wrong password, unknown domain) carries none.
class Failure : public std::exception {
public:
    explicit Failure(std::uint32_t status, std::string text = std::string())
        : status(status), text(std::move(text)) {}
    char const* what() const noexcept override { return text.c_str(); }
    bool Logged() const { return !text.empty(); }

    std::uint32_t const status;

private:
    std::string text;
};

[[noreturn]] inline void Refuse(std::uint32_t status) {
    throw Failure(status);
}

}  // namespace demodirectory

#endif
