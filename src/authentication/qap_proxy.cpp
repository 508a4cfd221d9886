#include <authentication/exceptions.h>
#include <authentication/qap_proxy.h>
#include <authentication/status_mapping.h>
#include <dlfcn.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "plugin_loader.h"

namespace ostrel {
namespace authentication {

namespace {

char const kTableSymbol[] = "QAPProxyClientOperations";
std::uint32_t const kUntrustedCertificateChain = 0x80090325u;

// A proxy status raises the class the provider's status of that number does (the service
// answers access denied, account exists, no logon servers and the like); only the untrusted
// certificate is the proxy's own, and a number without a class stays unknown.
[[noreturn]] void ThrowProxyStatus(std::uint32_t status) {
    if (status == kUntrustedCertificateChain) throw InvalidQAPCertificateException();
    ThrowMappedException(status);
    throw UnknownException(status);  // not reached: the mapping always throws
}

// Hands the strings of a successful call back to the plug-in on every way out, in
// out-parameter order.
class ReturnedStrings {
public:
    ReturnedStrings(void (*release)(char*), std::initializer_list<char*> strings)
        : release(release), strings(strings) {}
    ~ReturnedStrings() {
        for (char* string : strings) {
            if (string != nullptr) release(string);
        }
    }
    ReturnedStrings(ReturnedStrings const&) = delete;
    ReturnedStrings& operator=(ReturnedStrings const&) = delete;

private:
    void (*release)(char*);
    std::vector<char*> strings;
};

// A plug-in that reports success must hand back every value.
void RequireValue(char const* value, std::string const& provider, char const* operation,
                  char const* what) {
    if (value == nullptr) {
        throw InvalidQAPProxyProviderException(
            provider, std::string(operation) + " returned no value for the " + what);
    }
}

}  // namespace

QAPProxy::QAPProxy(std::string const& provider, std::string const& server, bool verifyCertificate,
                   std::string const& thumbprint)
    : handle(nullptr),
      operations(nullptr),
      verifyCertificate(verifyCertificate),
      server(server),
      thumbprint(thumbprint),
      provider(provider) {
    if (provider.empty()) throw InvalidQAPProxyProviderException("(unset)");
    std::string const problem = PluginNameProblem(provider);
    if (!problem.empty()) throw InvalidQAPProxyProviderException(provider, problem);

    void* opened = OpenPlugin(provider);
    if (opened == nullptr) throw IOError("Unable to open QAP provider: " + LoaderError());
    PluginGuard guard(opened);

    dlerror();
    QAPProxyClientTable const* table =
        static_cast<QAPProxyClientTable const*>(dlsym(opened, kTableSymbol));
    if (table == nullptr || table->GetDomainInfo == nullptr ||
        table->CreateMachineAccount == nullptr || table->Release == nullptr) {
        throw InvalidQAPProxyProviderException(provider, LoaderError());
    }
    handle = guard.Release();
    operations = table;
}

QAPProxy::~QAPProxy() {
    if (handle != nullptr) dlclose(handle);
}

void QAPProxy::GetDomainInfo(std::string& netBIOSDomainName, std::string& dnsDomainName,
                             std::string& domainSID) const {
    char* netBIOS = nullptr;
    char* dns = nullptr;
    char* sid = nullptr;
    std::uint32_t const status = operations->GetDomainInfo(
        server.c_str(), verifyCertificate ? 1 : 0, thumbprint.c_str(), &netBIOS, &dns, &sid);
    if (status != 0) ThrowProxyStatus(status);

    ReturnedStrings const returned(operations->Release, {netBIOS, dns, sid});
    RequireValue(netBIOS, provider, "GetDomainInfo", "NetBIOS domain name");
    RequireValue(dns, provider, "GetDomainInfo", "DNS domain name");
    RequireValue(sid, provider, "GetDomainInfo", "domain SID");
    // Copied in full before any argument changes.
    std::string netBIOSCopy(netBIOS);
    std::string dnsCopy(dns);
    std::string sidCopy(sid);
    netBIOSDomainName.swap(netBIOSCopy);
    dnsDomainName.swap(dnsCopy);
    domainSID.swap(sidCopy);
}

std::string QAPProxy::GetNetBIOSDomainName() const {
    std::string netBIOS, dns, sid;
    GetDomainInfo(netBIOS, dns, sid);
    return netBIOS;
}

std::string QAPProxy::GetDNSDomainName() const {
    std::string netBIOS, dns, sid;
    GetDomainInfo(netBIOS, dns, sid);
    return dns;
}

std::string QAPProxy::GetDomainSID() const {
    std::string netBIOS, dns, sid;
    GetDomainInfo(netBIOS, dns, sid);
    return sid;
}

ComputerPrincipalInfo QAPProxy::CreateMachineAccount(std::string const& hostName,
                                                     std::string const& computerContainer) const {
    char* accountData1 = nullptr;
    char* accountData2 = nullptr;
    std::uint32_t const status = operations->CreateMachineAccount(
        server.c_str(), hostName.c_str(),
        computerContainer.empty() ? nullptr : computerContainer.c_str(), verifyCertificate ? 1 : 0,
        thumbprint.c_str(), &accountData1, &accountData2);
    if (status != 0) ThrowProxyStatus(status);

    ReturnedStrings const returned(operations->Release, {accountData1, accountData2});
    RequireValue(accountData1, provider, "CreateMachineAccount", "first account string");
    RequireValue(accountData2, provider, "CreateMachineAccount", "second account string");
    ComputerPrincipalInfo principal;
    principal.accountData1 = accountData1;
    principal.accountData2 = accountData2;
    return principal;
}

std::string QAPProxy::GetDomainController() const {
    return std::string();
}

std::string QAPProxy::GetDefaultComputerContainer() const {
    return std::string();
}

}  // namespace authentication
}  // namespace ostrel
