#ifndef HOSTCTL_HOSTCTL_OBJECT_H
#define HOSTCTL_HOSTCTL_OBJECT_H

// Holds no state; each derived class says which threads may use it.

#include <hostctl/export.h>

namespace HostCtl {
namespace Lib {

// Polymorphic root of the objects the layer hands out: callers own them through a pointer to
// a base and release them through this virtual destructor, and find their dynamic type with
// dynamic_cast.
class QUORCTL_EXPORT HostCtlObject {
public:
    virtual ~HostCtlObject();

protected:
    HostCtlObject() = default;
    HostCtlObject(HostCtlObject const&) = default;
    HostCtlObject& operator=(HostCtlObject const&) = default;
};

}  // namespace Lib
}  // namespace HostCtl

#endif
