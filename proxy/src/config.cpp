#include "config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "host_name.h"

namespace proxyd {

namespace {

std::size_t const kMaxConfigBytes = 64 * 1024;

std::string Trim(std::string const& text) {
    std::size_t const first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    std::size_t const last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A decimal number from `low` to `high`; false for anything else (signs, blanks, overflow).
bool ParseNumber(std::string const& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    int const number = std::stoi(text);
    if (number < low || number > high) return false;
    value = number;
    return true;
}

// "ADDRESS", "ADDRESS:PORT", "[IPV6]" or "[IPV6]:PORT".
bool ParseListen(std::string const& text, std::string& address, int& port) {
    std::string host = text;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        std::size_t const close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        std::string const rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            portText = rest.substr(1);
            if (portText.empty()) return false;
        }
        in6_addr v6 = {};
        if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) return false;
    } else {
        std::size_t const colon = text.find(':');
        if (colon != std::string::npos) {
            host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            if (portText.empty()) return false;
        }
        in_addr v4 = {};
        if (inet_pton(AF_INET, host.c_str(), &v4) != 1) return false;
    }
    int number = kDefaultPort;
    if (!portText.empty() && !ParseNumber(portText, 1, 65535, number)) return false;
    address = host;
    port = number;
    return true;
}

}  // namespace

ProxyConfig ParseConfig(std::string const& text, std::string const& source) {
    ProxyConfig config;
    std::set<std::string> seen;
    std::size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string const line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        std::string const where = source + ":" + std::to_string(lineNumber) + ": ";
        std::size_t const equals = line.find('=');
        if (equals == std::string::npos) throw ConfigError(where + "expected 'key = value'");
        std::string const key = Trim(line.substr(0, equals));
        std::string const value = Trim(line.substr(equals + 1));
        auto bad = [&](std::string const& what) {
            return ConfigError(where + key + ": '" + value + "' is not " + what);
        };
        if (value.empty()) throw ConfigError(where + key + ": no value");
        if (key != "allow" && !seen.insert(key).second) {
            throw ConfigError(where + key + ": set twice");
        }
        std::string why;
        if (key == "listen") {
            if (!ParseListen(value, config.listenAddress, config.listenPort)) {
                throw bad("ADDRESS:PORT (such as 0.0.0.0:9443 or [::]:9443)");
            }
        } else if (key == "certificate" || key == "private-key" || key == "helper") {
            if (value[0] != '/') throw bad("an absolute path");
            (key == "certificate"   ? config.certificate
             : key == "private-key" ? config.privateKey
                                    : config.helper) = value;
        } else if (key == "domain") {
            if (!IsDnsName(value, why) || value.find('.') == std::string::npos) {
                throw bad("the DNS name of a domain (such as corp.example)");
            }
            config.domain = value;
        } else if (key == "user") {
            config.user = value;
        } else if (key == "password") {
            config.password = value;
        } else if (key == "container") {
            config.container = value;
        } else if (key == "allow") {
            AddressRange range;
            if (!ParseAddressRange(value, range, why)) throw ConfigError(where + "allow: " + why);
            config.allow.Add(range);
        } else if (key == "dc-timeout") {
            if (!ParseNumber(value, 1, 3600, config.dcTimeoutSeconds)) {
                throw bad("a number of seconds from 1 to 3600");
            }
        } else if (key == "workers") {
            if (!ParseNumber(value, 1, 256, config.workers)) throw bad("a number from 1 to 256");
        } else {
            throw ConfigError(where + "unknown setting '" + key + "'");
        }
    }
    for (char const* required : {"certificate", "private-key", "domain", "user", "password"}) {
        if (seen.count(required) == 0) {
            throw ConfigError(source + ": '" + required + "' is not set");
        }
    }
    return config;
}

ProxyConfig LoadConfig(std::string const& path) {
    int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw ConfigError(path + ": " + std::strerror(errno));
    struct stat status = {};
    std::string text;
    std::string problem;
    char mode[8];
    if (fstat(fd, &status) != 0) {
        problem = path + ": " + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        problem = path + " is not a regular file";
    } else if (status.st_uid != 0) {
        problem = path + " is owned by uid " + std::to_string(status.st_uid) +
                  ", not root; it holds the enrolment account's password: chown root " + path;
    } else if ((status.st_mode & 077) != 0) {
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        problem = path + " has mode " + mode +
                  "; it holds the enrolment account's password, so group and other users must "
                  "have no access: chmod 600 " +
                  path;
    } else if (static_cast<std::size_t>(status.st_size) > kMaxConfigBytes) {
        problem = path + " is larger than 64 KiB";
    }
    char buffer[4096];
    while (problem.empty()) {
        ssize_t const n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) problem = path + ": " + std::strerror(errno);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxConfigBytes) problem = path + " is larger than 64 KiB";
    }
    close(fd);
    if (!problem.empty()) throw ConfigError(problem);
    return ParseConfig(text, path);
}

}  // namespace proxyd

namespace proxyd {

void CheckPrivateKey(std::string const& path) {
    int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw ConfigError("private key " + path + ": " + std::strerror(errno));
    struct stat status = {};
    int const statted = fstat(fd, &status);
    int const error = errno;
    close(fd);
    if (statted != 0) throw ConfigError("private key " + path + ": " + std::strerror(error));
    if (!S_ISREG(status.st_mode))
        throw ConfigError("private key " + path + " is not a regular file");
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        throw ConfigError("private key " + path + " has mode " + mode +
                          "; whoever reads it can pass for the service: chmod 600 " + path);
    }
}

}  // namespace proxyd
