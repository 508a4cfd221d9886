#ifndef QAP_CLIENT_EXCHANGE_H
#define QAP_CLIENT_EXCHANGE_H

#include <string>

#include "endpoint.h"

namespace qapclient {

// How long each step may take. Provisioning waits on the domain controller behind the
// service, hence the long wait for the answer.
int const kConnectSeconds = 10;  // the TCP connection, and again the TLS handshake
int const kWriteSeconds = 10;
int const kReadSeconds = 60;
// The whole exchange, from the TCP connection to the answer's last byte.
int const kExchangeSeconds = 90;
// The protocol's largest body; a longer answer is malformed.
std::size_t const kMaxAnswerBytes = 64 * 1024;
// What the connection may bring in all (the handshake, the status line, the headers and the
// body); past it the answer is malformed, before it is held in memory.
std::size_t const kMaxReceivedBytes = 128 * 1024;

// The pinned certificate: with verify set, only a server whose leaf certificate has this
// SHA-1 thumbprint ("AB:01:...", any case) is talked to.
struct Trust {
    bool verify = false;
    std::string thumbprint;
};

struct Answer {
    std::string where;  // "METHOD PATH at ADDRESS:PORT", for the log
    int httpStatus = 0;
    std::string body;
};

// One HTTPS request (a JSON body when `body` is not empty) and its answer, whatever the HTTP
// status. Throws Failure with 1225, 1229, 10060, 0x80090325 or 1359 when no whole answer
// arrives.
Answer Exchange(Endpoint const& endpoint, Trust const& trust, char const* method, char const* path,
                std::string const& body);

}  // namespace qapclient

#endif
