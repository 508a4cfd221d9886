// Before a join the host's name must fit the domain, and the name the directory will know
// the host by must resolve on the host itself: the domain may go into the DNS search list,
// and the management address gets a hosts-file entry.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/hostname_check.h>
#include <hostctl/dns_config.h>
#include <hostctl/hostctl_exception.h>
#include <hostctl/hosts_file.h>
#include <hostctl/network_info.h>
#include <syslog.h>

#include <memory>
#include <string>
#include <vector>

#include "change_record.h"
#include "file_content.h"
#include "paths.h"

namespace ostrel {
namespace authentication {

namespace {

char const kNetworkStack[] = "defaultTcpipStack";
using paths::kHostsFile;
using paths::kResolverFile;

// The file's bytes, or a marker no file holds when it cannot be read: only a comparison of
// before and after is made, to tell the caller whether the host-control layer changed it.
std::string Snapshot(char const* path) {
    std::string content;
    int error = 0;
    if (ReadFileContent(path, content, error) != ReadFailure::None) return std::string(1, '\0');
    return content;
}

void AddSearchDomain(std::string const& domain) {
    QuorCtl::Network::DnsConfigImpl dns(kNetworkStack);
    dns.AddSearchDomain(domain);
    dns.SaveConfig();
}

}  // namespace

// Nothing is undone on failure: a saved search-list change stays when a later check fails,
// and no hosts entry is written after a failure.
void ActiveDirectoryStore::SanitiseHostnameForDomain(std::string const& domain) const {
    HostnameRepair repair;
    SanitiseHostnameForDomain(domain, repair);
}

// The host-control layer fails only on the hosts file, the resolver's file and the management
// interface: its failures leave as I/O errors of the library, with their text.
void ActiveDirectoryStore::SanitiseHostnameForDomain(std::string const& domain,
                                                     HostnameRepair& repair) const try {
    ChangeRecord record;
    QuorCtl::Network::HostsFile hostsFile;
    QuorCtl::Network::NetworkInfoImpl networkInfo;

    HostnameCheck const check = CheckHostnameForDomain(domain);
    if (!check.shortNameMatches) throw InvalidHostNameException(check.Problem());
    if (!check.fullyQualifiedNameMatches) {
        syslog(LOG_WARNING,
               "The fully qualified hostname %s does not match the expected value %s\n",
               check.fullyQualifiedName.c_str(), check.expectedName.c_str());
        repair.warnings.push_back("The fully qualified hostname " + check.fullyQualifiedName +
                                  " does not match the expected value " + check.expectedName);
        if (check.domainResolves) {
            std::string const before = Snapshot(kResolverFile);
            AddSearchDomain(domain);
            if (Snapshot(kResolverFile) != before) {
                repair.searchDomainAdded = domain;
                NoteHostChange(std::string("wrote ") + kResolverFile + ": added " + domain +
                               " to the DNS search list");
            }
        }
    }
    if (check.blacklisted) throw InvalidHostNameException(check.Problem());

    std::unique_ptr<HostCtl::Network::NetworkInterface> const management =
        networkInfo.GetManagementInterface();
    std::string const address = management->GetIpConfig().GetIpv4Address().GetStringAddress();
    std::string const before = Snapshot(kHostsFile);
    hostsFile.AddOrReplaceEntry(address, check.fullyQualifiedName,
                                std::vector<std::string>(1, check.shortName));
    if (Snapshot(kHostsFile) != before) {
        repair.hostsEntry = address + "\t" + check.fullyQualifiedName + " " + check.shortName;
        NoteHostChange(std::string("wrote ") + kHostsFile + ": the line \"" + repair.hostsEntry +
                       "\"");
    }
} catch (HostCtl::Lib::HostCtlException const& failure) {
    throw IOError(failure.what());
}

}  // namespace authentication
}  // namespace ostrel
