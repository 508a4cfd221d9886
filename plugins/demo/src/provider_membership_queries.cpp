// What the host's membership looks like. The library runs these on worker threads with a
// time-out, so they wait while the directory is switched to unresponsive.
#include "answer.h"
#include "directory_file.h"
#include "names.h"
#include "provider_slots.h"

namespace demodirectory {

ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator) {
    return Answer("GetActiveDomain", [&] {
        if (domain == nullptr || deallocator == nullptr) Refuse(kInvalidParameter);
        Directory const directory = AwaitDirectory();
        DomainRecord const* joined = directory.JoinedDomain();
        if (joined != nullptr) {
            OwnedString dnsName(Made(CopyString(joined->dnsName)));
            OwnedString netbiosName(Made(CopyString(joined->netbiosName)));
            domain->dnsName = dnsName.release();
            domain->netbiosName = netbiosName.release();
        }
        *deallocator = FreeString;
    });
}

ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator) {
    return Answer("GetPreferredDomainControllers", [&] {
        if (names == nullptr || deallocator == nullptr) Refuse(kInvalidParameter);
        *names = Made(CopyStrings(AwaitDirectory().host.preferredControllers));
        *deallocator = FreeStrings;
    });
}

TrustState GetDomainTrustState() {
    TrustState state = 0;  // unknown, when the directory file fails
    Answer("GetDomainTrustState", [&] { state = AwaitDirectory().TrustState(); });
    return state;
}

ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator) {
    return Answer("GetTrustedDomains", [&] {
        if (domains == nullptr || deallocator == nullptr) Refuse(kInvalidParameter);
        Directory const directory = AwaitDirectory();
        std::vector<std::pair<std::string, std::string> > names;
        if (DomainRecord const* joined = directory.JoinedDomain()) {
            for (TrustRecord const& trust : joined->trusts) {
                names.emplace_back(trust.dnsName, trust.netbiosName);
            }
        }
        *domains = Made(CopyDomainNames(names));
        *deallocator = FreeDomainNames;
    });
}

ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator) {
    return Answer("GetMachineAccountDN", [&] {
        if (dn == nullptr || deallocator == nullptr) Refuse(kInvalidParameter);
        *dn = Made(CopyString(AwaitDirectory().host.machineAccount));
        *deallocator = FreeString;
    });
}

std::uint32_t GetDomainTrustRelationship(char const* domain) {
    std::uint32_t relationship = 0;  // none, or not known
    Answer("GetDomainTrustRelationship", [&] {
        if (domain == nullptr) return;
        Directory const directory = ReadDirectory();
        DomainRecord const* joined = directory.JoinedDomain();
        if (directory.unresponsive || joined == nullptr) return;
        if (EqualNoCase(joined->dnsName, domain) || EqualNoCase(joined->netbiosName, domain)) {
            relationship = kTrustPrimary;
        } else if (TrustRecord const* trust = joined->FindTrust(domain)) {
            relationship = trust->relationship;
        }
    });
    return relationship;
}

}  // namespace demodirectory
