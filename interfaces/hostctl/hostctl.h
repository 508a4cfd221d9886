#ifndef HOSTCTL_HOSTCTL_H
#define HOSTCTL_HOSTCTL_H

// Everything the host-control layer offers (namespaces HostCtl and QuorCtl).
#include <hostctl/advanced_options.h>
#include <hostctl/dns_config.h>
#include <hostctl/export.h>
#include <hostctl/host.h>
#include <hostctl/hostctl_exception.h>
#include <hostctl/hostctl_object.h>
#include <hostctl/hosts_file.h>
#include <hostctl/ipv4_address.h>
#include <hostctl/network_info.h>
#include <hostctl/network_interface.h>

#endif
