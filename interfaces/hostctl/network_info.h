#ifndef HOSTCTL_NETWORK_INFO_H
#define HOSTCTL_NETWORK_INFO_H

// Safe to call from any thread: it holds no state. What it returns is the caller's.

#include <hostctl/export.h>
#include <hostctl/hostctl_object.h>
#include <hostctl/network_interface.h>

#include <memory>

namespace QuorCtl {
namespace Network {

class QUORCTL_EXPORT NetworkInfoImpl : public virtual HostCtl::Lib::HostCtlObject {
public:
    NetworkInfoImpl() = default;
    ~NetworkInfoImpl() override;

    // The interface the host is managed through, owned by the caller and never empty: the
    // interface named in /etc/ostrel/hostctl/management-interface, or without that file the
    // interface of the IPv4 default route (the one with the lowest metric). Throws
    // HostCtlException when neither names an interface or the named one does not exist.
    std::unique_ptr<HostCtl::Network::NetworkInterface> GetManagementInterface() const;
};

}  // namespace Network
}  // namespace QuorCtl

#endif
