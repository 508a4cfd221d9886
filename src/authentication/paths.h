#ifndef AUTHENTICATION_PATHS_H
#define AUTHENTICATION_PATHS_H

// Every fixed path of the library in one place. The library has no other way to be pointed
// elsewhere: tests run it in private mount namespaces instead.

namespace ostrel {
namespace authentication {
namespace paths {

constexpr char const kConfigurationDirectory[] = "/etc/ostrel/tslauth";
constexpr char const kRecordFile[] = "/etc/ostrel/tslauth/authentication.conf";
constexpr char const kProviderFile[] = "/etc/ostrel/tslauth/provider.conf";
constexpr char const kQAPProviderFile[] = "/etc/ostrel/tslauth/qapprovider.conf";
constexpr char const kQAPServersFile[] = "/etc/ostrel/tslauth/qapservers.conf";
constexpr char const kPluginDirectory[] = "/usr/libexec/tslauth/";
constexpr char const kPAMFile[] = "/etc/pam.d/system-auth-generic";
constexpr char const kPAMServiceName[] = "system-auth-generic";
constexpr char const kPAMModuleDirectory[] = "/lib/security/$ISA/";
constexpr char const kReplacedPAMModule[] = "/lib/security/$ISA/pam_zodad.so";
constexpr char const kAccessPAMModule[] = "/lib/security/$ISA/pam_access.so";
constexpr char const kPermitPAMModule[] = "/lib/security/$ISA/pam_tslauth_permit.so";
constexpr char const kPermitPAMModuleName[] = "pam_tslauth_permit.so";
constexpr char const kPermitPAMControl[] =
    "[success=ok ignore=ignore module_unknown=ignore default=die]";
constexpr char const kLoginPermissionsFile[] = "/etc/ostrel/tslauth/login-permissions.conf";
constexpr char const kHostsFile[] = "/etc/hosts";
constexpr char const kResolverFile[] = "/etc/resolv.conf";

}  // namespace paths
}  // namespace authentication
}  // namespace ostrel

#endif
