#include "host_name.h"

namespace proxyd {

namespace {

// ASCII only, whatever the locale.
bool LetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Names a domain controller refuses for a computer, or that would pass for one of the
// domain's own accounts or for a well-known principal.
char const* const kReservedNames[] = {
    "ADMINISTRATOR", "ANONYMOUS", "BATCH",   "BUILTIN", "DIALUP", "GUEST", "INTERACTIVE",
    "INTERNET",      "KRBTGT",    "LOCAL",   "NETWORK", "NULL",   "PROXY", "RESTRICTED",
    "SELF",          "SERVER",    "SERVICE", "SYSTEM",  "USERS",  "WORLD"};

}  // namespace

bool IsDnsName(std::string const& name, std::string& why) {
    if (name.empty() || name.size() > 253) {
        why = "a DNS name has 1 to 253 characters";
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t end = name.find('.', start);
        if (end == std::string::npos) end = name.size();
        std::string const label = name.substr(start, end - start);
        if (label.empty() || label.size() > 63) {
            why = "each label of a DNS name has 1 to 63 characters";
            return false;
        }
        for (char c : label) {
            if (!LetterOrDigit(c) && c != '-') {
                why = "a DNS name has only letters, digits, hyphens and dots";
                return false;
            }
        }
        if (label.front() == '-' || label.back() == '-') {
            why = "a label of a DNS name neither starts nor ends with a hyphen";
            return false;
        }
        if (end == name.size()) break;
        start = end + 1;
    }
    return true;
}

bool AccountNameForHost(std::string const& hostName, std::string& account, std::string& why) {
    if (!IsDnsName(hostName, why)) return false;
    std::string name = hostName.substr(0, hostName.find('.'));
    if (name.size() > 15) {
        why = "the first label of the host name ('" + name +
              "') is longer than a computer account name (15 characters)";
        return false;
    }
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (name.find_first_not_of("0123456789") == std::string::npos) {
        why = "a computer account name ('" + name + "') is not digits only";
        return false;
    }
    for (char const* reserved : kReservedNames) {
        if (name == reserved) {
            why = "'" + name + "' is a reserved name, not a computer's";
            return false;
        }
    }
    account = name;
    return true;
}

}  // namespace proxyd
