#ifndef SAMBA_HELPER_CREDENTIALS_CHECK_H
#define SAMBA_HELPER_CREDENTIALS_CHECK_H

#include <cstdint>
#include <string>

namespace sambahelper {

// Asks the realm's KDC whether the account's password is right: 0 when it is, else the
// Windows-style status of the refusal (1326 wrong password or unknown account, 1909 locked
// out, 1331 disabled, 1330 expired). 0 also when no KDC answered: that is not a refusal.
// The user may be "user", "DOMAIN\user" or "user@REALM".
uint32_t CheckCredentials(std::string const& user, std::string const& password,
                          std::string const& realm);

}  // namespace sambahelper

#endif
