#ifndef AUTHENTICATION_QAP_SERVER_H
#define AUTHENTICATION_QAP_SERVER_H

#include <string>

#include "paths.h"

namespace ostrel {
namespace authentication {

// Where the proxy servers' certificate thumbprints are kept.
using paths::kQAPServersFile;

// Refuses anything but a dotted-quad IPv4 address with InvalidIPAddressException.
void RequireQAPServerAddress(std::string const& server);

}  // namespace authentication
}  // namespace ostrel

#endif
