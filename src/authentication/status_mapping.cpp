#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>

namespace ostrel {
namespace authentication {

void ThrowMappedException(unsigned int status) {
    switch (status) {
        case 0:
            throw FileNotFoundException();
#define X(Name, code, category, text) \
    case code:                        \
        throw Name();
#include "status_table.inc"
#undef X
        default:
            throw UnknownException(status);
    }
}

}  // namespace authentication
}  // namespace ostrel
