// Membership queries: from the member's configuration and machine secrets, and from
// winbindd through libwbclient. Each call has a libwbclient context of its own: one context
// shared by several threads hangs.
#include <plugin_results.h>
#include <syslog.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "helper_client.h"
#include "host_state.h"
#include "membership.h"
#include "slots.h"
#include "statuses.h"
#include "winbind_client.h"

namespace sambaprovider {

using pluginresults::CopyDomainNames;
using pluginresults::CopyString;
using pluginresults::FreeDomainNames;
using pluginresults::FreeString;

Membership CurrentMembership() {
    Membership membership;
    membership.config = ReadMemberConfig();
    membership.joined =
        membership.config.IsMember() && HoldsMachineSecret(membership.config.workgroup);
    return membership;
}

bool IsJoinedDomain(Membership const& membership, char const* domain) {
    if (!membership.joined || domain == nullptr) return false;
    std::string name = Lower(domain);
    return name == membership.config.DnsDomain() || name == Lower(membership.config.workgroup);
}

namespace {

struct WinbindContext {
    WinbindContext() : context(NewWinbindContext()) {}
    ~WinbindContext() {
        if (context != nullptr) wbcCtxFree(context);
    }
    wbcContext* context;
};

template <class T>
struct WinbindMemory {
    ~WinbindMemory() { wbcFreeMemory(memory); }
    T* memory = nullptr;
};

// libwbclient's release of domain records leaves their routing text ("Routed (via CORP)") behind:
// it is freed here first (and the pointer cleared, for a library that does free it).
void FreeRouting(struct wbcDomainInfo* domains, size_t count) {
    for (size_t i = 0; domains != nullptr && i < count; ++i) {
        free(domains[i].trust_routing);
        domains[i].trust_routing = nullptr;
    }
}

bool ReadMembership(Membership& membership) {
    try {
        membership = CurrentMembership();
        return true;
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "Samba provider: %s", error.what());
        return false;
    }
}

}  // namespace

ADStatus GetActiveDomain(ADDomainNames* domain, ADDeallocator* deallocator) {
    if (domain == nullptr || deallocator == nullptr) return kInvalidParameter;
    *deallocator = FreeString;
    Membership membership;
    if (!ReadMembership(membership)) return kAccessDenied;
    if (!membership.joined) return 0;  // not joined: no names
    domain->dnsName = CopyString(membership.config.DnsDomain());
    domain->netbiosName = CopyString(membership.config.workgroup);
    return domain->dnsName != nullptr && domain->netbiosName != nullptr ? 0 : 8;
}

TrustState GetDomainTrustState() {
    Membership membership;
    if (!ReadMembership(membership)) return 0;
    if (!membership.joined) return kTrustNotJoined;
    WinbindContext winbind;
    if (winbind.context == nullptr) return 0;
    // winbindd answers "not available" both when it is down and when its request to the DC
    // timed out; a ping, which winbindd answers itself, tells the two apart.
    if (wbcCtxPing(winbind.context) != WBC_ERR_SUCCESS) return kTrustNoWinbind;
    WinbindMemory<wbcAuthErrorInfo> error;
    wbcErr checked = wbcCtxCheckTrustCredentials(winbind.context, nullptr, &error.memory);
    if (checked == WBC_ERR_SUCCESS) return kTrustGood;
    // Offline (no DC answered, or the DC watcher switched winbindd offline), winbindd answers
    // the check with the reason it could not reach a DC.
    uint32_t const unreachable[] = {0xC000005E, 0xC00000B5, 0xC0000233, 0xC00000DA,
                                    0xC000023C, 0xC000023D, 0xC0000236};
    for (uint32_t status : unreachable) {
        if (checked == WBC_ERR_AUTH_ERROR && error.memory != nullptr &&
            error.memory->nt_status == status) {
            return kTrustDcUnreachable;
        }
    }
    if (checked == WBC_ERR_AUTH_ERROR) {
        syslog(LOG_WARNING, "Samba provider: the domain rejects this host's credentials: %s",
               error.memory != nullptr && error.memory->nt_string != nullptr
                   ? error.memory->nt_string
                   : "(no detail)");
        return kTrustBroken;
    }
    return kTrustDcUnreachable;
}

ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator) {
    if (domains == nullptr || deallocator == nullptr) return kInvalidParameter;
    *deallocator = FreeDomainNames;
    *domains = nullptr;
    Membership membership;
    if (!ReadMembership(membership)) return kAccessDenied;
    std::vector<std::pair<std::string, std::string> > trusted;
    if (membership.joined) {
        WinbindContext winbind;
        WinbindMemory<struct wbcDomainInfo> list;
        size_t count = 0;
        wbcErr listed = winbind.context == nullptr
                            ? WBC_ERR_NO_MEMORY
                            : wbcCtxListTrusts(winbind.context, &list.memory, &count);
        if (listed == WBC_ERR_WINBIND_NOT_AVAILABLE &&
            wbcCtxPing(winbind.context) != WBC_ERR_SUCCESS) {
            // Without winbindd the directory itself lists the trusts.
            ADStatus status = ListTrustsOverLdap(membership, trusted);
            if (status != 0) return status;
            count = 0;
        } else if (listed != WBC_ERR_SUCCESS) {
            return kNoLogonServers;
        }
        for (size_t i = 0; i < count; ++i) {
            struct wbcDomainInfo const& entry = list.memory[i];
            // winbindd also lists the host itself, BUILTIN and the joined domain. A member
            // reaches the joined domain's trusted domains through it: those come without a
            // trust type of their own, routed through the joined domain.
            bool const routed = entry.trust_type == WBC_DOMINFO_TRUSTTYPE_NONE &&
                                entry.trust_routing != nullptr && *entry.trust_routing != '\0';
            bool isTrust = routed || entry.trust_type == WBC_DOMINFO_TRUSTTYPE_FOREST ||
                           entry.trust_type == WBC_DOMINFO_TRUSTTYPE_IN_FOREST ||
                           entry.trust_type == WBC_DOMINFO_TRUSTTYPE_EXTERNAL;
            if (!isTrust || (entry.domain_flags & WBC_DOMINFO_DOMAIN_PRIMARY) != 0) continue;
            if (Lower(entry.short_name ? entry.short_name : "") ==
                Lower(membership.config.workgroup)) {
                continue;
            }
            trusted.emplace_back(entry.dns_name ? entry.dns_name : "",
                                 entry.short_name ? entry.short_name : "");
        }
        FreeRouting(list.memory, count);
    }
    *domains = CopyDomainNames(trusted);
    return *domains != nullptr ? 0 : 8;
}

ADStatus GetAnyDomainController(char const* qualifier, char const* domain, char** controller,
                                ADDeallocator* deallocator) {
    if (domain == nullptr || controller == nullptr || deallocator == nullptr) {
        return kInvalidParameter;
    }
    *deallocator = FreeString;
    *controller = nullptr;
    if (*domain == '\0') return kInvalidDomainName;
    // The qualifier is a site: a DC of that site is asked for.
    WinbindContext winbind;
    WinbindMemory<wbcDomainControllerInfoEx> info;
    wbcErr found = winbind.context == nullptr
                       ? WBC_ERR_NO_MEMORY
                       : wbcCtxLookupDomainControllerEx(winbind.context, domain, nullptr, qualifier,
                                                        0x10 /* directory service */, &info.memory);
    std::string name;
    if (found == WBC_ERR_SUCCESS && info.memory != nullptr && info.memory->dc_unc != nullptr) {
        name = StripBackslashes(info.memory->dc_unc);
    } else if (found == WBC_ERR_WINBIND_NOT_AVAILABLE) {
        // Without winbindd the DC is found the way a join finds it.
        Fields request = {{"op", "find-dc"}, {"domain", domain}}, answer;
        if (qualifier != nullptr) request["site"] = qualifier;
        ADStatus status = RunHelper(request, answer);
        if (status != 0) return status;
        name = answer["dc"];
    } else {
        return found == WBC_ERR_DOMAIN_NOT_FOUND ? kNoSuchDomain : kNoLogonServers;
    }
    *controller = CopyString(name);
    return *controller != nullptr ? 0 : 8;
}

namespace {

// DOMAIN\NAME, NAME@DOMAIN (split at `at`) or NAME in the joined domain; the separators'
// positions are the caller's, which knows what else its names may hold.
ADStatus SplitAccountName(std::string const& text, std::size_t at, std::size_t backslash,
                          std::string& domain, std::string& account) {
    Membership membership;
    if (!ReadMembership(membership)) return kAccessDenied;
    if (!membership.joined) return kNoTrustSamAccount;
    if (backslash != std::string::npos) {
        domain = text.substr(0, backslash);
        account = text.substr(backslash + 1);
    } else if (at != std::string::npos) {
        account = text.substr(0, at);
        domain = text.substr(at + 1);
    } else {
        account = text;
        domain = membership.config.workgroup;
    }
    return account.empty() || domain.empty() ? kInvalidAccountName : 0;
}

}  // namespace

ADStatus ConvertCanonicalUsername(char const* name, char** canonical, ADDeallocator* deallocator) {
    if (name == nullptr || canonical == nullptr || deallocator == nullptr) {
        return kInvalidParameter;
    }
    *deallocator = FreeString;
    *canonical = nullptr;
    std::string text = name, domain, user;
    std::size_t at = text.find('@'), backslash = text.find('\\');
    if (text.empty() || (at != std::string::npos && backslash != std::string::npos) ||
        text.find_first_of(" \t\r\n/") != std::string::npos) {
        return kInvalidAccountName;
    }
    ADStatus const split = SplitAccountName(text, at, backslash, domain, user);
    if (split != 0) return split;
    WinbindContext winbind;
    if (winbind.context == nullptr) return 8;
    wbcDomainSid sid;
    wbcSidType type;
    wbcErr found = wbcCtxLookupName(winbind.context, domain.c_str(), user.c_str(), &sid, &type);
    if (found == WBC_ERR_WINBIND_NOT_AVAILABLE) return kServiceNotActive;
    // winbindd answers "domain not found" for an unknown name in a known domain too.
    if (found == WBC_ERR_DOMAIN_NOT_FOUND || found == WBC_ERR_UNKNOWN_USER) return kNoSuchUser;
    if (found != WBC_ERR_SUCCESS) return kNoLogonServers;
    WinbindMemory<char> foundDomain, foundName;
    if (wbcCtxLookupSid(winbind.context, &sid, &foundDomain.memory, &foundName.memory, &type) !=
        WBC_ERR_SUCCESS) {
        return kNoSuchUser;
    }
    *canonical = CopyString(std::string(foundDomain.memory) + "\\" + foundName.memory);
    return *canonical != nullptr ? 0 : 8;
}

ADStatus LookupAccount(char const* name, char** canonical, char** sid, uint32_t* isGroup,
                       ADDeallocator* deallocator) {
    if (name == nullptr || canonical == nullptr || sid == nullptr || isGroup == nullptr ||
        deallocator == nullptr) {
        return kInvalidParameter;
    }
    *deallocator = FreeString;
    *canonical = nullptr;
    *sid = nullptr;
    *isGroup = 0;
    // Group names may hold blanks ("Domain Admins"); control characters never.
    std::string text = name, domain, account;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/') {
            return kInvalidAccountName;
        }
    }
    std::size_t at = text.rfind('@'), backslash = text.find('\\');
    if (text.empty() || (at != std::string::npos && backslash != std::string::npos)) {
        return kInvalidAccountName;
    }
    ADStatus const split = SplitAccountName(text, at, backslash, domain, account);
    if (split != 0) return split;
    WinbindContext winbind;
    if (winbind.context == nullptr) return 8;
    wbcDomainSid found;
    wbcSidType type;
    wbcErr looked =
        wbcCtxLookupName(winbind.context, domain.c_str(), account.c_str(), &found, &type);
    if (looked == WBC_ERR_WINBIND_NOT_AVAILABLE) return kServiceNotActive;
    // winbindd answers "domain not found" for an unknown name in a known domain too.
    if (looked == WBC_ERR_DOMAIN_NOT_FOUND || looked == WBC_ERR_UNKNOWN_USER ||
        looked == WBC_ERR_UNKNOWN_GROUP) {
        return kNoSuchUser;
    }
    if (looked != WBC_ERR_SUCCESS) return kNoLogonServers;
    WinbindMemory<char> foundDomain, foundName;
    if (wbcCtxLookupSid(winbind.context, &found, &foundDomain.memory, &foundName.memory, &type) !=
        WBC_ERR_SUCCESS) {
        return kNoSuchUser;
    }
    char sidText[WBC_SID_STRING_BUFLEN];
    wbcSidToStringBuf(&found, sidText, sizeof sidText);
    switch (type) {
        case WBC_SID_NAME_USER:
            break;
        case WBC_SID_NAME_DOM_GRP:
        case WBC_SID_NAME_ALIAS:
        case WBC_SID_NAME_WKN_GRP:
            *isGroup = 1;
            break;
        default:  // a domain, a computer's trust or a deleted account: nobody who logs in
            return kNoSuchUser;
    }
    *canonical = CopyString(std::string(foundDomain.memory) + "\\" + foundName.memory);
    *sid = CopyString(sidText);
    return *canonical != nullptr && *sid != nullptr ? 0 : 8;
}

ADStatus GetHostPrincipalForDomain(char const* domain, char** principal,
                                   ADDeallocator* deallocator) {
    if (domain == nullptr || principal == nullptr || deallocator == nullptr) {
        return kInvalidParameter;
    }
    *deallocator = FreeString;
    *principal = nullptr;
    Membership membership;
    if (!ReadMembership(membership)) return kAccessDenied;
    if (!IsJoinedDomain(membership, domain)) return kNoTrustSamAccount;
    *principal = CopyString(membership.config.netbiosName + "$@" + membership.config.realm);
    return *principal != nullptr ? 0 : 8;
}

uint32_t GetDomainTrustRelationship(char const* domain) {
    Membership membership;
    if (domain == nullptr || !ReadMembership(membership) || !membership.joined) return 0;
    if (IsJoinedDomain(membership, domain)) return 0x8;
    WinbindContext winbind;
    WinbindMemory<struct wbcDomainInfo> info;
    uint32_t relationship = 0;
    if (winbind.context != nullptr &&
        wbcCtxDomainInfo(winbind.context, domain, &info.memory) == WBC_ERR_SUCCESS) {
        if (info.memory->trust_flags & WBC_DOMINFO_TRUST_OUTGOING) relationship |= 0x2;
        if (info.memory->trust_flags & WBC_DOMINFO_TRUST_INCOMING) relationship |= 0x20;
        FreeRouting(info.memory, 1);
    }
    if (relationship != 0) return relationship;
    // A member's winbindd knows no direction for the domains it reaches through the joined
    // domain (nor anything without winbindd): the joined domain's trust object holds it.
    uint32_t direction = 0;
    if (TrustDirectionOverLdap(membership, domain, direction) != 0) return 0;
    if (direction & 1) relationship |= 0x20;
    if (direction & 2) relationship |= 0x2;
    return relationship;
}

}  // namespace sambaprovider
