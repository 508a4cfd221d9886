#include <hostctl/network_interface.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "system_files.h"

namespace HostCtl {
namespace Network {

NetworkInterface::NetworkInterface(std::string name) : name(std::move(name)) {}

NetworkInterface::~NetworkInterface() = default;

IpConfig NetworkInterface::GetIpConfig() const {
    struct ifaddrs* addresses = nullptr;
    if (::getifaddrs(&addresses) != 0) {
        Files::ThrowSystemError("Unable to list the addresses of interface", name, errno);
    }
    bool found = false;
    std::uint32_t address = 0;
    // The system lists an interface's primary address first.
    for (struct ifaddrs* entry = addresses; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (name != entry->ifa_name) continue;
        address = reinterpret_cast<struct sockaddr_in const*>(entry->ifa_addr)->sin_addr.s_addr;
        found = true;
    }
    ::freeifaddrs(addresses);
    if (!found) Files::ThrowSystemError("No IPv4 address on interface", name, EADDRNOTAVAIL);
    return IpConfig(Ipv4Address::FromNetworkOrder(address));
}

}  // namespace Network
}  // namespace HostCtl
