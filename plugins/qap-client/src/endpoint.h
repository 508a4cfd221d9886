#ifndef QAP_CLIENT_ENDPOINT_H
#define QAP_CLIENT_ENDPOINT_H

#include <string>

namespace qapclient {

int const kDefaultPort = 9443;

// Where the service listens: a numeric address (IPv4, or IPv6 without brackets) and a port.
struct Endpoint {
    std::string address;
    int port = kDefaultPort;
};

// "ADDRESS", "ADDRESS:PORT", "[IPV6]" or "[IPV6]:PORT". Only numeric addresses: a name would
// be looked up without any bound on the wait. Throws Failure (87) for anything else.
Endpoint ParseServer(char const* server);

}  // namespace qapclient

#endif
