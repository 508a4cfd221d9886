#ifndef TOOLS_TSLAUTH_PASSWORD_H
#define TOOLS_TSLAUTH_PASSWORD_H

#include <string>

namespace tslauth {

// The password for `user`: the first line of passwordFile when one is named, else a prompt
// without echo when standard input is a terminal, else the first line of standard input.
// The line end is dropped; nothing else is. Throws ostrel::authentication::IOError.
std::string ReadPassword(std::string const& user, std::string const& passwordFile);

}  // namespace tslauth

#endif
