// Before a join the host's name must fit the domain, and the name the directory will know
// the host by must resolve on the host itself: the domain may go into the DNS search list,
// and the management address gets a hosts-file entry.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/hostname_check.h>
#include <hostctl/dns_config.h>
#include <hostctl/hosts_file.h>
#include <hostctl/network_info.h>
#include <syslog.h>

#include <memory>
#include <string>
#include <vector>

namespace ostrel {
namespace authentication {

namespace {

char const kNetworkStack[] = "defaultTcpipStack";

void AddSearchDomain(std::string const& domain) {
    QuorCtl::Network::DnsConfigImpl dns(kNetworkStack);
    dns.AddSearchDomain(domain);
    dns.SaveConfig();
}

}  // namespace

// Nothing is undone on failure: a saved search-list change stays when a later check fails,
// and no hosts entry is written after a failure.
void ActiveDirectoryStore::SanitiseHostnameForDomain(std::string const& domain) const {
    QuorCtl::Network::HostsFile hostsFile;
    QuorCtl::Network::NetworkInfoImpl networkInfo;

    HostnameCheck const check = CheckHostnameForDomain(domain);
    if (!check.shortNameMatches) throw InvalidHostNameException(check.Problem());
    if (!check.fullyQualifiedNameMatches) {
        syslog(LOG_WARNING,
               "The fully qualified hostname %s does not match the expected value %s\n",
               check.fullyQualifiedName.c_str(), check.expectedName.c_str());
        if (check.domainResolves) AddSearchDomain(domain);
    }
    if (check.blacklisted) throw InvalidHostNameException(check.Problem());

    std::unique_ptr<HostCtl::Network::NetworkInterface> const management =
        networkInfo.GetManagementInterface();
    std::string const address = management->GetIpConfig().GetIpv4Address().GetStringAddress();
    hostsFile.AddOrReplaceEntry(address, check.fullyQualifiedName,
                                std::vector<std::string>(1, check.shortName));
}

}  // namespace authentication
}  // namespace ostrel
