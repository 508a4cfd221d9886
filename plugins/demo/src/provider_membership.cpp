// Joining and leaving: the operations that change the host's membership.
#include "answer.h"
#include "directory_file.h"
#include "names.h"
#include "provider_slots.h"

namespace demodirectory {

namespace {

// A wrong or missing user name or password is a logon failure, as a directory reports it.
// Under a lockout threshold each wrong password of a join account is counted in the file
// and a right one clears the count; an account at the threshold is locked out, whatever
// password it is given. Returns the status; `changed` tells whether the file must be
// written (also when the status is a refusal, so that the count stays).
std::uint32_t CheckJoinAccount(DirectoryDocument& document, Credentials const& credentials,
                               DomainRecord const& domain, bool& changed) {
    changed = false;
    if (credentials.userName == nullptr || credentials.password == nullptr) return kLogonFailure;
    JoinAccountRecord const* account = domain.FindJoinAccount(credentials.userName);
    if (account == nullptr) return kLogonFailure;
    unsigned const threshold = domain.lockoutThreshold;
    if (threshold != 0 && account->badPasswords >= threshold) return kAccountLockedOut;
    bool const right = account->password == credentials.password;
    if (threshold == 0 || (right && account->badPasswords == 0)) {
        return right ? kSuccess : kLogonFailure;
    }
    std::string const name = account->name;
    document.Remove("domain", domain.dnsName, "bad-passwords", [&](std::string const& value) {
        return EqualNoCase(SplitFirstWord(value).first, name);
    });
    if (!right) {
        document.Add("domain", domain.dnsName, "bad-passwords",
                     name + " " + std::to_string(account->badPasswords + 1));
    }
    changed = true;
    return right ? kSuccess : kLogonFailure;
}

void RecordMembership(DirectoryDocument& document, DomainRecord const& domain,
                      std::string const& machineAccount) {
    document.Set("host", "", "domain", domain.dnsName);
    document.Set("host", "", "machine-account", machineAccount);
}

}  // namespace

ADStatus JoinDomain(char const* domain, char const* computerContainer,
                    Credentials const* credentials) {
    return Answer("JoinDomain", [&] {
        if (domain == nullptr || credentials == nullptr) Refuse(kInvalidParameter);
        std::uint32_t refused = kSuccess;
        UpdateDirectory([&](DirectoryDocument& document, Directory const& directory) {
            if (directory.unresponsive) Refuse(kNoSuchDomain);
            DomainRecord const* joined = directory.FindDomain(domain);
            if (joined == nullptr) Refuse(kNoSuchDomain);
            if (directory.JoinedDomain() != nullptr) Refuse(kAlreadyJoined);
            // A busy directory answers the next joins with a transient status, counted down.
            if (joined->busyJoins != 0) {
                document.Set("domain", joined->dnsName, "busy-joins",
                             std::to_string(joined->busyJoins - 1));
                refused = kBusy;
                return true;
            }
            bool counted = false;
            refused = CheckJoinAccount(document, *credentials, *joined, counted);
            if (refused != kSuccess) return counted;
            std::string const account = AccountNameFor(LocalHostName());
            std::string const dn =
                "CN=" + account + "," + ContainerDistinguishedName(computerContainer, *joined);
            if (joined->FindComputer(account) != nullptr) Refuse(kAlreadyJoined);
            document.Add("domain", joined->dnsName, "computer",
                         account + " " + RandomPassword() + " " + dn);
            RecordMembership(document, *joined, dn);
            return true;
        });
        if (refused != kSuccess) Refuse(refused);
    });
}

ADStatus PartDomain(Credentials const* credentials) {
    return Answer("PartDomain", [&] {
        std::uint32_t refused = kSuccess;
        UpdateDirectory([&](DirectoryDocument& document, Directory const& directory) {
            DomainRecord const* joined = directory.JoinedDomain();
            if (joined == nullptr) Refuse(kNotJoined);
            // With credentials the computer account goes too, which needs the directory;
            // without, only the host forgets its membership.
            if (credentials != nullptr) {
                if (directory.unresponsive) Refuse(kNoSuchDomain);
                bool counted = false;
                refused = CheckJoinAccount(document, *credentials, *joined, counted);
                if (refused != kSuccess) return counted;
                ComputerRecord const* computer =
                    joined->FindComputerByDN(directory.host.machineAccount);
                if (computer != nullptr) {
                    std::string const name = computer->name;
                    document.Remove("domain", joined->dnsName, "computer",
                                    [&](std::string const& value) {
                                        return EqualNoCase(SplitFirstWord(value).first, name);
                                    });
                }
            }
            document.Remove("host", "", "domain");
            document.Remove("host", "", "machine-account");
            document.Remove("host", "", "preferred-controllers");
            return true;
        });
        if (refused != kSuccess) Refuse(refused);
    });
}

ADStatus JoinDomainWithMachineAccount(ADDirectoryDomainInfo const* domain,
                                      ADMachineAccountInfo const* account) {
    return Answer("JoinDomainWithMachineAccount", [&] {
        if (domain == nullptr || account == nullptr || domain->netBIOSDomainName == nullptr ||
            domain->dnsDomainName == nullptr || domain->domainSID == nullptr ||
            account->hostName == nullptr || account->dnsDomainName == nullptr ||
            account->accountData1 == nullptr || account->accountData2 == nullptr) {
            Refuse(kInvalidParameter);
        }
        UpdateDirectory([&](DirectoryDocument& document, Directory const& directory) {
            if (directory.unresponsive) Refuse(kNoSuchDomain);
            DomainRecord const* joined = directory.FindDomain(domain->dnsDomainName);
            if (joined == nullptr || !EqualNoCase(joined->dnsName, domain->dnsDomainName)) {
                Refuse(kNoSuchDomain);
            }
            if (!EqualNoCase(joined->netbiosName, domain->netBIOSDomainName) ||
                !EqualNoCase(joined->sid, domain->domainSID) ||
                !EqualNoCase(joined->dnsName, account->dnsDomainName)) {
                Refuse(kDomainTrustInconsistent);
            }
            if (directory.JoinedDomain() != nullptr) Refuse(kAlreadyJoined);
            // The account data is what the proxy handed out: the account's name with "$",
            // then its password.
            std::string const name = AccountNameFor(account->hostName);
            ComputerRecord const* computer = joined->FindComputer(name);
            if (computer == nullptr || !EqualNoCase(account->accountData1, name + "$")) {
                Refuse(kNoTrustSAMAccount);
            }
            if (computer->password != account->accountData2) Refuse(kInvalidPassword);
            RecordMembership(document, *joined, computer->distinguishedName);
            return true;
        });
    });
}

}  // namespace demodirectory
