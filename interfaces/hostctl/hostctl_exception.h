#ifndef HOSTCTL_HOSTCTL_EXCEPTION_H
#define HOSTCTL_HOSTCTL_EXCEPTION_H

// Immutable: copies share one read-only message; throw and read them on any thread.

#include <hostctl/export.h>

#include <exception>
#include <memory>
#include <string>

namespace HostCtl {
namespace Lib {

// The one exception class of the host-control layer. Failures that come from the system
// name the file or interface involved and end with the system's error text.
class QUORCTL_EXPORT HostCtlException : public std::exception {
public:
    // A null message is taken as the empty text.
    explicit HostCtlException(char const* message);
    ~HostCtlException() override;

    char const* what() const noexcept override;

private:
    // Shared so that copying an exception in flight cannot throw.
    std::shared_ptr<std::string const> message;
};

}  // namespace Lib
}  // namespace HostCtl

#endif
