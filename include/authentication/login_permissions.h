#ifndef AUTHENTICATION_LOGIN_PERMISSIONS_H
#define AUTHENTICATION_LOGIN_PERMISSIONS_H

#include <authentication/export.h>

#include <string>
#include <vector>

namespace ostrel {
namespace authentication {

class ActiveDirectoryStore;

// Which directory users may log in to the host: everyone (the default) or only the listed
// users and members of the listed groups. Local accounts are never restricted. The list lives
// in "/etc/ostrel/tslauth/login-permissions.conf"; the PAM module pam_tslauth_permit.so, which
// activation of "Active Directory" puts into the account stack, enforces it on every login.
// A value: one object per thread; the file itself is shared through the library's files' lock.
class TSLAUTH_EXPORT LoginPermissions {
public:
    enum Kind { kUser, kGroup };
    struct Account {
        Kind kind = kUser;
        std::string name;  // the directory's canonical name, or the name given when unchecked
        std::string sid;   // empty when the directory was not asked or has none
        long id = -1;      // the host's UID or GID for it (NSS), or -1 when it has none
    };

    // Everyone may log in.
    LoginPermissions();

    // The list the file holds; without the file, everyone. Throws IOError, and
    // ConfigurationError for a file this library did not write.
    static LoginPermissions Load();

    // Only the accounts of one kind, each looked up in the directory through the store
    // (bounded by the store's time-out) and by the host's name service. A name the directory
    // does not know, or of the other kind, is refused with UnknownAccountException. When the
    // directory cannot be asked (no answer, not running, the plug-in cannot look names up),
    // the name is kept as given and a warning saying so goes to `warnings`: the module then
    // matches it by name alone. Throws InvalidAccountNameException for an empty list, more
    // than 100 names, or a name that is empty, longer than 256 bytes, begins or ends with a
    // blank or holds a control character.
    static LoginPermissions Only(ActiveDirectoryStore const& store, Kind kind,
                                 std::vector<std::string> const& names,
                                 std::vector<std::string>& warnings);

    bool PermitsEveryone() const { return everyone; }
    std::vector<Account> const& Accounts() const { return accounts; }

    // What Save changed on the host: each changed file's path, in the order written.
    typedef std::vector<std::string> Changes;

    // Makes this the host's list, under the files' lock: the file is replaced atomically when
    // its content differs (mode 0644, owned by the caller, which must be root for the module
    // to trust it); and while "Active Directory" is the active store, the module's entry is
    // put into the PAM file when it is missing (a host activated by an older version).
    // Returns the changed files; throws IOError / FilePermissionError, changing nothing more
    // after a failure, and ConfigurationError, changing nothing, for a text of 64 KiB or more.
    Changes Save(ActiveDirectoryStore const& store) const;

    // The file's text for this list.
    std::string Text() const;

private:
    bool everyone;
    std::vector<Account> accounts;
};

}  // namespace authentication
}  // namespace ostrel

#endif
