#ifndef QAP_CLIENT_FAILURE_H
#define QAP_CLIENT_FAILURE_H

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace qapclient {

// The statuses the plug-in hands to the library (Windows error numbers).
enum Status : std::uint32_t {
    kSuccess = 0,
    kNotEnoughMemory = 8,
    kInvalidParameter = 87,
    kConnectionRefused = 1225,  // refused or unreachable
    kConnectionInvalid = 1229,  // the connection ended before a whole answer
    kMalformedAnswer = 1359,    // "An internal error occurred."
    kTimedOut = 10060,          // connect, handshake or answer not within its bound
    kUntrustedCertificate = 0x80090325u,
};

// Ends an operation with a status and the reason, which goes to the system log.
class Failure : public std::exception {
public:
    Failure(std::uint32_t status, std::string reason) : status(status), reason(std::move(reason)) {}
    char const* what() const noexcept override { return reason.c_str(); }

    std::uint32_t const status;

private:
    std::string reason;
};

}  // namespace qapclient

#endif
