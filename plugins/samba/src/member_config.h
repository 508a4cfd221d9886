#ifndef SAMBA_PROVIDER_MEMBER_CONFIG_H
#define SAMBA_PROVIDER_MEMBER_CONFIG_H

// The member's Samba configuration, which this provider owns: written whole on a join, on a
// leave and when the preferred domain controllers change, and read back by the queries.
#include <string>
#include <vector>

namespace sambaprovider {

inline char const kSambaConfigDirectory[] = "/etc/samba";
inline char const kSambaConfig[] = "/etc/samba/smb.conf";
inline char const kSecretsFile[] = "/var/lib/samba/private/secrets.tdb";
inline char const kKeytab[] = "/etc/krb5.keytab";
// The administrator's settings of this provider: "cached-logins = no" turns cached logins off.
inline char const kProviderSettings[] = "/etc/ostrel/tslauth/samba.conf";

struct MemberConfig {
    std::string workgroup;    // NetBIOS name of the domain (or "WORKGROUP" when not a member)
    std::string realm;        // Kerberos realm, upper case; empty when not a member
    std::string netbiosName;  // this host's account name without "$"
    // An offline join must run with "secrets only": libnet's keytab code crashes inside it.
    bool keytab = false;
    std::vector<std::string> passwordServers;  // preferred domain controllers, in order
    // The domain's DCs by address, found at the join: "password server" lists them, without
    // "*", while no preferred ones are set, so that winbindd never asks DNS for a DC (a DNS
    // server on a DC that stopped answering holds every login for 10 s per query).
    std::vector<std::string> domainControllers;
    // "winbind offline logon": logins from winbindd's cache while no DC answers. The
    // configuration is written with the setting of kProviderSettings.
    bool cachedLogins = true;

    bool IsMember() const { return !realm.empty(); }
    std::string DnsDomain() const;  // the realm in lower case
    std::string Render() const;
};

// Whether kProviderSettings allows cached logins (the default, also without the file).
bool CachedLoginsAllowed();

// Reads what Render wrote; a missing file is a host that was never configured. Throws
// std::runtime_error when the file cannot be read.
MemberConfig ReadMemberConfig();
// Replaces the file atomically (temporary file beside it, synced, renamed), with cachedLogins
// as kProviderSettings says. Throws
// std::runtime_error naming the file and the system's error.
void WriteMemberConfig(MemberConfig const& config);
// The file's current bytes ("" when missing), and putting exactly those back.
std::string SaveMemberConfigText();
void RestoreMemberConfigText(std::string const& text);

// A file's bytes as they were, or that it was missing, to put back whole: replaced through a
// temporary file beside it (a new file readable by root alone), or removed. Throws.
struct SavedFile {
    std::string path;
    bool existed = false;
    std::string bytes;
};
SavedFile SaveFile(char const* path);
void RestoreFile(SavedFile const& saved);

// Serialises every read-edit-replace of the configuration across processes and threads:
// an exclusive flock on the configuration directory.
class ConfigLock {
public:
    ConfigLock();
    ~ConfigLock();
    ConfigLock(ConfigLock const&) = delete;
    ConfigLock& operator=(ConfigLock const&) = delete;

private:
    int fd;
};

}  // namespace sambaprovider

#endif
