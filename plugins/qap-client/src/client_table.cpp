// The authentication-proxy client: asks the enrolment service over HTTPS for its domain and
// for a provisioned computer account (protocol: proxy/README.md).
#include <plugin_results.h>
#include <syslog.h>
#include <tslauth/qap_proxy_client.h>

#include <cstdint>
#include <exception>
#include <new>

#include "endpoint.h"
#include "exchange.h"
#include "failure.h"
#include "messages.h"

namespace qapclient {

namespace {

// Runs one operation and turns its outcome into a status: nothing thrown inside may cross
// the C boundary of the table. Every failure is logged; the library only sees the status.
template <class Body>
std::uint32_t Run(char const* operation, Body body) noexcept {
    try {
        body();
        return kSuccess;
    } catch (Failure const& failure) {
        syslog(LOG_WARNING, "qapclient: %s: %s", operation, failure.what());
        return failure.status;
    } catch (std::bad_alloc const&) {
        syslog(LOG_WARNING, "qapclient: %s: out of memory", operation);
        return kNotEnoughMemory;
    } catch (std::exception const& error) {
        syslog(LOG_WARNING, "qapclient: %s: %s", operation, error.what());
        return kMalformedAnswer;
    } catch (...) {
        syslog(LOG_WARNING, "qapclient: %s: unexpected failure", operation);
        return kMalformedAnswer;
    }
}

using pluginresults::OwnedString;

// A malloc'ed copy, as Release frees it.
OwnedString Copy(std::string const& text) {
    OwnedString copy(pluginresults::CopyString(text));
    if (!copy) throw std::bad_alloc();
    return copy;
}

Trust PinnedTrust(std::int32_t verifyCertificate, char const* thumbprint,
                  Endpoint const& endpoint) {
    Trust trust;
    trust.verify = verifyCertificate != 0;
    if (thumbprint != nullptr) trust.thumbprint = thumbprint;
    if (trust.verify && trust.thumbprint.empty()) {
        throw Failure(kUntrustedCertificate,
                      "no certificate thumbprint pinned for " + endpoint.address);
    }
    return trust;
}

std::uint32_t GetDomainInfo(char const* server, std::int32_t verifyCertificate,
                            char const* thumbprint, char** netBIOSDomainName, char** dnsDomainName,
                            char** domainSID) {
    return Run("GetDomainInfo", [&] {
        if (server == nullptr || netBIOSDomainName == nullptr || dnsDomainName == nullptr ||
            domainSID == nullptr) {
            throw Failure(kInvalidParameter, "a required argument is NULL");
        }
        Endpoint const endpoint = ParseServer(server);
        Trust const trust = PinnedTrust(verifyCertificate, thumbprint, endpoint);
        DomainInfo const info =
            ReadDomainInfo(Exchange(endpoint, trust, "GET", "/v1/domain", std::string()));
        OwnedString netbiosName = Copy(info.netbiosName);
        OwnedString dnsName = Copy(info.dnsName);
        OwnedString sid = Copy(info.sid);
        *netBIOSDomainName = netbiosName.release();
        *dnsDomainName = dnsName.release();
        *domainSID = sid.release();
    });
}

// accountData1 is the account name ("NAME$"), accountData2 the provisioning text that the
// Samba provider's machine-account join completes.
std::uint32_t CreateMachineAccount(char const* server, char const* hostName,
                                   char const* computerContainer, std::int32_t verifyCertificate,
                                   char const* thumbprint, char** accountData1,
                                   char** accountData2) {
    return Run("CreateMachineAccount", [&] {
        if (server == nullptr || hostName == nullptr || *hostName == '\0' ||
            accountData1 == nullptr || accountData2 == nullptr) {
            throw Failure(kInvalidParameter, "a required argument is NULL or empty");
        }
        Endpoint const endpoint = ParseServer(server);
        Trust const trust = PinnedTrust(verifyCertificate, thumbprint, endpoint);
        std::string const request = MachineAccountRequest(hostName, computerContainer);
        MachineAccount const account =
            ReadMachineAccount(Exchange(endpoint, trust, "POST", "/v1/machine-accounts", request));
        OwnedString name = Copy(account.account);
        OwnedString provisioning = Copy(account.provisioning);
        *accountData1 = name.release();
        *accountData2 = provisioning.release();
    });
}

void Release(char* string) {
    pluginresults::FreeString(string);
}

}  // namespace

}  // namespace qapclient

extern "C" {

__attribute__((visibility("default"))) extern QAPProxyClientTable const QAPProxyClientOperations;

QAPProxyClientTable const QAPProxyClientOperations = {
    nullptr,
    qapclient::GetDomainInfo,
    qapclient::CreateMachineAccount,
    qapclient::Release,
};

}  // extern "C"
