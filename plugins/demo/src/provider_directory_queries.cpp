// Questions the host asks the directory on the caller's thread. While the directory is switched
// to unresponsive they fail at once (the library puts no time-out on them).
#include "answer.h"
#include "directory_file.h"
#include "names.h"
#include "provider_slots.h"

namespace demodirectory {

namespace {

Directory AnsweringDirectory() {
    Directory directory = ReadDirectory();
    if (directory.unresponsive) Refuse(kNoSuchDomain);
    return directory;
}

DomainRecord const& KnownDomain(Directory const& directory, char const* name) {
    DomainRecord const* domain = directory.FindDomain(name);
    if (domain == nullptr) Refuse(kNoSuchDomain);
    return *domain;
}

bool StartsWithNoCase(std::string const& text, std::string const& start) {
    return text.size() >= start.size() && EqualNoCase(text.substr(0, start.size()), start);
}

bool Contains(std::vector<std::string> const& names, std::string const& name) {
    for (std::string const& candidate : names) {
        if (EqualNoCase(candidate, name)) return true;
    }
    return false;
}

}  // namespace

ADStatus GetAnyDomainController(char const* qualifier, char const* domain, char** controller,
                                ADDeallocator* deallocator) {
    return Answer("GetAnyDomainController", [&] {
        if (domain == nullptr || controller == nullptr || deallocator == nullptr) {
            Refuse(kInvalidParameter);
        }
        Directory const directory = AnsweringDirectory();
        DomainRecord const& known = KnownDomain(directory, domain);
        // The host's preferred controllers of that domain first, then the domain's order.
        std::vector<std::string> candidates;
        if (directory.JoinedDomain() == &known) {
            for (std::string const& name : directory.host.preferredControllers) {
                if (Contains(known.controllers, name)) candidates.push_back(name);
            }
        }
        candidates.insert(candidates.end(), known.controllers.begin(), known.controllers.end());
        // A qualifier picks the controllers whose name begins with it.
        for (std::string const& name : candidates) {
            if (qualifier == nullptr || StartsWithNoCase(name, qualifier)) {
                *controller = Made(CopyString(name));
                *deallocator = FreeString;
                return;
            }
        }
        Refuse(kNoLogonServers);
    });
}

ADStatus ConvertCanonicalUsername(char const* name, char** canonical, ADDeallocator* deallocator) {
    return Answer("ConvertCanonicalUsername", [&] {
        if (name == nullptr || canonical == nullptr || deallocator == nullptr) {
            Refuse(kInvalidParameter);
        }
        Directory const directory = AnsweringDirectory();
        // "NETBIOS\user", "user@dns.name" or a bare "user" of the joined domain.
        std::string const text = name;
        std::size_t const backslash = text.find('\\');
        std::size_t const at = text.find('@');
        if (text.empty() || (backslash != std::string::npos && at != std::string::npos) ||
            text.find('\\', backslash + 1) != std::string::npos ||
            (at != std::string::npos && text.find('@', at + 1) != std::string::npos) ||
            text.find_first_of(" \t") != std::string::npos) {
            Refuse(kInvalidAccountName);
        }
        std::string user = text;
        std::string qualifier;
        if (backslash != std::string::npos) {
            user = text.substr(backslash + 1);
            qualifier = text.substr(0, backslash);
        } else if (at != std::string::npos) {
            user = text.substr(0, at);
            qualifier = text.substr(at + 1);
        }
        bool const qualified = backslash != std::string::npos || at != std::string::npos;
        if (user.empty() || (qualified && qualifier.empty())) Refuse(kInvalidAccountName);
        DomainRecord const* domain =
            qualified ? &KnownDomain(directory, qualifier.c_str()) : directory.JoinedDomain();
        if (domain == nullptr) Refuse(kNoSuchDomain);
        *canonical = Made(CopyString(domain->netbiosName + "\\" + user));
        *deallocator = FreeString;
    });
}

ADStatus GetHostPrincipalForDomain(char const* domain, char** principal,
                                   ADDeallocator* deallocator) {
    return Answer("GetHostPrincipalForDomain", [&] {
        if (domain == nullptr || principal == nullptr || deallocator == nullptr) {
            Refuse(kInvalidParameter);
        }
        Directory const directory = AnsweringDirectory();
        DomainRecord const& known = KnownDomain(directory, domain);
        if (directory.JoinedDomain() != &known) Refuse(kNoTrustSAMAccount);
        ComputerRecord const* computer = known.FindComputerByDN(directory.host.machineAccount);
        if (computer == nullptr) Refuse(kNoTrustSAMAccount);
        *principal = Made(CopyString(computer->name + "$@" + Upper(known.dnsName)));
        *deallocator = FreeString;
    });
}

}  // namespace demodirectory
