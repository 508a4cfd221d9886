// Joining through the authentication proxy: the proxy server creates the machine account,
// and the provider joins the host with it. No administrator credentials are involved.
#include <authentication/active_directory_store.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <authentication/qap_proxy.h>
#include <authentication/qap_thumbprint_store.h>
#include <hostctl/advanced_options.h>
#include <hostctl/host.h>
#include <hostctl/hostctl_exception.h>

#include <cstdint>
#include <memory>
#include <string>

#include "change_record.h"
#include "host_names.h"
#include "qap_server.h"

namespace ostrel {
namespace authentication {

namespace {

char const kOptionBranch[] = "UserVars";
char const kOptionName[] = "ActiveDirectoryVerifyQAPCertificate";

// The certificate-verification option, kept for the whole join. Any way of not finding an
// integer option, the host-control layer's own failures included, is one error.
std::unique_ptr<HostCtl::Adv::AdvancedOption> ReadVerifyOption() {
    try {
        std::unique_ptr<HostCtl::Host> const host = HostCtl::HostFactory::GetHost();
        std::unique_ptr<HostCtl::Adv::AdvancedBranch> root;
        if (host) root = host->GetAdvancedOptions();
        if (!root) throw HostCtl::Lib::HostCtlException("Unable to get root option branch");
        std::unique_ptr<HostCtl::Adv::AdvancedBranch> user = root->GetBranch(kOptionBranch);
        if (!user) throw HostCtl::Lib::HostCtlException("Unable to get user from root");
        std::unique_ptr<HostCtl::Adv::AdvancedOption> option = user->GetOption(kOptionName);
        if (!option || !dynamic_cast<HostCtl::Adv::AdvancedIntegerOption*>(option.get())) {
            throw HostCtl::Lib::HostCtlException("Unable to get the user option");
        }
        return option;
    } catch (HostCtl::Lib::HostCtlException const&) {
        throw InvalidVerifyQAPCertificateOptionException(
            "Unable to get advanced option UserVars.ActiveDirectoryVerifyQAPCertificate");
    }
}

std::string ReadQAPProviderName() {
    std::string name;
    try {
        QAPProviderConfiguration configuration;
        name = configuration["provider"];
    } catch (IOError const&) {
        throw InvalidQAPProxyProviderException("(none installed)");
    }
    if (name.empty()) throw InvalidQAPProxyProviderException("(unset)");
    return name;
}

std::string LookUpThumbprint(std::string const& server) {
    try {
        return QAPThumbprintStore(kQAPServersFile).LookupThumbprint(server);
    } catch (IOError const&) {
        throw InvalidThumbprintStoreException(kQAPServersFile);
    }
}

std::unique_ptr<QAPProxy> OpenProxy(std::string const& provider, std::string const& server,
                                    bool verifyCertificate, std::string const& thumbprint) {
    try {
        return std::unique_ptr<QAPProxy>(
            new QAPProxy(provider, server, verifyCertificate, thumbprint));
    } catch (IOError const&) {
        throw InvalidQAPProxyProviderException(provider);
    }
}

}  // namespace

void ActiveDirectoryStore::JoinDomainWithQAP(std::string const& server,
                                             std::string const& computerContainer,
                                             bool skipHostnameCheck) {
    HostnameRepair repair;
    JoinDomainWithQAP(server, computerContainer, skipHostnameCheck, repair);
}

void ActiveDirectoryStore::JoinDomainWithQAP(std::string const& server,
                                             std::string const& computerContainer,
                                             bool skipHostnameCheck, HostnameRepair& repair) {
    ChangeRecord record;
    RequireQAPServerAddress(server);
    std::unique_ptr<HostCtl::Adv::AdvancedOption> const option = ReadVerifyOption();
    std::int64_t const verify =
        dynamic_cast<HostCtl::Adv::AdvancedIntegerOption const&>(*option).GetValue();
    if (verify != 0 && verify != 1) {
        throw InvalidVerifyQAPCertificateOptionException(
            "Invalid value for UserVars.ActiveDirectoryVerifyQAPCertificate");
    }

    std::string const hostName = GetHostname();
    // Used as the resolver gives it, even without a domain part.
    std::string const canonicalName = ResolveHostname(hostName);
    std::string const shortName = ShortName(hostName);

    std::string const proxyProvider = ReadQAPProviderName();
    std::string const thumbprint = LookUpThumbprint(server);
    std::unique_ptr<QAPProxy> const proxy =
        OpenProxy(proxyProvider, server, verify != 0, thumbprint);

    // The domain is asked once a join: each question is a round trip to the service, and
    // its answer does not change within one join.
    QAP::DirectoryDomainInfo domainInfo;
    bool asked = false;
    auto askDomain = [&] {
        if (asked) return;
        proxy->GetDomainInfo(domainInfo.netBIOSDomainName, domainInfo.dnsDomainName,
                             domainInfo.domainSID);
        asked = true;
    };
    if (!skipHostnameCheck) {
        askDomain();
        SanitiseHostnameForDomain(domainInfo.dnsDomainName, repair);
    }

    std::string const container =
        computerContainer.empty() ? proxy->GetDefaultComputerContainer() : computerContainer;
    ComputerPrincipalInfo const principal = proxy->CreateMachineAccount(canonicalName, container);

    askDomain();
    QAP::MachineAccountInfo accountInfo;
    accountInfo.hostName = shortName;
    accountInfo.dnsDomainName = domainInfo.dnsDomainName;
    accountInfo.accountData1 = principal.accountData1;
    accountInfo.accountData2 = principal.accountData2;

    // On the caller's thread: a join is not answered from a cache.
    provider->JoinDomainWithMachineAccount(domainInfo, accountInfo);
}

std::string ActiveDirectoryStore::GetDomainForQAPService(std::string const& server) const {
    RequireQAPServerAddress(server);
    std::string const proxyProvider = ReadQAPProviderName();
    // Only asks which domain the server serves: no certificate verification.
    std::unique_ptr<QAPProxy> const proxy = OpenProxy(proxyProvider, server, false, "");
    return proxy->GetDNSDomainName();
}

}  // namespace authentication
}  // namespace ostrel
