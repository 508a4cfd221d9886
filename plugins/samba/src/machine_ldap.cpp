// LDAP as the machine itself: Kerberos from the keytab, SASL GSSAPI. Everything is per call: a
// Kerberos context, a MEMORY credential cache named to GSSAPI for this thread only, and an LDAP
// handle. The process environment (KRB5CCNAME) is never touched: it belongs to the host program and
// to every thread.
#include "machine_ldap.h"

#include <dlfcn.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>
#include <sasl/sasl.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "helper_client.h"
#include "host_state.h"
#include "statuses.h"
#include "winbind_client.h"

namespace sambaprovider {

namespace {

int const kLdapSeconds = 15;
// A bind answers in well under a second; a DC that does not answer it in this time (stopped,
// or overloaded) is left for the next.
int const kBindSeconds = 5;

// GSSAPI asks for nothing but may offer an authorisation name: take the defaults.
int AnswerDefaults(LDAP*, unsigned, void*, void* interactions) {
    for (auto* entry = static_cast<sasl_interact_t*>(interactions); entry->id != SASL_CB_LIST_END;
         ++entry) {
        entry->result = entry->defresult != nullptr ? entry->defresult : "";
        entry->len = static_cast<unsigned>(std::strlen(static_cast<char const*>(entry->result)));
    }
    return LDAP_SUCCESS;
}

// The domain's DCs to try, best first. Known: the one winbindd is connected to (it follows a
// failover), then the one its DC search gave last (cached). Rediscovered: what a fresh search
// finds now (the first DC to answer), else the helper's search.
std::vector<std::string> CandidateDCs(MemberConfig const& config, bool rediscover) {
    std::vector<std::string> dcs;
    auto const add = [&dcs](std::string const& name) {
        if (!name.empty() && std::find(dcs.begin(), dcs.end(), name) == dcs.end()) {
            dcs.push_back(name);
        }
    };
    wbcContext* context = NewWinbindContext();
    if (context != nullptr && !rediscover) {
        size_t count = 0;
        char const** names = nullptr;
        char const** addresses = nullptr;
        if (wbcCtxDcInfo(context, config.workgroup.c_str(), &count, &names, &addresses) ==
            WBC_ERR_SUCCESS) {
            for (size_t i = 0; i < count; ++i) add(StripBackslashes(names[i]));
        }
        wbcFreeMemory(names);
        wbcFreeMemory(addresses);
    }
    wbcDomainControllerInfoEx* info = nullptr;
    uint32_t const flags = 0x10 /* directory service */ | (rediscover ? 0x1 /* forced */ : 0);
    if (context != nullptr &&
        wbcCtxLookupDomainControllerEx(context, config.DnsDomain().c_str(), nullptr, nullptr, flags,
                                       &info) == WBC_ERR_SUCCESS &&
        info != nullptr) {
        add(StripBackslashes(info->dc_unc));
    }
    wbcFreeMemory(info);
    if (context != nullptr) wbcCtxFree(context);
    if (dcs.empty() && rediscover) {
        Fields request = {{"op", "find-dc"}, {"domain", config.DnsDomain()}}, answer;
        if (RunHelper(request, answer) == 0) add(answer["dc"]);
    }
    return dcs;
}

// The machine's ticket-granting ticket in a credential cache of this call's own.
class MachineTicket {
public:
    ~MachineTicket() {
        if (cache != nullptr) krb5_cc_destroy(context, cache);
        if (principal != nullptr) krb5_free_principal(context, principal);
        if (keytab != nullptr) krb5_kt_close(context, keytab);
        if (context != nullptr) krb5_free_context(context);
    }

    // From the keytab, or from the password when one is given.
    ADStatus Get(std::string const& name, std::string const* password) {
        if (krb5_init_context(&context) != 0) {
            context = nullptr;
            return kInternalError;
        }
        if (krb5_parse_name(context, name.c_str(), &principal) != 0) return kInvalidAccountName;
        krb5_creds credentials;
        std::memset(&credentials, 0, sizeof credentials);
        krb5_error_code error = 0;
        if (password != nullptr) {
            error =
                krb5_get_init_creds_password(context, &credentials, principal, password->c_str(),
                                             nullptr, nullptr, 0, nullptr, nullptr);
        } else if (krb5_kt_resolve(context, (std::string("FILE:") + kKeytab).c_str(), &keytab) !=
                   0) {
            return kInternalError;
        } else {
            error = krb5_get_init_creds_keytab(context, &credentials, principal, keytab, 0, nullptr,
                                               nullptr);
        }
        if (error != 0) {
            char const* text = krb5_get_error_message(context, error);
            syslog(LOG_WARNING, "Samba provider: no ticket for %s: %s", name.c_str(), text);
            krb5_free_error_message(context, text);
            switch (error) {
                case KRB5_KDC_UNREACH:
                case KRB5_REALM_CANT_RESOLVE:
                    return kNoLogonServers;
                case KRB5KDC_ERR_PREAUTH_FAILED:
                case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
                case KRB5KDC_ERR_CLIENT_REVOKED:
                    return kNoTrustSamAccount;
                default:
                    return error == ENOENT || error == KRB5_KT_NOTFOUND ? 1786 : kNoLogonServers;
            }
        }
        error = krb5_cc_new_unique(context, "MEMORY", nullptr, &cache);
        if (error == 0) error = krb5_cc_initialize(context, cache, principal);
        if (error == 0) error = krb5_cc_store_cred(context, cache, &credentials);
        krb5_free_cred_contents(context, &credentials);
        if (error != 0) return kInternalError;
        cacheName = std::string("MEMORY:") + krb5_cc_get_name(context, cache);
        return 0;
    }

    std::string const& CacheName() const { return cacheName; }

private:
    krb5_context context = nullptr;
    krb5_principal principal = nullptr;
    krb5_keytab keytab = nullptr;
    krb5_ccache cache = nullptr;
    std::string cacheName;
};

// GSSAPI's credential cache for this thread, put back as it was afterwards.
class ThreadCredentialCache {
public:
    explicit ThreadCredentialCache(std::string const& name) {
        OM_uint32 minor = 0;
        char const* old = nullptr;
        set = gss_krb5_ccache_name(&minor, name.c_str(), &old) == GSS_S_COMPLETE;
        if (set && old != nullptr) previous = old;
        hadPrevious = set && old != nullptr;
    }
    ~ThreadCredentialCache() {
        OM_uint32 minor = 0;
        if (set) gss_krb5_ccache_name(&minor, hadPrevious ? previous.c_str() : nullptr, nullptr);
    }
    bool Set() const { return set; }

private:
    bool set = false, hadPrevious = false;
    std::string previous;
};

// SASL keeps process-wide state from its first use on, among it pointers into the LDAP
// library (its mutex hooks) and the mechanism modules it loaded. Unloading either with the
// plug-in would leave SASL calling into unmapped code on the next load: once used, both stay.
void PrepareLdapOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info ldapLibrary = {};
        if (dladdr(reinterpret_cast<void*>(&ldap_initialize), &ldapLibrary) != 0 &&
            ldapLibrary.dli_fname != nullptr) {
            dlopen(ldapLibrary.dli_fname, RTLD_NOW | RTLD_NODELETE);
        }
        dlopen("libsasl2.so.2", RTLD_NOW | RTLD_NODELETE);
        // The LDAP library sets up its global options and SASL on first use without a lock:
        // two threads binding at once for the first time would both do it. Do it here, once.
        int debug = 0;
        ldap_get_option(nullptr, LDAP_OPT_DEBUG_LEVEL, &debug);
        char** mechanisms = nullptr;
        ldap_get_option(nullptr, LDAP_OPT_X_SASL_MECHLIST, &mechanisms);
    });
}

ADStatus Bind(std::string const& dc, LDAP*& ldap) {
    PrepareLdapOnce();
    std::string uri = "ldap://" + dc;
    if (ldap_initialize(&ldap, uri.c_str()) != LDAP_SUCCESS) return kInternalError;
    int version = LDAP_VERSION3;
    timeval limit = {kBindSeconds, 0};
    ldap_set_option(ldap, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ldap, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    // The DC's name is used as given: canonicalising it through reverse DNS finds no PTR
    // record in many domains, and then no service ticket.
    ldap_set_option(ldap, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);
    ldap_set_option(ldap, LDAP_OPT_NETWORK_TIMEOUT, &limit);
    ldap_set_option(ldap, LDAP_OPT_TIMEOUT, &limit);
    int result = ldap_sasl_interactive_bind_s(ldap, nullptr, "GSSAPI", nullptr, nullptr,
                                              LDAP_SASL_QUIET, AnswerDefaults, nullptr);
    limit.tv_sec = kLdapSeconds;  // the searches' own limit applies from here
    ldap_set_option(ldap, LDAP_OPT_TIMEOUT, &limit);
    if (result == LDAP_SUCCESS) return 0;
    syslog(LOG_WARNING, "Samba provider: LDAP bind to %s failed: %s", dc.c_str(),
           ldap_err2string(result));
    return result == LDAP_SERVER_DOWN || result == LDAP_TIMEOUT ? kNoLogonServers : kAccessDenied;
}

}  // namespace

ADStatus WithMachineLdap(Membership const& membership, LdapWork const& work) {
    MemberConfig const& config = membership.config;
    // A DC that does not answer gives way to the next, then to those a fresh search finds.
    std::vector<std::string> tried;
    ADStatus status = kNoLogonServers;
    for (bool rediscover : {false, true}) {
        for (std::string const& dc : CandidateDCs(config, rediscover)) {
            if (std::find(tried.begin(), tried.end(), dc) != tried.end()) continue;
            tried.push_back(dc);
            status = WithLdapAs(dc, config, nullptr, work);
            if (status != kNoLogonServers) return status;
        }
    }
    return status;
}

ADStatus WithLdapAs(std::string const& dc, MemberConfig const& config, std::string const* password,
                    LdapWork const& work) {
    MachineTicket ticket;
    ADStatus status = ticket.Get(config.netbiosName + "$@" + config.realm, password);
    if (status != 0) return status;
    ThreadCredentialCache cache(ticket.CacheName());
    if (!cache.Set()) return kInternalError;
    LDAP* ldap = nullptr;
    status = Bind(dc, ldap);
    if (status == 0) status = work(ldap, DomainDN(config.DnsDomain()));
    if (ldap != nullptr) ldap_unbind_ext_s(ldap, nullptr, nullptr);
    return status;
}

ADStatus SearchLdap(LDAP* ldap, std::string const& base, std::string const& filter,
                    std::vector<char const*> attributes, LDAPMessage*& found) {
    timeval limit = {kLdapSeconds, 0};
    attributes.push_back(nullptr);
    found = nullptr;
    int result = ldap_search_ext_s(ldap, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                                   const_cast<char**>(attributes.data()), 0, nullptr, nullptr,
                                   &limit, 0, &found);
    if (result == LDAP_SUCCESS) return 0;
    if (found != nullptr) ldap_msgfree(found);
    found = nullptr;
    syslog(LOG_WARNING, "Samba provider: LDAP search %s failed: %s", filter.c_str(),
           ldap_err2string(result));
    return result == LDAP_NO_SUCH_OBJECT ? 0 : kNoLogonServers;
}

std::string AttributeValue(LDAP* ldap, LDAPMessage* entry, char const* attribute) {
    berval** values = ldap_get_values_len(ldap, entry, attribute);
    std::string value;
    if (values != nullptr && values[0] != nullptr)
        value.assign(values[0]->bv_val, values[0]->bv_len);
    if (values != nullptr) ldap_value_free_len(values);
    return value;
}

}  // namespace sambaprovider
