#ifndef AUTHENTICATION_ACTIVE_DIRECTORY_STORE_H
#define AUTHENTICATION_ACTIVE_DIRECTORY_STORE_H

#include <authentication/active_directory_provider.h>
#include <authentication/authentication_store.h>
#include <authentication/authentication_store_factory.h>
#include <authentication/domain.h>
#include <authentication/export.h>
#include <authentication/hostname_check.h>
#include <pthread.h>

#include <boost/shared_ptr.hpp>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace SystemConfiguration {
class PAMEntry;
class PAMPolicy;
}  // namespace SystemConfiguration

namespace ostrel {
namespace authentication {

class RequestState;

// What the Active Directory store knows of the host's membership. A plain value, owned by
// whoever asked for it: the caller deletes what GetStoreConfiguration returns.
class TSLAUTH_EXPORT ActiveDirectoryStoreConfiguration : public StoreConfiguration {
public:
    ~ActiveDirectoryStoreConfiguration() override;

    Domain activeDomain;
    std::deque<std::string> preferredDomainControllers;
    std::string machineAccountDN;
};

// How one call of a cached query came by its answer. A plain value, filled by the call.
struct TSLAUTH_EXPORT QueryAnswer {
    enum Source {
        kFresh,               // the plug-in answered within the time-out
        kCachedAfterTimeout,  // no answer within `timeout` seconds: the cache
        kCachedInFlight,      // a worker of this kind was still busy: the cache, without waiting
        kCachedAfterFailure,  // the plug-in failed (`code`, `message`): the cache, unchanged
    };
    // A plug-in call whose failure left a field of a fresh answer empty.
    struct FailedCall {
        std::string call;  // "GetActiveDomain", "GetPreferredDomainControllers", ...
        unsigned long code;
        std::string message;
    };

    Source source = kFresh;
    int timeout = 0;         // kCachedAfterTimeout: the seconds waited
    unsigned long code = 0;  // kCachedAfterFailure: the exception's code and text
    std::string message;
    // The store configuration only: its worker leaves a field empty when the call for it
    // fails (e.g. GetActiveDomain with 2692 on a host that is not joined).
    std::vector<FailedCall> failedCalls;
    // The store configuration after a time-out only: the plug-in calls that had not returned
    // when the wait ended ("GetActiveDomain", "GetPreferredDomainControllers",
    // "GetMachineAccountDN"). Their fields are the cache's; the fields of the other calls are
    // what those calls answered within the time-out (empty after a failure, in failedCalls).
    // So a configuration the host's own files give is not lost to a directory that hangs.
    std::vector<std::string> unansweredCalls;
};

// The store registered as "Active Directory". It owns the provider plug-in named in
// provider.conf. The queries that can hang run on a worker thread and are waited for at most
// `timeout` seconds; after that they answer from the last result a worker produced. At most
// one worker of each query kind is in flight in the whole process.
// Safe to call from any thread: one process-wide mutex guards the caches, and its file edits
// are locked. Owned by its creator; it shares its provider and caches with running workers.
class TSLAUTH_EXPORT ActiveDirectoryStore : public DirectoryStore {
public:
    // Loads the provider; nothing is asked of the plug-in yet.
    explicit ActiveDirectoryStore(int timeout);
    ~ActiveDirectoryStore() override;

    ActiveDirectoryStore(ActiveDirectoryStore const&) = delete;
    ActiveDirectoryStore& operator=(ActiveDirectoryStore const&) = delete;

    StoreConfiguration* GetStoreConfiguration() const override;
    std::string GetDisplayName() const override;

    // Puts the provider's PAM module into "/etc/pam.d/system-auth-generic" (after pam_access,
    // or else after the stack's leading required and requisite entries), then records this
    // store in authentication.conf; when the record cannot be written, the PAM file is put
    // back. Other processes' edits of these files wait meanwhile.
    void MakeActive() override;
    // The PAM file's policy as it stands. A statement the model refuses is reported in the
    // model's exception class, its message prefixed with the file and the line.
    static SystemConfiguration::PAMPolicy CurrentPolicy();
    // The PAM file's policy as MakeActive leaves it, computed without writing anything.
    SystemConfiguration::PAMPolicy ActivatedPolicy() const;
    // Takes every entry of the provider's PAM module out of the PAM file again, whatever its
    // control and parameters; a file without one is not rewritten.
    void MakeInactive() override;
    // The PAM entry that activation adds: sufficient, the provider's module under
    // "/lib/security/$ISA/", the provider's parameters.
    SystemConfiguration::PAMEntry GetPAMEntryForProvider() const;

    std::deque<Domain> GetTrustedDomains() const;
    // 7 when the trusted domains cannot be listed for lack of a file, 2 after a time-out,
    // otherwise the plug-in's value (0 when it cannot tell).
    TrustState GetDomainTrustState() const;

    // The same queries, telling in `answer` how each answer came about. A failure of the
    // plug-in is not raised here: the answer is then the cache, with the failure in `answer`.
    // Only a thread that cannot be started raises (ThreadErrorException).
    StoreConfiguration* GetStoreConfiguration(QueryAnswer& answer) const;
    std::deque<Domain> GetTrustedDomains(QueryAnswer& answer) const;
    // Also hands out the trusted domains that its first step lists. The trust-state worker
    // starts before that listing is waited for, so both waits overlap: the whole call waits
    // about one time-out, not two.
    TrustState GetDomainTrustState(QueryAnswer& answer, std::deque<Domain>& trustedDomains,
                                   QueryAnswer& trustedDomainsAnswer) const;

    // Forwarders; where the plug-in lacks the operation they give a fixed answer.
    void SetPreferredDomainControllers(std::deque<std::string> const& controllers);
    std::string GetDomainControllerForDomain(std::string const& domain) const;
    std::string GetHostPrincipalForDomain(std::string const& domain) const;
    std::uint32_t GetDomainTrustRelationship(std::string const& domain) const;
    void SetSmartCardEnabledServices(std::vector<std::string> const& services) const;
    std::vector<std::string> GetSmartCardEnabledServices() const;
    std::string ConvertCanonicalUsername(std::string const& name) const;
    // The directory's record of a user or group name (the plug-in's extension slot E3), run
    // on a worker and waited for at most the store's time-out (then
    // ProviderCallTimedOutException). CallNotImplementedException when the plug-in cannot.
    DirectoryAccount LookupAccount(std::string const& name) const;

    // Checks that the host's name fits the domain (see CheckHostnameForDomain), then makes
    // the fully qualified name resolve: when it differs from the expected name the domain goes
    // into the DNS search list (if the domain resolves), and the management address is mapped
    // to it in the hosts file. Throws InvalidHostNameException; host-control errors become
    // IOError with their text. Changes made before a failure stay.
    void SanitiseHostnameForDomain(std::string const& domain) const;
    // The same, telling what it changed and warned of in `repair` (filled up to a failure).
    void SanitiseHostnameForDomain(std::string const& domain, HostnameRepair& repair) const;

    // Joins with an account that may add computers. `domain` is "name" or "name/container"
    // (split at the first "/"). The credentials are checked first (user name, then a
    // non-empty password), then the host name unless skipped; the provider retries transient
    // failures.
    void JoinDomain(std::string const& domain, Credentials const& credentials,
                    bool skipHostnameCheck);
    // The same, telling what the host-name repair changed in `repair`.
    void JoinDomain(std::string const& domain, Credentials const& credentials,
                    bool skipHostnameCheck, HostnameRepair& repair);
    // The same with options (JoinOptions). When the plug-in cannot take the options, throws
    // CallNotImplementedException after the credentials are checked and before the host name
    // is: nothing has changed then.
    void JoinDomain(std::string const& domain, Credentials const& credentials,
                    bool skipHostnameCheck, HostnameRepair& repair, JoinOptions const& options);
    // Leaves the domain without credentials, or with the caller's (passed on unchecked).
    void PartDomain();
    void PartDomain(Credentials const& credentials);
    // The plug-in's own words on why the last operation of the calling thread failed (a
    // join, a leave, a forwarder's call), or empty; see ActiveDirectoryProvider.
    std::string GetLastErrorText() const;

    // Records the SHA-1 thumbprint of the first PEM certificate in the file for the proxy
    // server at that IPv4 address in "/etc/ostrel/tslauth/qapservers.conf", which must exist.
    void ImportCertificateForQAP(std::string const& certificatePath, std::string const& server);
    // Joins through the authentication proxy at that IPv4 address: the proxy creates the
    // machine account (in computerContainer, or its default when empty) and the provider
    // joins with it. Honours UserVars.ActiveDirectoryVerifyQAPCertificate.
    void JoinDomainWithQAP(std::string const& server, std::string const& computerContainer,
                           bool skipHostnameCheck);
    void JoinDomainWithQAP(std::string const& server, std::string const& computerContainer,
                           bool skipHostnameCheck, HostnameRepair& repair);
    // The DNS domain the proxy server reports, asked without certificate verification.
    std::string GetDomainForQAPService(std::string const& server) const;

    // Worker functions: they fill a cache and report through the request state; nothing
    // they meet escapes them.
    static void GetStoreConfigurationInt(
        boost::shared_ptr<ActiveDirectoryProvider> provider,
        boost::shared_ptr<RequestState> requestState,
        boost::shared_ptr<ActiveDirectoryStoreConfiguration> configurationCache);
    static void GetTrustedDomainsInt(boost::shared_ptr<ActiveDirectoryProvider> provider,
                                     boost::shared_ptr<RequestState> requestState,
                                     boost::shared_ptr<std::deque<Domain> > trustedDomainsCache);
    static void GetDomainTrustStateInt(boost::shared_ptr<ActiveDirectoryProvider> provider,
                                       boost::shared_ptr<RequestState> requestState,
                                       boost::shared_ptr<TrustState> trustStateCache);

private:
    int timeout;
    boost::shared_ptr<ActiveDirectoryProvider> provider;
    boost::shared_ptr<ActiveDirectoryStoreConfiguration> configurationCache;
    boost::shared_ptr<TrustState> trustStateCache;
    boost::shared_ptr<std::deque<Domain> > trustedDomainsCache;

    // Guards the flags below and the contents of every store's caches.
    static pthread_mutex_t _lock;
    static bool _isGetStoreConfigThreadActive;
    static bool _isGetTrustedDomainsThreadActive;
    static bool _isGetTrustStateThreadActive;
};

// The factory makes Active Directory stores with a 60-second time-out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
template <>
TSLAUTH_EXPORT std::auto_ptr<AuthenticationStore> Constructor<ActiveDirectoryStore>();
#pragma GCC diagnostic pop

}  // namespace authentication
}  // namespace ostrel

#endif
