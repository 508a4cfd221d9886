#ifndef AUTHENTICATION_HOST_CHANGES_H
#define AUTHENTICATION_HOST_CHANGES_H

#include <authentication/export.h>

#include <string>
#include <vector>

namespace ostrel {
namespace authentication {

// What the last operation of the library on the calling thread that can change the host
// changed on it: joins, leaves, activation and deactivation of a store, host-name repair and
// setting the preferred domain controllers. One line each, in the order they happened, also
// after the operation failed:
// - the library's own files and the host's files it edits, as "wrote PATH" (a file whose
//   bytes stayed the same is not listed), the hosts file and the DNS search list with what was
//   written ("wrote /etc/hosts: the line \"...\"", "wrote /etc/resolv.conf: added DOMAIN to the
//   DNS search list");
// - the provider plug-in's own lines for what its join, leave or change of settings changed
//   (ActiveDirectoryProvider::GetLastChanges), e.g. "wrote /etc/samba/smb.conf".
// Each such operation starts a new list; an operation that another one runs (a deactivation
// inside the switch to "None") adds to the outer one's list. Empty before the first one.
TSLAUTH_EXPORT std::vector<std::string> GetLastHostChanges();

}  // namespace authentication
}  // namespace ostrel

#endif
