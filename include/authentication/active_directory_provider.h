#ifndef AUTHENTICATION_ACTIVE_DIRECTORY_PROVIDER_H
#define AUTHENTICATION_ACTIVE_DIRECTORY_PROVIDER_H

#include <authentication/domain.h>
#include <authentication/export.h>
#include <authentication/qap_records.h>
#include <tslauth/active_directory_client.h>

#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <vector>

namespace ostrel {
namespace authentication {

// The plug-in's records, handed through untouched.
using ::Credentials;
using ::TrustState;

// An account or group as the directory knows it. A plain value.
struct DirectoryAccount {
    std::string name;  // canonical, e.g. "CORP\\linux-admins"
    std::string sid;   // "S-1-5-21-...", empty when the plug-in has none
    bool isGroup = false;
};

// Told on the joining thread before each pause between two join attempts: the attempt that
// failed (from 1), the number of attempts, the pause in seconds and the failed status.
typedef void (*JoinRetryListener)(int failedAttempt, int attempts, unsigned pauseSeconds,
                                  std::uint32_t status, void* context);

// One listener for the whole process, e.g. for a command that shows the wait; a null
// listener removes it. Not called after the last attempt, which is never followed by a pause.
TSLAUTH_EXPORT void SetJoinRetryListener(JoinRetryListener listener, void* context);

// How a join with credentials treats what it finds in the domain. A word of flags, so that
// later options keep the record's size. A plain value.
struct JoinOptions {
    // Join over an existing computer account of the host's name (its password is reset)
    // instead of refusing it; the plug-in still refuses an account that is not a computer's.
    static constexpr std::uint32_t kReuseAccount = AD_JOIN_REUSE_ACCOUNT;

    std::uint32_t flags = 0;
};

// A loaded Active Directory provider plug-in. Each method calls one operation of the
// plug-in; a missing operation raises CallNotImplementedException and a non-zero status the
// exception that ThrowMappedException maps it to. Nothing changes after construction, so
// several threads may call methods at once. The plug-in stays loaded until destruction.
// Owned by its creator; the Active Directory store shares it with its workers through
// boost::shared_ptr, so a worker still running keeps the plug-in loaded.
class TSLAUTH_EXPORT ActiveDirectoryProvider {
public:
    // Loads /usr/libexec/tslauth/lib/lib<name>.so, else /usr/libexec/tslauth/lib<name>.so.
    // Throws IOError when neither opens and InvalidActiveDirectoryProviderException for an
    // unusable name or plug-in; nothing stays open then.
    explicit ActiveDirectoryProvider(std::string const& name);
    ~ActiveDirectoryProvider();

    ActiveDirectoryProvider(ActiveDirectoryProvider const&) = delete;
    ActiveDirectoryProvider& operator=(ActiveDirectoryProvider const&) = delete;

    std::string const& PAMModule() const { return pamModule; }
    std::list<std::string> const& PAMModuleParameters() const { return pamModuleParameters; }
    std::string const& NSSModule() const { return nssModule; }
    std::list<std::string> const& NSSModuleParameters() const { return nssModuleParameters; }
    // The version of the plug-in's operations table.
    std::int32_t GetAPIVersion() const;

    // Retries the transient failure 0xFFFF0000 up to eight calls in all, with a 30-second
    // pause between two calls. A logon failure (1326) is never retried: under a lockout
    // policy each retry with a wrong password would count against the account. An empty
    // container is passed as NULL.
    void JoinDomain(std::string const& domain, std::string const& computerContainer,
                    Credentials const& credentials) const;
    // The same with options. Options other than none need the plug-in's JoinDomainWithOptions
    // (extension E2): without it CallNotImplementedException, before the plug-in is asked.
    // No options: exactly the join above.
    void JoinDomain(std::string const& domain, std::string const& computerContainer,
                    Credentials const& credentials, JoinOptions const& options) const;
    // Whether the plug-in takes join options (extension E2).
    bool CanJoinWithOptions() const;
    // The same retries, also after 1326 (the new account may not have reached every domain
    // controller yet), each attempt logged. Needs operations table version 2 or more.
    void JoinDomainWithMachineAccount(QAP::DirectoryDomainInfo const& domainInfo,
                                      QAP::MachineAccountInfo const& machineAccountInfo) const;
    void PartDomain() const;
    void PartDomain(Credentials const& credentials) const;

    Domain GetActiveDomain() const;
    void SetPreferredDomainControllers(std::deque<std::string> const& controllers) const;
    std::deque<std::string> GetPreferredDomainControllers() const;
    // The plug-in's value as it is; never raises for the value.
    TrustState GetDomainTrustState() const;
    std::deque<Domain> GetTrustedDomains() const;
    std::string GetMachineAccountDN() const;
    // An empty qualifier is passed as NULL.
    std::string GetAnyDomainController(std::string const& qualifier,
                                       std::string const& domain) const;
    std::string ConvertCanonicalUsername(std::string const& name) const;
    // Looks a user or group name up in the directory (extension slot E3).
    DirectoryAccount LookupAccount(std::string const& name) const;
    // Needs operations table version 2 or more.
    std::string GetHostPrincipalForDomain(std::string const& domain) const;
    // The plug-in's value as it is; never raises for the value.
    std::uint32_t GetDomainTrustRelationship(std::string const& domain) const;
    void SetSmartCardEnabledServices(std::vector<std::string> const& services) const;
    std::vector<std::string> GetSmartCardEnabledServices() const;
    // What the plug-in's last join, leave or change of settings on the calling thread changed
    // on the host, one line each (extension slot E4); the joins, leaves and
    // SetPreferredDomainControllers above add these lines to GetLastHostChanges themselves.
    std::vector<std::string> GetLastChanges() const;

    // The plug-in's own words on why the last operation of the calling thread failed
    // (extension E1), e.g. what the directory answered; empty when the plug-in has none or
    // cannot tell. Never raises. Read it on the thread that made the failed call.
    std::string GetLastErrorText() const;

private:
    void* handle;
    ADProviderMetadata const* metadata;
    ADProviderOperations const* operations;
    std::string pamModule;
    std::list<std::string> pamModuleParameters;
    std::string nssModule;
    std::list<std::string> nssModuleParameters;
};

}  // namespace authentication
}  // namespace ostrel

#endif
