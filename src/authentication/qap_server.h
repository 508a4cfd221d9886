#ifndef AUTHENTICATION_QAP_SERVER_H
#define AUTHENTICATION_QAP_SERVER_H

#include <string>

namespace ostrel {
namespace authentication {

// Where the proxy servers' certificate thumbprints are kept.
extern char const kQAPServersFile[];

// Refuses anything but a dotted-quad IPv4 address with InvalidIPAddressException.
void RequireQAPServerAddress(std::string const& server);

}  // namespace authentication
}  // namespace ostrel

#endif
