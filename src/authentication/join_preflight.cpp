// The checks a join makes, run without changing anything, for administrators who want to
// know in advance why a join would be refused or what it would change.
#include <authentication/exceptions.h>
#include <authentication/hostname_check.h>
#include <authentication/join_preflight.h>
#include <hostctl/network_info.h>

#include "host_names.h"

namespace ostrel {
namespace authentication {

namespace {

PreflightCheck Check(std::string const& name, bool passed, std::string const& detail,
                     std::string const& hint) {
    PreflightCheck check;
    check.name = name;
    check.passed = passed;
    check.detail = detail;
    if (!passed) check.hint = hint;
    return check;
}

// The hosts line a join would write for the host, so that an administrator can add it before
// the first join: the management address when the host-control layer can tell it.
std::string HostsLineHint(std::string const& domain) {
    std::string address = "ADDRESS";
    try {
        QuorCtl::Network::NetworkInfoImpl networkInfo;
        address =
            networkInfo.GetManagementInterface()->GetIpConfig().GetIpv4Address().GetStringAddress();
    } catch (std::exception const&) {
    }
    std::string name;
    try {
        name = ShortName(GetHostname());
    } catch (Exception const&) {
        return "give the host a name and map it to an address in /etc/hosts";
    }
    return "add the line \"" + address + "\t" + name + "." + domain + " " + name +
           "\" to /etc/hosts";
}

}  // namespace

bool FitsNetBIOSName(std::string const& shortName) {
    return !shortName.empty() && shortName.size() <= kNetBIOSNameMaxLength;
}

std::vector<PreflightCheck> PreflightJoin(std::string const& domain) {
    std::vector<PreflightCheck> checks;
    HostnameCheck host;
    bool hostKnown = true;
    try {
        host = CheckHostnameForDomain(domain);
    } catch (Exception const& e) {
        hostKnown = false;
        checks.push_back(Check("host name resolves", false, e.what(), HostsLineHint(domain)));
    }
    if (hostKnown) {
        checks.push_back(Check("host name resolves", true,
                               host.hostName + " resolves to " + host.canonicalName, ""));
        checks.push_back(
            Check("short name matches the resolved name", host.shortNameMatches,
                  "short name " + host.shortName + ", resolved name " + host.canonicalName,
                  "make the first name of the host's line in /etc/hosts begin with \"" +
                      host.shortName + ".\" (case included)"));
        checks.push_back(Check("host name is not reserved", !host.blacklisted,
                               "short name " + host.shortName,
                               "rename the host: \"localhost\", \"linux\" and \"hostname\" "
                               "cannot be joined"));
        checks.push_back(Check(
            "fully qualified name is the expected one", host.fullyQualifiedNameMatches,
            "fully qualified name " + host.fullyQualifiedName + ", expected " + host.expectedName,
            "a join maps the management address to " + host.fullyQualifiedName +
                " in /etc/hosts and adds the domain to the DNS search list; set the host's "
                "name to " +
                host.expectedName + " to avoid these changes"));
    }
    bool const resolves = NameResolves(domain);
    checks.push_back(Check("domain resolves", resolves, domain,
                           "make " + domain +
                               " resolvable: point /etc/resolv.conf at the "
                               "domain's DNS servers"));
    std::string const& shortName = host.shortName;
    if (hostKnown) {
        checks.push_back(
            Check("short name fits a computer account name", FitsNetBIOSName(shortName),
                  shortName + " (" + std::to_string(shortName.size()) + " characters, at most " +
                      std::to_string(kNetBIOSNameMaxLength) + ")",
                  "shorten the host name to at most 15 characters: longer names are cut, and hosts "
                  "that share the first 15 share one computer account"));
    }
    return checks;
}

}  // namespace authentication
}  // namespace ostrel
