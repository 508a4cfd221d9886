#include "credentials_check.h"

#include <krb5.h>

#include <cstring>

#include "host_state.h"
#include "statuses.h"

namespace sambahelper {

uint32_t CheckCredentials(std::string const& user, std::string const& password,
                          std::string const& realm) {
    std::string name = user;
    std::size_t backslash = name.find('\\');
    if (backslash != std::string::npos) name.erase(0, backslash + 1);
    if (name.find('@') == std::string::npos) name += "@" + sambaprovider::Upper(realm);
    krb5_context context = nullptr;
    if (krb5_init_context(&context) != 0) return 0;
    krb5_principal principal = nullptr;
    uint32_t status = 0;
    if (krb5_parse_name(context, name.c_str(), &principal) != 0) {
        status = sambaprovider::kLogonFailure;
    } else {
        krb5_creds credentials;
        std::memset(&credentials, 0, sizeof credentials);
        krb5_error_code error =
            krb5_get_init_creds_password(context, &credentials, principal, password.c_str(),
                                         nullptr, nullptr, 0, nullptr, nullptr);
        switch (error) {
            case 0:
                krb5_free_cred_contents(context, &credentials);
                break;
            case KRB5KDC_ERR_PREAUTH_FAILED:
            case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
            case KRB5KRB_AP_ERR_BAD_INTEGRITY:
                status = sambaprovider::kLogonFailure;
                break;
            case KRB5KDC_ERR_CLIENT_REVOKED:
                status = sambaprovider::kAccountLockedOut;
                break;
            case KRB5KDC_ERR_KEY_EXP:
                status = 1330;
                break;
            default:
                break;
        }
        krb5_free_principal(context, principal);
    }
    krb5_free_context(context);
    return status;
}

}  // namespace sambahelper
