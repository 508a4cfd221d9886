#ifndef HOSTCTL_HOSTS_FILE_H
#define HOSTCTL_HOSTS_FILE_H

// Safe to call from any thread: it holds no state, and edits take turns under the file's lock.

#include <hostctl/export.h>
#include <hostctl/hostctl_object.h>

#include <string>
#include <vector>

namespace QuorCtl {
namespace Network {

// The host's static name table, /etc/hosts.
class QUORCTL_EXPORT HostsFile : public virtual HostCtl::Lib::HostCtlObject {
public:
    HostsFile() = default;
    ~HostsFile() override;

    // Makes the file map `address` (IPv4 or IPv6) to `hostname` and `aliases`: the first line
    // for that address becomes "address<TAB>hostname alias...", keeping a comment at its end;
    // without such a line one is appended. Every other line is kept as it is and the file is
    // replaced atomically before the call returns. Concurrent callers, in this process or
    // others, take turns (flock on /etc/ostrel/hostctl/hosts.lock), so none loses another's
    // edit. Throws HostCtlException for an invalid address or name, or when the file cannot be
    // locked, read or replaced.
    void AddOrReplaceEntry(std::string const& address, std::string const& hostname,
                           std::vector<std::string> const& aliases);
};

}  // namespace Network
}  // namespace QuorCtl

#endif
