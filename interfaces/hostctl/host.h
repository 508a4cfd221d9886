#ifndef HOSTCTL_HOST_H
#define HOSTCTL_HOST_H

#include <hostctl/advanced_options.h>
#include <hostctl/export.h>
#include <hostctl/hostctl_object.h>

#include <memory>

namespace HostCtl {

// The local host. It holds no state: safe to call from any thread. Owned by the caller.
class QUORCTL_EXPORT Host : public virtual Lib::HostCtlObject {
public:
    Host() = default;
    ~Host() override;

    // Reads the host's advanced options afresh from /etc/ostrel/hostctl/advanced-options.conf
    // and returns their root branch, owned by the caller and never empty. The file holds one
    // option a line, "Branch.Option = int:VALUE" or "Branch.Option = string:VALUE", and
    // whole-line '#' comments. The tree is a snapshot: later changes do not reach it. Without
    // the file the root has no branches. A file that cannot be read or holds a malformed line
    // throws HostCtlException naming the file (and the line).
    std::unique_ptr<Adv::AdvancedBranch> GetAdvancedOptions() const;
};

// Safe to call from any thread.
class QUORCTL_EXPORT HostFactory {
public:
    HostFactory() = delete;

    // The local host, owned by the caller; never empty.
    static std::unique_ptr<Host> GetHost();
};

}  // namespace HostCtl

#endif
