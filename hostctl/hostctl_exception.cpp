#include <hostctl/hostctl_exception.h>
#include <hostctl/hostctl_object.h>

namespace HostCtl {
namespace Lib {

HostCtlException::HostCtlException(char const* message)
    : message(std::make_shared<std::string const>(message != nullptr ? message : "")) {}

HostCtlException::~HostCtlException() = default;

char const* HostCtlException::what() const noexcept {
    return message->c_str();
}

HostCtlObject::~HostCtlObject() = default;

}  // namespace Lib
}  // namespace HostCtl
