// Joining and leaving (through the join helper) and the preferred domain controllers.
#include <plugin_results.h>
#include <syslog.h>

#include <exception>
#include <string>
#include <vector>

#include "changed_files.h"
#include "domain_controllers.h"
#include "helper_client.h"
#include "host_changes.h"
#include "host_state.h"
#include "last_error.h"
#include "member_config.h"
#include "member_services.h"
#include "membership.h"
#include "slots.h"
#include "statuses.h"

namespace sambaprovider {

using pluginresults::CopyStrings;
using pluginresults::FreeStrings;

namespace {

bool Joined() {
    try {
        return CurrentMembership().joined;
    } catch (std::exception const&) {
        return false;
    }
}

// A join is complete once winbindd serves the domain; when it does not, the host's part of
// the join is undone (and the account, when this join's credentials made it on `madeOn`).
ADStatus FollowJoin(Fields const& request, std::string const& madeOn) {
    RecordDomainControllers();
    std::string why;
    ADStatus const status = StartMemberServices(&why);
    if (status == 0) return 0;
    Fields undo = {{"op", "leave"}};
    // A reused account was there before this join, and stays.
    auto const reuse = request.find("reuse-account");
    bool const reused = reuse != request.end() && reuse->second == "yes";
    bool const deletes = request.at("op") == "join" && !reused;
    if (deletes) {
        undo["user"] = request.at("user");
        undo["password"] = request.at("password");
        undo["made-on"] = madeOn;
    }
    Fields answer;
    ADStatus const undone = RunHelper(undo, answer);
    std::string text = why + "; the join is undone";
    if (undone != 0) {
        syslog(LOG_ERR, "Samba provider: undoing the join failed (%u): %s", undone,
               answer["error"].c_str());
        text += ", but not completely (" + answer["error"] + ")";
        if (deletes) text += ": the computer account this join made may remain in the domain";
    } else {
        text += answer["error"];  // the account it could not delete, if any
    }
    SetLastError(text);
    return status;
}

// The files a join wrote (smb.conf, the keytab of the new account) go back to what they were
// before it.
void RestoreFilesBeforeJoin(std::string const& savedConfig, SavedFile const& savedKeytab) {
    try {
        ConfigLock lock;
        RestoreMemberConfigText(savedConfig);
        RestoreFile(savedKeytab);
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "Samba provider: %s", error.what());
    }
}

// A join whose helper was stopped at its deadline (or crashed) may have left the host half
// joined: its configuration of a member without the machine secret, the secret without the
// services, a keytab of the new account. All go back to what they were before the join.
void UndoStoppedJoin(std::string const& savedConfig, SavedFile const& savedKeytab) {
    if (Joined()) {
        Fields leave = {{"op", "leave"}}, answer;
        ADStatus const left = RunHelper(leave, answer);
        if (left != 0) {
            syslog(LOG_ERR, "Samba provider: undoing the stopped join failed (%u): %s", left,
                   answer["error"].c_str());
        }
    }
    RestoreFilesBeforeJoin(savedConfig, savedKeytab);
}

// Runs the helper and notes what it changed on the host: what its answer says, or, when it
// gave none (killed at its deadline, crashed), what the files themselves show. Its words on a
// refusal go to the log and to the calling thread's last error.
ADStatus Run(char const* what, Fields const& request) {
    ClearLastError();
    std::string const op = request.at("op");
    // The services go before the membership: winbindd would go on using the machine secrets.
    bool const stopped = op == "leave" && Joined() && StopMemberServices();
    Fields answer;
    ChangedFiles const files(MembershipFiles());
    bool const joining = op == "join" || op == "offline-join";
    std::string const savedConfig = joining ? SaveMemberConfigText() : std::string();
    SavedFile const savedKeytab = joining ? SaveFile(kKeytab) : SavedFile();
    ADStatus status = RunHelper(request, answer);
    if (answer.count("status") == 0 && joining) {
        UndoStoppedJoin(savedConfig, savedKeytab);
        answer["error"] +=
            "; this host's part of the join was undone, but a computer account of its name may "
            "have been made on a domain controller before the join was stopped: check the "
            "domain, and delete that account there or join again with --reuse-account";
    }
    if (answer.count("status") != 0) {
        std::string const& lines = answer["changes"];
        std::size_t start = 0;
        while (start < lines.size()) {
            std::size_t end = lines.find('\n', start);
            if (end == std::string::npos) end = lines.size();
            NoteChange(lines.substr(start, end - start));
            start = end + 1;
        }
    } else {
        for (std::string const& change : files.Changes()) NoteChange(change);
    }
    if (status != 0 && !answer["error"].empty()) {
        syslog(LOG_WARNING, "Samba provider: %s failed (%u): %s", what, status,
               answer["error"].c_str());
        SetLastError(answer["error"]);
    }
    if (status == 0 && joining) {
        status = FollowJoin(request, answer["dc"]);
        // Undone, the join leaves the host's files as they were (the keytab's account is gone);
        // a host the undo left joined keeps the files that go with that.
        if (status != 0 && !Joined()) RestoreFilesBeforeJoin(savedConfig, savedKeytab);
    }
    // A leave the DC refused leaves the host joined, and its services as they were.
    if (status != 0 && stopped && Joined()) StartMemberServices();
    return status;
}

}  // namespace

ADStatus JoinDomain(char const* domain, char const* computerContainer,
                    Credentials const* credentials) {
    return JoinDomainWithOptions(domain, computerContainer, credentials, 0);
}

ADStatus JoinDomainWithOptions(char const* domain, char const* computerContainer,
                               Credentials const* credentials, uint32_t flags) {
    ClearLastError();
    StartChangeRecord();
    if (domain == nullptr || credentials == nullptr || credentials->userName == nullptr ||
        credentials->password == nullptr || (flags & ~AD_JOIN_REUSE_ACCOUNT) != 0) {
        return kInvalidParameter;
    }
    Fields request = {{"op", "join"},
                      {"domain", domain},
                      {"user", credentials->userName},
                      {"password", credentials->password}};
    if (computerContainer != nullptr) request["container"] = computerContainer;
    if ((flags & AD_JOIN_REUSE_ACCOUNT) != 0) request["reuse-account"] = "yes";
    return Run("joining the domain", request);
}

ADStatus PartDomain(Credentials const* credentials) {
    ClearLastError();
    StartChangeRecord();
    Fields request = {{"op", "leave"}};
    if (credentials != nullptr && credentials->userName != nullptr) {
        if (credentials->password == nullptr) return kInvalidParameter;
        request["user"] = credentials->userName;
        request["password"] = credentials->password;
    }
    return Run("leaving the domain", request);
}

ADStatus JoinDomainWithMachineAccount(ADDirectoryDomainInfo const* domain,
                                      ADMachineAccountInfo const* account) {
    ClearLastError();
    StartChangeRecord();
    if (domain == nullptr || account == nullptr || domain->netBIOSDomainName == nullptr ||
        domain->dnsDomainName == nullptr || account->accountData2 == nullptr) {
        return kInvalidParameter;
    }
    // The account's creator hands over its name and the provisioning text of the account.
    Fields request = {{"op", "offline-join"},
                      {"netbios-domain", domain->netBIOSDomainName},
                      {"dns-domain", domain->dnsDomainName},
                      {"provisioning", account->accountData2}};
    if (account->accountData1 != nullptr) request["account"] = account->accountData1;
    return Run("joining with a machine account", request);
}

ADStatus SetPreferredDomainControllers(char const* const* names) {
    ClearLastError();
    StartChangeRecord();
    if (names == nullptr) return kInvalidParameter;
    std::vector<std::string> servers;
    for (; *names != nullptr; ++names) {
        std::string name = *names;
        if (name.empty() || name == "*" || name.find_first_of(" \t\r\n,;") != std::string::npos) {
            return kInvalidParameter;
        }
        servers.push_back(name);
    }
    try {
        ConfigLock lock;
        ChangedFiles const files({kSambaConfig});
        MemberConfig config = ReadMemberConfig();
        // A host that never had a configuration gets a standalone one, which a join then
        // replaces, keeping the preferred DCs.
        if (config.workgroup.empty()) config.workgroup = "WORKGROUP";
        if (config.netbiosName.empty()) config.netbiosName = AccountNameForHost();
        config.passwordServers = servers;
        // Without preferred DCs, the domain's own go back in.
        if (servers.empty() && config.IsMember() && config.domainControllers.empty()) {
            config.domainControllers = DomainControllerAddresses(config.DnsDomain());
        }
        try {
            WriteMemberConfig(config);
        } catch (...) {
            for (std::string const& change : files.Changes()) NoteChange(change);
            throw;
        }
        for (std::string const& change : files.Changes()) NoteChange(change);
        // winbindd goes to the DCs now preferred (it keeps its connection otherwise).
        if (config.IsMember() && !RestartWinbindIfRunning(config.workgroup, config.realm)) {
            SetLastError("the preferred domain controllers are set, but winbindd did not restart");
            return kServiceNotActive;
        }
        return 0;
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "Samba provider: %s", error.what());
        SetLastError(error.what());
        return kAccessDenied;
    }
}

ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator) {
    if (names == nullptr || deallocator == nullptr) return kInvalidParameter;
    *deallocator = FreeStrings;
    try {
        *names = CopyStrings(ReadMemberConfig().passwordServers);
        return *names == nullptr ? 8 : 0;
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "Samba provider: %s", error.what());
        *names = nullptr;
        return kAccessDenied;
    }
}

ADStatus GetLastChanges(char*** changes, ADDeallocator* deallocator) {
    if (changes == nullptr || deallocator == nullptr) return kInvalidParameter;
    *deallocator = FreeStrings;
    *changes = CopyStrings(RecordedChanges());
    return *changes == nullptr ? 8 : 0;
}

}  // namespace sambaprovider
