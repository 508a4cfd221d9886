#ifndef AUTHENTICATION_STATUS_MAPPING_H
#define AUTHENTICATION_STATUS_MAPPING_H

#include <authentication/export.h>

namespace ostrel {
namespace authentication {

// Throws the exception class that belongs to a provider status number. Status 0 is not
// success: it raises FileNotFoundException with code 2, as callers of the provider expect.
// Unknown statuses raise UnknownException carrying the status.
[[noreturn]] TSLAUTH_EXPORT void ThrowMappedException(unsigned int status);

}  // namespace authentication
}  // namespace ostrel

#endif
