#ifndef TSLAUTH_PROXYD_CONFIG_H
#define TSLAUTH_PROXYD_CONFIG_H

// The service's configuration file: "key = value" lines, "#" comment lines.
#include <stdexcept>
#include <string>

#include "allow_list.h"

namespace proxyd {

inline char const kDefaultConfigPath[] = "/etc/tslauth-proxyd/proxyd.conf";
inline char const kDefaultHelper[] = "/usr/libexec/tslauth/lib/tslauth-samba-helper";
inline int const kDefaultPort = 9443;

struct ProxyConfig {
    std::string listenAddress = "0.0.0.0";
    int listenPort = kDefaultPort;
    std::string certificate;
    std::string privateKey;
    std::string domain;
    std::string user;
    std::string password;
    std::string container;  // empty: the domain's default container for computers
    AllowList allow;
    int dcTimeoutSeconds = 30;
    int workers = 8;
    std::string helper = kDefaultHelper;
};

// Its message says which file (and line) and what is wrong, ready for the operator.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `source` names the text in messages ("SOURCE:LINE: ...").
ProxyConfig ParseConfig(std::string const& text, std::string const& source);

// Reads and parses the file, which must be a regular file owned by root that group and
// other users cannot access (it holds the enrolment account's password).
ProxyConfig LoadConfig(std::string const& path);

// Throws ConfigError unless the service's private key is a regular file that group and other
// users cannot access.
void CheckPrivateKey(std::string const& path);

}  // namespace proxyd

#endif
