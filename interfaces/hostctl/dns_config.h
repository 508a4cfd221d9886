#ifndef HOSTCTL_DNS_CONFIG_H
#define HOSTCTL_DNS_CONFIG_H

// Not thread-safe: one thread at a time per object, which holds the domains noted for saving.

#include <hostctl/export.h>
#include <hostctl/hostctl_object.h>

#include <string>
#include <vector>

namespace QuorCtl {
namespace Network {

// The resolver configuration of a network stack. The host has one stack,
// "defaultTcpipStack", whose configuration is /etc/resolv.conf.
class QUORCTL_EXPORT DnsConfigImpl : public virtual HostCtl::Lib::HostCtlObject {
public:
    // Throws HostCtlException for any other stack name.
    explicit DnsConfigImpl(std::string const& stackName);
    ~DnsConfigImpl() override;

    // Notes a domain to be added to the end of the search list by SaveConfig. Throws
    // HostCtlException for a text that is not a single domain name (empty, blanks or
    // control characters, longer than a DNS name).
    void AddSearchDomain(std::string const& domain);

    // Adds the noted domains that the stored search list lacks (compared without regard to
    // case or a final dot) and replaces the file atomically; nothing is written when none is
    // lacking. Every other line of the file is kept as it is. Concurrent callers take turns
    // (flock on /etc/ostrel/hostctl/resolv.conf.lock), so none loses another's domains.
    void SaveConfig();

private:
    std::vector<std::string> pendingDomains;
};

}  // namespace Network
}  // namespace QuorCtl

#endif
