#ifndef AUTHENTICATION_PERMIT_ENTRY_H
#define AUTHENTICATION_PERMIT_ENTRY_H

namespace ostrel {
namespace authentication {

class ActiveDirectoryStore;

// While the store is the active one, puts the login-permission check into the PAM file's
// account stack when it is missing, under the files' lock. Returns whether the file changed.
bool AddPermitEntryWhileActive(ActiveDirectoryStore const& store);

}  // namespace authentication
}  // namespace ostrel

#endif
