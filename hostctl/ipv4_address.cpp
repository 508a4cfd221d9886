#include <arpa/inet.h>
#include <hostctl/ipv4_address.h>
#include <netinet/in.h>

#include <cerrno>

#include "system_files.h"

namespace HostCtl {
namespace Network {

Ipv4Address::Ipv4Address() : address(0) {}

Ipv4Address::Ipv4Address(std::string const& text) : address(0) {
    if (!IsValidAddress(text)) Files::ThrowSystemError("Invalid IPv4 address", text, EINVAL);
    struct in_addr parsed;
    ::inet_pton(AF_INET, text.c_str(), &parsed);
    address = parsed.s_addr;
}

Ipv4Address Ipv4Address::FromNetworkOrder(std::uint32_t address) {
    Ipv4Address result;
    result.address = address;
    return result;
}

bool Ipv4Address::IsValidAddress(std::string text) {
    // inet_pton would stop at an embedded NUL and accept what comes before it.
    if (text.find('\0') != std::string::npos) return false;
    struct in_addr parsed;
    return ::inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

std::string Ipv4Address::GetStringAddress() const {
    struct in_addr value;
    value.s_addr = address;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &value, text, sizeof text);
    return text;
}

}  // namespace Network
}  // namespace HostCtl
