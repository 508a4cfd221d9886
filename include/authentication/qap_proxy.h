#ifndef AUTHENTICATION_QAP_PROXY_H
#define AUTHENTICATION_QAP_PROXY_H

#include <authentication/export.h>
#include <tslauth/qap_proxy_client.h>

#include <string>

namespace ostrel {
namespace authentication {

// What the authentication proxy returns for a machine account it created. The account data
// is handed on to the provider as it is; reserved stays empty. A plain value.
struct TSLAUTH_EXPORT ComputerPrincipalInfo {
    std::string reserved;
    std::string accountData1;
    std::string accountData2;
};

// A loaded proxy-client plug-in, talking to one authentication-proxy server. Each call asks
// the plug-in afresh; nothing is cached. Used by one thread; the plug-in stays loaded until
// destruction.
// Not thread-safe: one thread at a time per object. Owned by its creator; it owns the plug-in.
class TSLAUTH_EXPORT QAPProxy {
public:
    // Loads /usr/libexec/tslauth/lib/lib<provider>.so, else /usr/libexec/tslauth/
    // lib<provider>.so. Throws IOError when neither loads and
    // InvalidQAPProxyProviderException when the name or the plug-in's table is unusable;
    // nothing stays loaded then.
    QAPProxy(std::string const& provider, std::string const& server, bool verifyCertificate,
             std::string const& thumbprint);
    ~QAPProxy();

    QAPProxy(QAPProxy const&) = delete;
    QAPProxy& operator=(QAPProxy const&) = delete;

    // The domain the server serves. On failure the arguments are left as they were. A
    // plug-in that reports success without a value raises InvalidQAPProxyProviderException.
    void GetDomainInfo(std::string& netBIOSDomainName, std::string& dnsDomainName,
                       std::string& domainSID) const;
    // Each makes its own GetDomainInfo call.
    std::string GetNetBIOSDomainName() const;
    std::string GetDNSDomainName() const;
    std::string GetDomainSID() const;

    // Has the server create a machine account for the host in the container (the server's
    // default when empty).
    ComputerPrincipalInfo CreateMachineAccount(std::string const& hostName,
                                               std::string const& computerContainer) const;

    // Not asked of the plug-in: always empty.
    std::string GetDomainController() const;
    std::string GetDefaultComputerContainer() const;

private:
    void* handle;
    QAPProxyClientTable const* operations;
    bool verifyCertificate;
    std::string server;
    std::string thumbprint;
    std::string provider;
};

}  // namespace authentication
}  // namespace ostrel

#endif
