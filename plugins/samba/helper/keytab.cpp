#include "keytab.h"

#include <fcntl.h>
#include <krb5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "host_state.h"
#include "machine_ldap.h"
#include "statuses.h"

namespace sambahelper {

using namespace sambaprovider;

namespace {

// msDS-SupportedEncryptionTypes bits and the encryption types they stand for.
struct Enctype {
    uint32_t bit;
    krb5_enctype type;
};
Enctype const kEnctypes[] = {
    {0x10, ENCTYPE_AES256_CTS_HMAC_SHA1_96},
    {0x08, ENCTYPE_AES128_CTS_HMAC_SHA1_96},
    {0x04, ENCTYPE_ARCFOUR_HMAC},
};
// What an account without the attribute supports.
uint32_t const kDefaultEnctypes = 0x1c;

struct AccountKeys {
    krb5_kvno kvno = 0;
    uint32_t enctypes = kDefaultEnctypes;
    std::vector<std::string> principals;  // without the realm
};

// Keytab lookups compare names exactly, and services ask for "host/name.domain": the
// service class and a DNS name in lower case, as the DC compares them anyway.
std::string KeytabName(std::string const& servicePrincipalName) {
    std::size_t slash = servicePrincipalName.find('/');
    if (slash == std::string::npos) return servicePrincipalName;
    std::string instance = servicePrincipalName.substr(slash + 1);
    if (instance.find('.') != std::string::npos) instance = Lower(instance);
    return Lower(servicePrincipalName.substr(0, slash)) + "/" + instance;
}

uint32_t ReadAccount(MemberConfig const& config, std::string const& dc, std::string const& password,
                     AccountKeys& keys) {
    std::string const account = config.netbiosName + "$";
    return WithLdapAs(dc, config, &password, [&](LDAP* ldap, std::string const& base) {
        LDAPMessage* found = nullptr;
        ADStatus status = SearchLdap(
            ldap, base, "(sAMAccountName=" + account + ")",
            {"msDS-KeyVersionNumber", "servicePrincipalName", "msDS-SupportedEncryptionTypes"},
            found);
        LDAPMessage* entry = found != nullptr ? ldap_first_entry(ldap, found) : nullptr;
        if (status == 0 && entry == nullptr) status = kNoTrustSamAccount;
        if (entry != nullptr) {
            keys.kvno = static_cast<krb5_kvno>(std::strtoul(
                AttributeValue(ldap, entry, "msDS-KeyVersionNumber").c_str(), nullptr, 10));
            std::string enctypes = AttributeValue(ldap, entry, "msDS-SupportedEncryptionTypes");
            if (!enctypes.empty()) keys.enctypes = std::strtoul(enctypes.c_str(), nullptr, 10);
            keys.principals.push_back(account);
            berval** names = ldap_get_values_len(ldap, entry, "servicePrincipalName");
            for (int i = 0; names != nullptr && names[i] != nullptr; ++i) {
                keys.principals.push_back(
                    KeytabName(std::string(names[i]->bv_val, names[i]->bv_len)));
            }
            if (names != nullptr) ldap_value_free_len(names);
        }
        if (found != nullptr) ldap_msgfree(found);
        return status;
    });
}

class Kerberos {
public:
    Kerberos() {
        if (krb5_init_context(&context) != 0) context = nullptr;
    }
    ~Kerberos() {
        if (context != nullptr) krb5_free_context(context);
    }
    krb5_context context = nullptr;
};

// Every entry of the old keytab whose principal is not one of ours goes into the new one.
bool CopyOtherEntries(krb5_context context, krb5_keytab to, std::set<std::string> const& ours) {
    krb5_keytab from = nullptr;
    if (access(kKeytab, F_OK) != 0) return true;
    if (krb5_kt_resolve(context, (std::string("FILE:") + kKeytab).c_str(), &from) != 0) {
        return false;
    }
    krb5_kt_cursor cursor;
    bool copied = true;
    if (krb5_kt_start_seq_get(context, from, &cursor) == 0) {
        krb5_keytab_entry entry;
        while (krb5_kt_next_entry(context, from, &entry, &cursor) == 0) {
            char* name = nullptr;
            krb5_unparse_name(context, entry.principal, &name);
            bool mine = name != nullptr && ours.count(Lower(name)) != 0;
            krb5_free_unparsed_name(context, name);
            if (!mine && krb5_kt_add_entry(context, to, &entry) != 0) copied = false;
            krb5_free_keytab_entry_contents(context, &entry);
        }
        krb5_kt_end_seq_get(context, from, &cursor);
    }
    krb5_kt_close(context, from);
    return copied;
}

}  // namespace

uint32_t WriteMachineKeytab(MemberConfig const& config, std::string const& dc, Fields& answer) {
    std::string const password = ReadMachineSecret("SECRETS/MACHINE_PASSWORD/" + config.workgroup);
    if (password.empty()) {
        answer["error"] = "the join stored no machine password";
        return kInternalError;
    }
    AccountKeys keys;
    uint32_t status = ReadAccount(config, dc, password, keys);
    if (status != 0) {
        answer["error"] = "reading the computer account's keys: status " + std::to_string(status);
        return status;
    }
    // The salt the DC derived the keys with; the join stores it.
    std::string salting = ReadMachineSecret("SECRETS/SALTING_PRINCIPAL/DES/" + config.realm);
    if (salting.empty()) {
        salting =
            "host/" + Lower(config.netbiosName) + "." + config.DnsDomain() + "@" + config.realm;
    }
    Kerberos kerberos;
    krb5_context context = kerberos.context;
    krb5_principal saltPrincipal = nullptr;
    krb5_data salt = {};
    if (context == nullptr || krb5_parse_name(context, salting.c_str(), &saltPrincipal) != 0 ||
        krb5_principal2salt(context, saltPrincipal, &salt) != 0) {
        if (saltPrincipal != nullptr) krb5_free_principal(context, saltPrincipal);
        answer["error"] = "no salt for the machine's keys";
        return kInternalError;
    }
    krb5_free_principal(context, saltPrincipal);

    std::string temporary = std::string(kKeytab) + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        krb5_free_data_contents(context, &salt);
        answer["error"] = "unable to create a temporary file beside '" + std::string(kKeytab) + "'";
        return kAccessDenied;
    }
    // The keytab code writes a new file's header itself and refuses an empty file: the name
    // stays reserved by this process only until the first entry creates it again.
    close(fd);
    unlink(temporary.c_str());
    krb5_keytab keytab = nullptr;
    bool written = krb5_kt_resolve(context, ("FILE:" + temporary).c_str(), &keytab) == 0;
    std::set<std::string> ours;
    krb5_data secret = {KV5M_DATA, static_cast<unsigned>(password.size()),
                        const_cast<char*>(password.data())};
    for (std::string const& name : keys.principals) {
        krb5_principal principal = nullptr;
        if (!written ||
            krb5_parse_name(context, (name + "@" + config.realm).c_str(), &principal) != 0) {
            written = false;
            break;
        }
        char* unparsed = nullptr;
        krb5_unparse_name(context, principal, &unparsed);
        if (unparsed != nullptr) ours.insert(Lower(unparsed));
        krb5_free_unparsed_name(context, unparsed);
        for (Enctype const& enctype : kEnctypes) {
            if ((keys.enctypes & enctype.bit) == 0) continue;
            krb5_keytab_entry entry = {};
            entry.principal = principal;
            entry.vno = keys.kvno;
            if (krb5_c_string_to_key(context, enctype.type, &secret, &salt, &entry.key) != 0 ||
                krb5_kt_add_entry(context, keytab, &entry) != 0) {
                written = false;
            }
            krb5_free_keyblock_contents(context, &entry.key);
        }
        krb5_free_principal(context, principal);
    }
    krb5_free_data_contents(context, &salt);
    if (written) written = CopyOtherEntries(context, keytab, ours);
    if (keytab != nullptr) krb5_kt_close(context, keytab);
    if (written) written = chmod(temporary.c_str(), 0600) == 0;
    if (written) {
        int sync = open(temporary.c_str(), O_RDONLY);
        written = sync >= 0 && fsync(sync) == 0;
        if (sync >= 0) close(sync);
    }
    if (!written || rename(temporary.c_str(), kKeytab) != 0) {
        unlink(temporary.c_str());
        answer["error"] = "unable to write the keytab '" + std::string(kKeytab) + "'";
        return kAccessDenied;
    }
    return 0;
}

}  // namespace sambahelper
