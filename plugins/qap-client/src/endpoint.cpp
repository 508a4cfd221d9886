#include "endpoint.h"

#include <arpa/inet.h>

#include "failure.h"

namespace qapclient {

namespace {

bool IsNumericAddress(std::string const& text) {
    unsigned char buffer[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// 1 to 65535 in decimal digits, no sign, no blanks; 0 otherwise.
int ParsePort(std::string const& text) {
    if (text.empty() || text.size() > 5) return 0;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

}  // namespace

Endpoint ParseServer(char const* server) {
    std::string const text = server;
    Endpoint endpoint;
    std::string port;
    bool hasPort = false;
    if (!text.empty() && text[0] == '[') {
        std::string::size_type const close = text.find(']');
        if (close != std::string::npos) {
            endpoint.address = text.substr(1, close - 1);
            if (close + 1 < text.size()) {
                hasPort = text[close + 1] == ':';
                port = text.substr(close + 2);
                if (!hasPort) endpoint.address.clear();
            }
        }
        if (endpoint.address.find(':') == std::string::npos) endpoint.address.clear();
    } else if (text.find(':') != text.rfind(':')) {
        endpoint.address = text;  // a bare IPv6 address
    } else {
        std::string::size_type const colon = text.find(':');
        endpoint.address = text.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            port = text.substr(colon + 1);
        }
    }
    if (hasPort) endpoint.port = ParsePort(port);
    if (endpoint.address.empty() || !IsNumericAddress(endpoint.address) || endpoint.port == 0) {
        throw Failure(kInvalidParameter, "'" + text + "' is not ADDRESS or ADDRESS:PORT");
    }
    return endpoint;
}

}  // namespace qapclient
