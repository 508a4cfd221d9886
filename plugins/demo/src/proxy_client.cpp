// The demo directory's authentication proxy: one server, described in the directory file, that
// reports its domain and creates computer accounts there for hosts that have no credentials.
#include <thumbprint.h>
#include <tslauth/qap_proxy_client.h>

#include "answer.h"
#include "certificate_thumbprint.h"
#include "directory_file.h"
#include "names.h"

namespace demodirectory {

namespace {

// The domain behind the server, once the server is reached and, when asked to, has shown the
// certificate of that thumbprint.
DomainRecord const& ReachProxy(Directory const& directory, char const* server,
                               std::int32_t verifyCertificate, char const* thumbprint) {
    if (!directory.proxy.present || directory.proxy.address != server) {
        Refuse(kConnectionRefused);
    }
    if (directory.unresponsive) Refuse(kTimedOut);
    if (verifyCertificate != 0) {
        std::string const actual = CertificateThumbprint(directory.proxy.certificate);
        if (thumbprint == nullptr || !tslthumbprint::Same(actual, thumbprint)) {
            Refuse(kUntrustedCertificate);
        }
    }
    return *directory.FindDomain(directory.proxy.domain);
}

std::uint32_t GetDomainInfo(char const* server, std::int32_t verifyCertificate,
                            char const* thumbprint, char** netBIOSDomainName, char** dnsDomainName,
                            char** domainSID) {
    return Answer("GetDomainInfo", [&] {
        if (server == nullptr || netBIOSDomainName == nullptr || dnsDomainName == nullptr ||
            domainSID == nullptr) {
            Refuse(kInvalidParameter);
        }
        Directory const directory = ReadDirectory();
        DomainRecord const& domain = ReachProxy(directory, server, verifyCertificate, thumbprint);
        OwnedString netbiosName(Made(CopyString(domain.netbiosName)));
        OwnedString dnsName(Made(CopyString(domain.dnsName)));
        OwnedString sid(Made(CopyString(domain.sid)));
        *netBIOSDomainName = netbiosName.release();
        *dnsDomainName = dnsName.release();
        *domainSID = sid.release();
    });
}

// The account data handed out is the new account's name with "$", then its password; the
// provider's machine-account join checks both.
std::uint32_t CreateMachineAccount(char const* server, char const* hostName,
                                   char const* computerContainer, std::int32_t verifyCertificate,
                                   char const* thumbprint, char** accountData1,
                                   char** accountData2) {
    return Answer("CreateMachineAccount", [&] {
        if (server == nullptr || hostName == nullptr || accountData1 == nullptr ||
            accountData2 == nullptr) {
            Refuse(kInvalidParameter);
        }
        OwnedString name;
        OwnedString password;
        UpdateDirectory([&](DirectoryDocument& document, Directory const& directory) {
            DomainRecord const& domain =
                ReachProxy(directory, server, verifyCertificate, thumbprint);
            std::string const account = AccountNameFor(hostName);
            if (domain.FindComputer(account) != nullptr) Refuse(kAlreadyJoined);
            std::string const dn =
                "CN=" + account + "," + ContainerDistinguishedName(computerContainer, domain);
            std::string const secret = RandomPassword();
            // Made before the file changes, so that running out of memory leaves no account.
            name.reset(Made(CopyString(account + "$")));
            password.reset(Made(CopyString(secret)));
            document.Add("domain", domain.dnsName, "computer", account + " " + secret + " " + dn);
            return true;
        });
        *accountData1 = name.release();
        *accountData2 = password.release();
    });
}

void Release(char* string) {
    FreeString(string);
}

}  // namespace

}  // namespace demodirectory

extern "C" {

__attribute__((visibility("default"))) extern QAPProxyClientTable const QAPProxyClientOperations;

QAPProxyClientTable const QAPProxyClientOperations = {
    nullptr,
    demodirectory::GetDomainInfo,
    demodirectory::CreateMachineAccount,
    demodirectory::Release,
};

}  // extern "C"
