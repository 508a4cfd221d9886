#include "names.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "directory_model.h"
#include "failure.h"

namespace demodirectory {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// "CN=Computers" or "OU=Linux,OU=Hosts": components of a non-empty attribute and value.
bool IsRelativeName(std::string const& text) {
    std::size_t start = 0;
    while (true) {
        std::size_t const comma = text.find(',', start);
        std::string const component =
            Trim(text.substr(start, comma == std::string::npos ? comma : comma - start));
        std::size_t const equals = component.find('=');
        if (equals == std::string::npos || Trim(component.substr(0, equals)).empty() ||
            Trim(component.substr(equals + 1)).empty()) {
            return false;
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool EndsWithNoCase(std::string const& text, std::string const& end) {
    return text.size() >= end.size() && EqualNoCase(text.substr(text.size() - end.size()), end);
}

}  // namespace

bool EqualNoCase(std::string const& a, std::string const& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string Trim(std::string const& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::vector<std::string> Words(std::string const& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (!IsBlank(c)) {
            word += c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

std::string JoinWords(std::vector<std::string> const& words) {
    std::string text;
    for (std::string const& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::pair<std::string, std::string> SplitFirstWord(std::string const& text) {
    std::string const trimmed = Trim(text);
    std::size_t end = 0;
    while (end < trimmed.size() && !IsBlank(trimmed[end])) ++end;
    return {trimmed.substr(0, end), Trim(trimmed.substr(end))};
}

std::string AccountNameFor(std::string const& hostName) {
    std::string const name = Upper(hostName.substr(0, hostName.find('.')));
    if (name.empty() || name.size() > 15 || name.front() == '-') Refuse(kInvalidComputerName);
    for (char c : name) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) {
            Refuse(kInvalidComputerName);
        }
    }
    return name;
}

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        throw Failure(kInternalError, std::string("gethostname: ") + std::strerror(errno));
    }
    return name;
}

std::string DomainDistinguishedName(std::string const& dnsName) {
    std::string name;
    std::size_t start = 0;
    while (true) {
        std::size_t const dot = dnsName.find('.', start);
        name += (name.empty() ? "DC=" : ",DC=") +
                dnsName.substr(start, dot == std::string::npos ? dot : dot - start);
        if (dot == std::string::npos) return name;
        start = dot + 1;
    }
}

std::string ContainerDistinguishedName(char const* container, DomainRecord const& domain) {
    std::string const domainName = DomainDistinguishedName(domain.dnsName);
    std::string relative = Trim(
        container != nullptr && *container != '\0' ? container : domain.defaultContainer.c_str());
    for (char c : relative) {
        if (static_cast<unsigned char>(c) < 0x20) Refuse(kInvalidContainer);
    }
    if (relative.find('=') == std::string::npos) {
        // A path of organisational units, outermost first.
        std::string name;
        std::size_t start = 0;
        while (true) {
            std::size_t const slash = relative.find('/', start);
            std::string const unit =
                Trim(relative.substr(start, slash == std::string::npos ? slash : slash - start));
            if (unit.empty() || unit.find_first_of(",=") != std::string::npos) {
                Refuse(kInvalidContainer);
            }
            name = "OU=" + unit + (name.empty() ? "" : "," + name);
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        relative = name;
    }
    if (!IsRelativeName(relative)) Refuse(kInvalidContainer);
    if (EqualNoCase(relative, domainName) || EndsWithNoCase(relative, "," + domainName)) {
        return relative;
    }
    return relative + "," + domainName;
}

std::string CommonName(std::string const& distinguishedName) {
    if (distinguishedName.size() < 3 || !EqualNoCase(distinguishedName.substr(0, 3), "CN=")) {
        return "";
    }
    return distinguishedName.substr(3, distinguishedName.find(',') - 3);
}

std::string RandomPassword() {
    unsigned char bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t const count = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            throw Failure(kInternalError, std::string("getrandom: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(count);
    }
    static char const digits[] = "0123456789abcdef";
    std::string password;
    for (unsigned char byte : bytes) {
        password += digits[byte >> 4];
        password += digits[byte & 0xF];
    }
    return password;
}

}  // namespace demodirectory
