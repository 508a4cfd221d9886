#ifndef HOSTCTL_NETWORK_INTERFACE_H
#define HOSTCTL_NETWORK_INTERFACE_H

#include <hostctl/export.h>
#include <hostctl/hostctl_object.h>
#include <hostctl/ipv4_address.h>

#include <string>

namespace HostCtl {
namespace Network {

// The IP configuration of an interface at the moment it was asked for. A plain value.
class QUORCTL_EXPORT IpConfig {
public:
    explicit IpConfig(Ipv4Address const& address) : address(address) {}

    Ipv4Address GetIpv4Address() const { return address; }

private:
    Ipv4Address address;
};

// A network interface of the host, by name. Immutable after construction: safe to call from
// any thread.
class QUORCTL_EXPORT NetworkInterface : public virtual Lib::HostCtlObject {
public:
    explicit NetworkInterface(std::string name);
    ~NetworkInterface() override;

    std::string const& GetName() const { return name; }

    // The interface's current configuration: its first IPv4 address as the system lists
    // them. Throws HostCtlException naming the interface when it has no IPv4 address or the
    // addresses cannot be listed.
    IpConfig GetIpConfig() const;

private:
    std::string name;
};

}  // namespace Network
}  // namespace HostCtl

#endif
