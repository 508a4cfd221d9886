#ifndef HOSTCTL_IPV4_ADDRESS_H
#define HOSTCTL_IPV4_ADDRESS_H

// A plain value.

#include <hostctl/export.h>

#include <cstdint>
#include <string>

namespace HostCtl {
namespace Network {

class QUORCTL_EXPORT Ipv4Address {
public:
    // 0.0.0.0
    Ipv4Address();

    // Throws HostCtlException unless IsValidAddress(text).
    explicit Ipv4Address(std::string const& text);

    // From the four bytes in network order, as the system's socket addresses hold them.
    static Ipv4Address FromNetworkOrder(std::uint32_t address);

    // True exactly for a dotted quad of four decimal numbers of 0 to 255 without leading
    // zeros and nothing else around it (the rules of inet_pton for AF_INET).
    static bool IsValidAddress(std::string text);

    // The dotted-quad text.
    std::string GetStringAddress() const;

    bool operator==(Ipv4Address const& other) const { return address == other.address; }
    bool operator!=(Ipv4Address const& other) const { return address != other.address; }

private:
    std::uint32_t address;  // network order
};

}  // namespace Network
}  // namespace HostCtl

#endif
