#ifndef SAMBA_HELPER_OPERATIONS_H
#define SAMBA_HELPER_OPERATIONS_H

#include <cstdint>

#include "wire.h"

namespace sambahelper {

using sambaprovider::Fields;

// Each takes the request's fields, fills the answer's and returns a Windows-style status.
// The answer's "error" field says what failed, for the plug-in's log.
uint32_t Join(Fields const& request, Fields& answer);
uint32_t OfflineJoin(Fields const& request, Fields& answer);
uint32_t Leave(Fields const& request, Fields& answer);
uint32_t FindDomainController(Fields const& request, Fields& answer);

}  // namespace sambahelper

#endif
