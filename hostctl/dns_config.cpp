#include <hostctl/dns_config.h>
#include <hostctl/hostctl_exception.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "paths.h"
#include "system_files.h"

namespace QuorCtl {
namespace Network {

namespace {

namespace Files = HostCtl::Files;

constexpr char const kStackName[] = "defaultTcpipStack";
constexpr std::size_t kMaximumNameLength = 253;
constexpr std::size_t kMaximumLabelLength = 63;

// Without regard to ASCII case or a final dot, as the resolver sees names.
bool SameDomain(std::string a, std::string b) {
    if (!a.empty() && a.back() == '.') a.pop_back();
    if (!b.empty() && b.back() == '.') b.pop_back();
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}

bool Contains(std::vector<std::string> const& domains, std::string const& domain) {
    for (std::string const& listed : domains) {
        if (SameDomain(listed, domain)) return true;
    }
    return false;
}

// One name of the search list: anything else would break the line it goes on, or add a line.
bool IsSearchDomain(std::string const& domain) {
    std::string name = domain;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name.empty() || name.size() > kMaximumNameLength) return false;
    std::size_t label = 0;
    for (char c : name) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return false;
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (++label > kMaximumLabelLength) {
            return false;
        }
    }
    return label != 0;
}

// The resolver takes a keyword only at the very start of a line and followed by a blank.
bool IsKeywordLine(std::string const& line, char const* keyword) {
    std::size_t length = std::strlen(keyword);
    return line.compare(0, length, keyword) == 0 && line.size() > length &&
           (line[length] == ' ' || line[length] == '\t');
}

std::vector<std::string> Words(std::string const& text) {
    std::istringstream stream(text);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word) words.push_back(word);
    return words;
}

std::string Joined(std::vector<std::string> const& words) {
    std::string text;
    for (std::string const& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

DnsConfigImpl::DnsConfigImpl(std::string const& stackName) {
    if (stackName != kStackName)
        Files::ThrowSystemError("Unknown network stack", stackName, EINVAL);
}

DnsConfigImpl::~DnsConfigImpl() = default;

void DnsConfigImpl::AddSearchDomain(std::string const& domain) {
    if (!IsSearchDomain(domain)) {
        std::string message = "Invalid search domain '" + domain + "' for '" +
                              HostCtl::Paths::kResolverConfiguration +
                              "': " + std::strerror(EINVAL);
        throw HostCtl::Lib::HostCtlException(message.c_str());
    }
    if (!Contains(pendingDomains, domain)) pendingDomains.push_back(domain);
}

void DnsConfigImpl::SaveConfig() {
    if (pendingDomains.empty()) return;
    Files::EditLock lock(HostCtl::Paths::kResolverConfigurationLock);
    std::string const target = Files::ResolveLinks(HostCtl::Paths::kResolverConfiguration);
    std::string const old = Files::ReadIfPresent(target).value_or(std::string());
    std::vector<std::string> lines = Files::SplitLines(old);

    // Of several "search" and "domain" lines the resolver obeys the last; "domain" names a
    // search list of one.
    std::size_t decisive = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (IsKeywordLine(lines[i], "search") || IsKeywordLine(lines[i], "domain")) decisive = i;
    }
    std::vector<std::string> listed;
    bool isSearchLine = false;
    if (decisive < lines.size()) {
        isSearchLine = IsKeywordLine(lines[decisive], "search");
        char const* keyword = isSearchLine ? "search" : "domain";
        listed = Words(lines[decisive].substr(std::strlen(keyword)));
        // The resolver takes only the first word of a "domain" line.
        if (!isSearchLine && listed.size() > 1) listed.resize(1);
    }

    std::vector<std::string> missing;
    for (std::string const& domain : pendingDomains) {
        if (!Contains(listed, domain)) missing.push_back(domain);
    }
    if (missing.empty()) {
        pendingDomains.clear();
        return;
    }

    if (decisive < lines.size() && isSearchLine) {
        std::string& line = lines[decisive];
        bool ended = line.back() == '\n';
        line.erase(line.find_last_not_of(" \t\r\n") + 1);
        line += " " + Joined(missing) + (ended ? "\n" : "");
    } else {
        // A new search line after the decisive "domain" line (kept, with its domain at the
        // head of the list so that the list keeps it) or at the end.
        std::size_t at = decisive < lines.size() ? decisive + 1 : lines.size();
        if (at > 0 && lines[at - 1].back() != '\n') lines[at - 1] += "\n";
        listed.insert(listed.end(), missing.begin(), missing.end());
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
                     "search " + Joined(listed) + "\n");
    }
    std::string content;
    for (std::string const& line : lines) content += line;
    Files::Replace(target, content);
    pendingDomains.clear();
}

}  // namespace Network
}  // namespace QuorCtl
