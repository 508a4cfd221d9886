#include "directory_model.h"

#include <arpa/inet.h>

#include <set>

#include "failure.h"
#include "names.h"

namespace demodirectory {

namespace {

using Line = DirectoryDocument::Line;

bool IsDigits(std::string const& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "S-1-" followed by decimal numbers joined by "-".
bool IsSid(std::string const& text) {
    if (text.compare(0, 4, "S-1-") != 0) return false;
    std::size_t start = 4;
    while (true) {
        std::size_t const dash = text.find('-', start);
        if (!IsDigits(text.substr(start, dash == std::string::npos ? dash : dash - start))) {
            return false;
        }
        if (dash == std::string::npos) return true;
        start = dash + 1;
    }
}

bool IsNetbiosName(std::string const& text) {
    if (text.empty() || text.size() > 15) return false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '.' || c == '\\' || c == '/' || c == '@') return false;
    }
    return true;
}

bool IsAccountName(std::string const& text) {
    try {
        return text.find('.') == std::string::npos && !AccountNameFor(text).empty();
    } catch (Failure const&) {
        return false;
    }
}

// Reads the lines of the document into a Directory, section by section.
class Reader {
public:
    explicit Reader(std::string const& path) : path(path) {}

    Directory Read(DirectoryDocument const& document) {
        for (Line const& line : document.Lines()) {
            if (line.kind == Line::kHeader) {
                FinishSection();
                StartSection(line);
            } else if (line.kind == Line::kEntry) {
                Entry(line);
            }
        }
        FinishSection();
        CheckReferences();
        return directory;
    }

private:
    [[noreturn]] void Fault(int line, std::string const& what) const {
        throw Failure(kInternalError, path + ":" + std::to_string(line) + ": " + what);
    }

    void StartSection(Line const& line) {
        kind = line.first;
        sectionLine = line.number;
        seen.clear();
        bool const named = !line.second.empty();
        if (kind == "domain") {
            if (!named) Fault(line.number, "a [domain] section needs the domain's DNS name");
            if (line.second.find_first_of(" \t") != std::string::npos) {
                Fault(line.number, "malformed domain name \"" + line.second + "\"");
            }
            directory.domains.push_back(DomainRecord{
                line.second, "", "", {}, "CN=Computers", kTrustStateTrusted, {}, {}, {}, 0, 0});
            return;
        }
        if (kind != "directory" && kind != "host" && kind != "proxy") {
            Fault(line.number, "unknown section [" + kind + "]");
        }
        if (named) Fault(line.number, "the [" + kind + "] section takes no name");
        if (!singletons.insert(kind).second) Fault(line.number, "second [" + kind + "] section");
        if (kind == "proxy") directory.proxy.present = true;
    }

    void Entry(Line const& line) {
        if (kind.empty()) Fault(line.number, "\"" + line.first + "\" outside of any section");
        bool const repeatable =
            kind == "domain" && (line.first == "trust" || line.first == "join-account" ||
                                 line.first == "computer" || line.first == "bad-passwords");
        if (!repeatable && !seen.insert(line.first).second) {
            Fault(line.number, "\"" + line.first + "\" given twice in [" + kind + "]");
        }
        if (kind == "directory") {
            DirectoryEntry(line);
        } else if (kind == "domain") {
            DomainEntry(line, directory.domains.back());
        } else if (kind == "host") {
            HostEntry(line);
        } else {
            ProxyEntry(line);
        }
    }

    [[noreturn]] void UnknownKey(Line const& line) const {
        Fault(line.number, "unknown key \"" + line.first + "\" in [" + kind + "]");
    }

    void DirectoryEntry(Line const& line) {
        if (line.first != "unresponsive") UnknownKey(line);
        if (line.second != "yes" && line.second != "no") {
            Fault(line.number, "unresponsive must be yes or no");
        }
        directory.unresponsive = line.second == "yes";
    }

    void DomainEntry(Line const& line, DomainRecord& domain) {
        std::string const& key = line.first;
        std::string const& value = line.second;
        std::vector<std::string> const words = Words(value);
        if (key == "netbios-name") {
            if (!IsNetbiosName(value)) Fault(line.number, "malformed NetBIOS name");
            domain.netbiosName = value;
        } else if (key == "sid") {
            if (!IsSid(value)) Fault(line.number, "malformed SID \"" + value + "\"");
            domain.sid = value;
        } else if (key == "controllers") {
            domain.controllers = words;
        } else if (key == "default-container") {
            if (value.empty()) Fault(line.number, "empty default-container");
            domain.defaultContainer = value;
        } else if (key == "trust-state") {
            if (!IsDigits(value) || value.size() > 10 || std::stoull(value) > 0xFFFFFFFFull) {
                Fault(line.number, "trust-state must be a number");
            }
            domain.trustState = static_cast<std::uint32_t>(std::stoull(value));
        } else if (key == "trust") {
            Trust(line, words, domain);
        } else if (key == "join-account") {
            std::pair<std::string, std::string> const parts = SplitFirstWord(value);
            if (parts.first.empty() || parts.second.empty()) {
                Fault(line.number, "join-account needs a name and a password");
            }
            domain.joinAccounts.push_back({parts.first, parts.second, 0});
        } else if (key == "lockout-threshold") {
            if (!IsDigits(value) || value.size() > 6) {
                Fault(line.number, "lockout-threshold must be a number");
            }
            domain.lockoutThreshold = static_cast<unsigned>(std::stoul(value));
        } else if (key == "busy-joins") {
            if (!IsDigits(value) || value.size() > 6)
                Fault(line.number, "busy-joins must be a number");
            domain.busyJoins = static_cast<unsigned>(std::stoul(value));
        } else if (key == "bad-passwords") {
            BadPasswords(line, words, domain);
        } else if (key == "computer") {
            Computer(line, domain);
        } else {
            UnknownKey(line);
        }
    }

    void Trust(Line const& line, std::vector<std::string> const& words, DomainRecord& domain) {
        if (words.size() != 3) {
            Fault(line.number, "trust needs a DNS name, a NetBIOS name and a direction");
        }
        std::uint32_t relationship = 0;
        if (words[2] == "inbound") {
            relationship = kTrustInbound;
        } else if (words[2] == "outbound") {
            relationship = kTrustOutbound;
        } else if (words[2] == "two-way") {
            relationship = kTrustInbound | kTrustOutbound;
        } else {
            Fault(line.number, "trust direction must be inbound, outbound or two-way");
        }
        if (!IsNetbiosName(words[1])) Fault(line.number, "malformed NetBIOS name");
        domain.trusts.push_back({words[0], words[1], relationship});
    }

    // Written by the provider after the join-account line it counts for.
    void BadPasswords(Line const& line, std::vector<std::string> const& words,
                      DomainRecord& domain) {
        if (words.size() != 2 || !IsDigits(words[1]) || words[1].size() > 6) {
            Fault(line.number, "bad-passwords needs an account name and a number");
        }
        for (JoinAccountRecord& account : domain.joinAccounts) {
            if (EqualNoCase(account.name, words[0])) {
                account.badPasswords = static_cast<unsigned>(std::stoul(words[1]));
                return;
            }
        }
        Fault(line.number, "bad-passwords for \"" + words[0] + "\", which is no join-account");
    }

    void Computer(Line const& line, DomainRecord& domain) {
        std::pair<std::string, std::string> const name = SplitFirstWord(line.second);
        std::pair<std::string, std::string> const rest = SplitFirstWord(name.second);
        if (name.first.empty() || rest.first.empty() || rest.second.empty()) {
            Fault(line.number, "computer needs a name, a password and a distinguished name");
        }
        if (!IsAccountName(name.first)) {
            Fault(line.number, "malformed computer name \"" + name.first + "\"");
        }
        if (domain.FindComputer(name.first) != nullptr) {
            Fault(line.number, "second computer account \"" + name.first + "\"");
        }
        domain.computers.push_back({name.first, rest.first, rest.second});
    }

    void HostEntry(Line const& line) {
        HostRecord& host = directory.host;
        if (line.first == "domain") {
            host.domain = line.second;
            hostDomainLine = line.number;
        } else if (line.first == "machine-account") {
            host.machineAccount = line.second;
            machineAccountLine = line.number;
        } else if (line.first == "preferred-controllers") {
            host.preferredControllers = Words(line.second);
        } else if (line.first == "smart-card-services") {
            host.smartCardServices = Words(line.second);
        } else {
            UnknownKey(line);
        }
    }

    void ProxyEntry(Line const& line) {
        ProxyRecord& proxy = directory.proxy;
        if (line.first == "address") {
            in_addr address;
            if (inet_pton(AF_INET, line.second.c_str(), &address) != 1) {
                Fault(line.number, "the proxy's address must be an IPv4 address");
            }
            proxy.address = line.second;
        } else if (line.first == "domain") {
            proxy.domain = line.second;
            proxyDomainLine = line.number;
        } else if (line.first == "certificate") {
            proxy.certificate = line.second;
        } else {
            UnknownKey(line);
        }
    }

    void FinishSection() {
        if (kind == "domain") {
            DomainRecord const& domain = directory.domains.back();
            if (domain.netbiosName.empty() || domain.sid.empty()) {
                Fault(sectionLine, "[domain " + domain.dnsName + "] needs netbios-name and sid");
            }
            for (std::size_t i = 0; i + 1 < directory.domains.size(); ++i) {
                DomainRecord const& other = directory.domains[i];
                if (EqualNoCase(other.dnsName, domain.dnsName) ||
                    EqualNoCase(other.netbiosName, domain.netbiosName)) {
                    Fault(sectionLine,
                          "second domain named " + domain.dnsName + " or " + domain.netbiosName);
                }
            }
        } else if (kind == "proxy") {
            ProxyRecord const& proxy = directory.proxy;
            if (proxy.address.empty() || proxy.domain.empty() || proxy.certificate.empty()) {
                Fault(sectionLine, "[proxy] needs address, domain and certificate");
            }
        }
        kind.clear();
    }

    void CheckReferences() {
        HostRecord& host = directory.host;
        if (!host.domain.empty()) {
            DomainRecord const* domain = directory.FindDomain(host.domain);
            if (domain == nullptr) Fault(hostDomainLine, "unknown domain \"" + host.domain + "\"");
            host.domain = domain->dnsName;
            if (host.machineAccount.empty()) {
                Fault(hostDomainLine, "a joined host needs its machine-account");
            }
        } else if (!host.machineAccount.empty()) {
            Fault(machineAccountLine, "machine-account without the host's domain");
        }
        ProxyRecord& proxy = directory.proxy;
        if (proxy.present) {
            DomainRecord const* domain = directory.FindDomain(proxy.domain);
            if (domain == nullptr)
                Fault(proxyDomainLine, "unknown domain \"" + proxy.domain + "\"");
            proxy.domain = domain->dnsName;
        }
    }

    std::string const path;
    Directory directory;
    std::string kind;  // of the current section; empty before the first
    int sectionLine = 0;
    std::set<std::string> seen;        // keys of the current section
    std::set<std::string> singletons;  // sections that may appear once
    int hostDomainLine = 0;
    int machineAccountLine = 0;
    int proxyDomainLine = 0;
};

}  // namespace

ComputerRecord const* DomainRecord::FindComputer(std::string const& name) const {
    for (ComputerRecord const& computer : computers) {
        if (EqualNoCase(computer.name, name)) return &computer;
    }
    return nullptr;
}

ComputerRecord const* DomainRecord::FindComputerByDN(std::string const& name) const {
    for (ComputerRecord const& computer : computers) {
        if (EqualNoCase(computer.distinguishedName, name)) return &computer;
    }
    return nullptr;
}

JoinAccountRecord const* DomainRecord::FindJoinAccount(std::string const& userName) const {
    std::string user = userName;
    std::size_t const backslash = userName.find('\\');
    std::size_t const at = userName.rfind('@');
    if (backslash != std::string::npos) {
        if (!EqualNoCase(userName.substr(0, backslash), netbiosName)) return nullptr;
        user = userName.substr(backslash + 1);
    } else if (at != std::string::npos) {
        if (!EqualNoCase(userName.substr(at + 1), dnsName)) return nullptr;
        user = userName.substr(0, at);
    }
    for (JoinAccountRecord const& account : joinAccounts) {
        if (EqualNoCase(account.name, user)) return &account;
    }
    return nullptr;
}

TrustRecord const* DomainRecord::FindTrust(std::string const& name) const {
    for (TrustRecord const& trust : trusts) {
        if (EqualNoCase(trust.dnsName, name) || EqualNoCase(trust.netbiosName, name)) {
            return &trust;
        }
    }
    return nullptr;
}

Directory Directory::From(DirectoryDocument const& document, std::string const& path) {
    return Reader(path).Read(document);
}

DomainRecord const* Directory::FindDomain(std::string const& name) const {
    for (DomainRecord const& domain : domains) {
        if (EqualNoCase(domain.dnsName, name) || EqualNoCase(domain.netbiosName, name)) {
            return &domain;
        }
    }
    return nullptr;
}

DomainRecord const* Directory::JoinedDomain() const {
    return host.domain.empty() ? nullptr : FindDomain(host.domain);
}

std::uint32_t Directory::TrustState() const {
    DomainRecord const* domain = JoinedDomain();
    if (domain == nullptr) return kTrustStateNotJoined;
    if (domain->FindComputerByDN(host.machineAccount) == nullptr) return kTrustStateBroken;
    return domain->trustState;
}

}  // namespace demodirectory
