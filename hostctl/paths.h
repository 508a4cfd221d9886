#ifndef HOSTCTL_SRC_PATHS_H
#define HOSTCTL_SRC_PATHS_H

// The files the host-control layer works on. Fixed: the layer has no other configuration.
namespace HostCtl {
namespace Paths {

constexpr char const kAdvancedOptions[] = "/etc/ostrel/hostctl/advanced-options.conf";
constexpr char const kManagementInterface[] = "/etc/ostrel/hostctl/management-interface";
constexpr char const kRoutes[] = "/proc/net/route";
constexpr char const kResolverConfiguration[] = "/etc/resolv.conf";
constexpr char const kHosts[] = "/etc/hosts";
// Held while the file of the same name is read, edited and replaced.
constexpr char const kHostsLock[] = "/etc/ostrel/hostctl/hosts.lock";
constexpr char const kResolverConfigurationLock[] = "/etc/ostrel/hostctl/resolv.conf.lock";

}  // namespace Paths
}  // namespace HostCtl

#endif
