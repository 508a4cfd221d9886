#include "operations.h"

#include <arpa/nameser.h>
#include <fcntl.h>
#include <poll.h>
#include <resolv.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "credentials_check.h"
#include "host_state.h"
#include "keytab.h"
#include "member_config.h"
#include "netapi_session.h"
#include "preferred_dc.h"
#include "statuses.h"

namespace sambahelper {

using namespace sambaprovider;

std::string Field(Fields const& request, char const* key) {
    auto const found = request.find(key);
    return found == request.end() ? std::string() : found->second;
}

namespace {

// A libnetapi session with the request's credentials; false (with the error in the answer)
// when libnetapi cannot start.
bool StartSession(NetapiSession& session, Fields const& request, Fields& answer) {
    if (!session.Ready()) {
        answer["error"] = "libnetapi could not start (is there a Samba configuration?)";
        return false;
    }
    session.SetCredentials(Field(request, "user"), Field(request, "password"));
    return true;
}

// DsGetDcName says the same for a domain that does not exist and for one whose DCs do not
// answer; the DNS tells them apart.
uint32_t DomainLookupFailure(std::string const& domain) {
    struct __res_state state;
    std::memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0) return kNoSuchDomain;
    unsigned char reply[4096];
    std::string name = "_ldap._tcp." + domain;
    int length = res_nquery(&state, name.c_str(), ns_c_in, ns_t_srv, reply, sizeof reply);
    res_nclose(&state);
    return length > 0 ? kNoLogonServers : kNoSuchDomain;
}

struct DomainController {
    std::string name;       // DNS name of a writable DC
    std::string dnsDomain;  // the domain's DNS name
    std::string workgroup;  // its NetBIOS name
};

// A DC of the domain: the first of the preferred DCs that answers, else the one the domain's
// DNS and the DCs' answers point to.
uint32_t FindWritableDC(std::string const& domain, DomainController& dc, Fields& answer,
                        std::vector<std::string> const& preferred = {}) {
    DOMAIN_CONTROLLER_INFO* info = nullptr;
    uint32_t const wanted = DS_DIRECTORY_SERVICE_REQUIRED | DS_WRITABLE_REQUIRED;
    NET_API_STATUS status =
        DsGetDcName(nullptr, domain.c_str(), nullptr, nullptr, wanted | DS_RETURN_DNS_NAME, &info);
    if (status != 0 || info == nullptr) {
        answer["error"] =
            "no domain controller found for '" + domain + "' (" + std::to_string(status) + ")";
        return DomainLookupFailure(domain);
    }
    dc.name = StripBackslashes(info->domain_controller_name);
    dc.dnsDomain = Lower(info->domain_name != nullptr ? info->domain_name : domain.c_str());
    NetApiBufferFree(info);
    info = nullptr;
    status = DsGetDcName(nullptr, dc.dnsDomain.c_str(), nullptr, nullptr,
                         wanted | DS_RETURN_FLAT_NAME, &info);
    if (status != 0 || info == nullptr || info->domain_name == nullptr) {
        if (info != nullptr) NetApiBufferFree(info);
        answer["error"] = "the domain controller of '" + domain + "' gave no NetBIOS name";
        return kNoLogonServers;
    }
    dc.workgroup = Upper(info->domain_name);
    NetApiBufferFree(info);
    std::string const named = FirstAnsweringDC(preferred, dc.dnsDomain);
    if (!named.empty()) dc.name = named;
    return 0;
}

// libnetapi answers 1003 ("failed to connect to IPC$") both for rejected credentials and
// for a DC it cannot reach, and says which only on standard output. The KDC tells.
uint32_t ConnectionFailure(NetapiSession& session, NET_API_STATUS status, std::string const& realm,
                           Fields& answer) {
    uint32_t checked = CheckCredentials(session.User(), session.Password(), realm);
    if (checked != 0) {
        answer["error"] =
            "the KDC of " + realm + " refused the credentials of '" + session.User() + "'";
        return checked;
    }
    answer["error"] = session.ErrorText(status);
    return kNoLogonServers;
}

// libnetapi's answers for an account name the DC does not hold.
bool NoSuchAccount(NET_API_STATUS status) {
    return status == kNetUserNotFound || status == kNoneMapped || status == kNoSuchUser;
}

// How long a new account may take to reach the other DCs.
int const kReplicationSeconds = 20;

// The account flags that tell a member's computer account from a DC's and from a user's.
uint32_t const kWorkstationTrustAccount = 0x1000;
uint32_t const kServerTrustAccount = 0x2000;

// What the DC holds under an account name.
enum class ExistingAccount { kNone, kComputer, kOther };

// Whether the DC already has an account of this name, and whose kind it is. Provisioning over
// it would silently reset its password and break the host that owns it.
uint32_t FindExistingAccount(NetapiSession& session, std::string const& dc,
                             std::string const& account, std::string const& realm, Fields& answer,
                             ExistingAccount& existing) {
    uint8_t* buffer = nullptr;
    NET_API_STATUS status = NetUserGetInfo(dc.c_str(), account.c_str(), 1, &buffer);
    uint32_t flags = 0;
    if (status == 0 && buffer != nullptr)
        flags = reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags;
    if (buffer != nullptr) NetApiBufferFree(buffer);
    if (status == 0) {
        existing = (flags & kWorkstationTrustAccount) != 0 && (flags & kServerTrustAccount) == 0
                       ? ExistingAccount::kComputer
                       : ExistingAccount::kOther;
        return 0;
    }
    existing = ExistingAccount::kNone;
    if (NoSuchAccount(status)) return 0;
    if (status == kNetConnectFailed) return ConnectionFailure(session, status, realm, answer);
    answer["error"] = session.ErrorText(status);
    return status;
}

// A new account is made; an existing one is taken over only when asked to and only when it
// is a member's computer account (never a DC's or a user's).
uint32_t CheckAccountMayBeUsed(NetapiSession& session, std::string const& dc,
                               std::string const& account, std::string const& realm, bool reuse,
                               Fields& answer, bool& reused) {
    ExistingAccount existing = ExistingAccount::kNone;
    reused = false;
    uint32_t const status = FindExistingAccount(session, dc, account, realm, answer, existing);
    if (status != 0 || existing == ExistingAccount::kNone) return status;
    if (existing == ExistingAccount::kOther) {
        answer["error"] = "the domain already has an account '" + account +
                          "' that is not a member's computer account (a user's or a domain "
                          "controller's); it is never taken over";
        return kAccountExists;
    }
    if (!reuse) {
        answer["error"] = "the domain already has a computer account '" + account +
                          "'; it belongs to another host or to an earlier join of this one";
        return kAccountExists;
    }
    reused = true;
    return 0;
}

// NetRequestOfflineDomainJoin takes what a provisioning file holds: a byte-order mark and
// the text in UTF-16LE.
std::vector<uint8_t> ProvisioningBlob(std::string const& text) {
    std::vector<uint8_t> blob = {0xff, 0xfe};
    for (char c : text) {
        blob.push_back(static_cast<uint8_t>(c));
        blob.push_back(0);
    }
    return blob;
}

uint32_t RequestJoin(NetapiSession& session, std::string const& text, Fields& answer) {
    if (text.empty() || text.find_first_not_of(
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
                            std::string::npos) {
        answer["error"] = "the provisioning data is not base64 text";
        return kInvalidParameter;
    }
    std::vector<uint8_t> blob = ProvisioningBlob(text);
    NET_API_STATUS status = NetRequestOfflineDomainJoin(
        blob.data(), static_cast<uint32_t>(blob.size()), NETSETUP_PROVISION_ONLINE_CALLER, nullptr);
    if (status == 0 || status == kJoinPerformedMustRestart) return 0;
    answer["error"] = "offline join: " + session.ErrorText(status);
    return status == kInvalidProvisioningData ? kInvalidParameter : static_cast<uint32_t>(status);
}

// The keytab lets the host prove itself over Kerberos (LDAP queries, services). The offline
// join writes none, and from now on winbindd keeps it current when it changes the machine
// password. libnetapi lets go of the machine secrets first: they are read here.
// The keys are read as the machine, with a ticket from whichever KDC the realm's DNS names:
// one other than the DC that made the account knows it once replication brought it there
// (seconds), so "no such account" is asked again for a while.
uint32_t CreateKeytab(NetapiSession& session, MemberConfig config, std::string const& dc,
                      Fields& answer) {
    session.Close();
    config.keytab = true;
    WriteMemberConfig(config);
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        uint32_t const status = WriteMachineKeytab(config, dc, answer);
        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (status != kNoTrustSamAccount || now.tv_sec - start.tv_sec >= kReplicationSeconds) {
            return status;
        }
        timespec const pause = {1, 0};
        nanosleep(&pause, nullptr);
    }
}

bool DeletedOrAbsent(NET_API_STATUS status) {
    return status == 0 || NoSuchAccount(status);
}

// Deletes the account this join made on a DC of the domain other than `dc`, which stopped
// answering during the join; replication carries the deletion back. When none can, the answer
// names the account and the DC.
void DeleteOnAnotherDC(std::string const& dc, std::string const& dnsDomain,
                       std::string const& account, Fields& answer, char const* made) {
    DOMAIN_CONTROLLER_INFO* info = nullptr;
    uint32_t const wanted = DS_DIRECTORY_SERVICE_REQUIRED | DS_WRITABLE_REQUIRED |
                            DS_RETURN_DNS_NAME | DS_FORCE_REDISCOVERY;
    std::string other;
    if (DsGetDcName(nullptr, dnsDomain.c_str(), nullptr, nullptr, wanted, &info) == 0 &&
        info != nullptr) {
        other = StripBackslashes(info->domain_controller_name);
    }
    if (info != nullptr) NetApiBufferFree(info);
    if (!other.empty() && Lower(other) != Lower(dc) &&
        NetUserDel(other.c_str(), account.c_str()) == 0) {
        return;
    }
    answer["error"] += "; the computer account '" + account + "' this join " + made + " on " + dc +
                       " could not be deleted: delete it in the domain";
}

// Deletes the account this join made on `dc`, or on another DC when that one no longer answers.
void DeleteMadeAccount(std::string const& dc, std::string const& dnsDomain,
                       std::string const& account, Fields& answer) {
    if (DeletedOrAbsent(NetUserDel(dc.c_str(), account.c_str()))) return;
    DeleteOnAnotherDC(dc, dnsDomain, account, answer, "made");
}

// Deletes this host's account on a writable DC, before a leave undoes the host's part.
uint32_t DeleteOwnAccount(NetapiSession& session, MemberConfig const& config,
                          std::string const& account, Fields& answer) {
    DomainController dc;
    uint32_t const status = FindWritableDC(config.DnsDomain(), dc, answer, config.passwordServers);
    if (status != 0) return status;
    NET_API_STATUS const deleted = NetUserDel(dc.name.c_str(), account.c_str());
    if (deleted == kSemaphoreTimeout) {
        answer["error"] = "deleting '" + account + "': the DC did not answer";
        return kNoLogonServers;
    }
    if (deleted == kNetConnectFailed) {
        return ConnectionFailure(session, deleted, config.realm, answer);
    }
    if (!DeletedOrAbsent(deleted)) {
        answer["error"] = "deleting '" + account + "': " + session.ErrorText(deleted);
        return deleted;
    }
    return 0;
}

// After a provisioning that failed: libnet may have created the account before the failure
// (its DC stopped answering half-way). The name was free before, so an account of that name
// now is this call's and goes again; when the DC cannot be asked, the answer names it. A DC
// that has just failed to answer (`dcAnswered` false) is not asked again.
void RemovePartialAccount(std::string const& dc, std::string const& dnsDomain,
                          std::string const& account, Fields& answer, bool dcAnswered) {
    if (!dcAnswered) {
        DeleteOnAnotherDC(dc, dnsDomain, account, answer, "may have made");
        return;
    }
    uint8_t* buffer = nullptr;
    NET_API_STATUS const found = NetUserGetInfo(dc.c_str(), account.c_str(), 1, &buffer);
    if (buffer != nullptr) NetApiBufferFree(buffer);
    if (NoSuchAccount(found)) return;
    // A DC that could not say whether it holds the account would not delete it either: each
    // question to a DC that stopped answering waits 20 s.
    if (found == 0) {
        DeleteMadeAccount(dc, dnsDomain, account, answer);
    } else {
        DeleteOnAnotherDC(dc, dnsDomain, account, answer, "may have made");
    }
}

// A join that fails after the account was made takes it all back.
void Undo(NetapiSession& session, std::string const& dc, std::string const& dnsDomain,
          std::string const& account, std::string const& savedConfig, Fields& answer) {
    if (!session.Ready()) session.Restart();
    NetUnjoinDomain(nullptr, "", "", NETSETUP_JOIN_DOMAIN);
    if (!dc.empty()) DeleteMadeAccount(dc, dnsDomain, account, answer);
    try {
        RestoreMemberConfigText(savedConfig);
    } catch (std::exception const&) {
    }
    session.Restart();
}

uint32_t MapProvisioningStatus(NetapiSession& session, NET_API_STATUS netStatus,
                               std::string const& realm, Fields& answer) {
    answer["error"] = "provisioning: " + session.ErrorText(netStatus);
    // A DC whose LDAP service libnet could not reach, bind to, or get an answer from comes back
    // under statuses of other failures (2694, the container does not exist; 31, a device not
    // functioning), with libldap's words for it (a bind or search that waited out its limit:
    // "Timed out", "Time limit exceeded"); the KDC tells whether the credentials were at fault.
    static char const* const kDcNotAnswering[] = {
        "failed to connect to AD", "Timed out", "Time limit exceeded", "Can't contact LDAP server"};
    std::string const& text = answer["error"];
    for (char const* words : kDcNotAnswering) {
        if (text.find(words) != std::string::npos) {
            return ConnectionFailure(session, netStatus, realm, answer);
        }
    }
    uint32_t const status = netStatus;
    switch (status) {
        case kLogonFailure:
        case kAccessDenied:
            return status;
        case kNetConnectFailed:
            return ConnectionFailure(session, netStatus, realm, answer);
        case kDcNotFound:
        case kSemaphoreTimeout:
            return kNoLogonServers;
        case kSetupNotJoinedOu:
            return kDirectoryInvalid;
        default:
            return status;
    }
}

void AnswerDomainController(DomainController const& dc, Fields& answer) {
    answer["dc"] = dc.name;
    answer["workgroup"] = dc.workgroup;
    answer["dns-domain"] = dc.dnsDomain;
}

// Creates the computer account NAME in the container, unless the DC already has one of that
// name (with `reuse`: unless it has an account of that name that is not a member's computer
// account, which is then taken over with a new password), and gives back the text an offline
// join of that account takes. `reused` tells whether the account was there before;
// `checkFailed` that the DC could not be asked, before anything was made.
uint32_t ProvisionAccount(NetapiSession& session, DomainController const& dc,
                          std::string const& name, std::string const& container, bool reuse,
                          Fields& answer, std::string& provisioning, bool& reused,
                          bool& checkFailed) {
    std::string const realm = Upper(dc.dnsDomain);
    uint32_t const status =
        CheckAccountMayBeUsed(session, dc.name, name + "$", realm, reuse, answer, reused);
    checkFailed = status != 0 && status != kAccountExists;
    if (status != 0) return status;
    std::string const ou = CompleteContainer(container, dc.dnsDomain);
    char const* text = nullptr;
    NET_API_STATUS provisioned = NetProvisionComputerAccount(
        dc.dnsDomain.c_str(), name.c_str(), ou.empty() ? nullptr : ou.c_str(), dc.name.c_str(),
        reused ? NETSETUP_PROVISION_REUSE_ACCOUNT : 0, nullptr, nullptr, &text);
    if (text != nullptr) {
        if (provisioned == 0) provisioning = text;
        NetApiBufferFree(const_cast<char*>(text));
    }
    if (provisioned != 0) {
        uint32_t const mapped = MapProvisioningStatus(session, provisioned, realm, answer);
        if (!reused) {
            RemovePartialAccount(dc.name, dc.dnsDomain, name + "$", answer,
                                 mapped != kNoLogonServers);
        }
        return mapped;
    }
    if (provisioning.empty()) {
        answer["error"] = "provisioning gave no text";
        return kInternalError;
    }
    return 0;
}

// libnetapi refuses to start without a configuration file: a host that never had one gets
// a standalone one, which a failed join takes away again.
void EnsureConfigExists(std::string const& savedConfig, std::string const& name) {
    if (!savedConfig.empty()) return;
    MemberConfig standalone;
    standalone.workgroup = "WORKGROUP";
    standalone.netbiosName = name;
    WriteMemberConfig(standalone);
}

}  // namespace

uint32_t Join(Fields const& request, Fields& answer) {
    std::string const domain = Field(request, "domain");
    std::string const container = Field(request, "container");
    if (domain.empty() || domain.find_first_of(" \t\\/") != std::string::npos) {
        return kInvalidDomainName;
    }
    std::string const name = AccountNameForHost();
    if (name.empty()) {
        answer["error"] = "the host name cannot be a computer account name";
        return kInvalidComputerName;
    }
    std::string const account = name + "$";
    bool const reuse = Field(request, "reuse-account") == "yes";
    ConfigLock lock;
    MemberConfig current = ReadMemberConfig();
    if (current.IsMember() && HoldsMachineSecret(current.workgroup)) {
        answer["error"] = "this host is already a member of " + current.DnsDomain();
        return kAlreadyJoined;
    }
    std::string const savedConfig = SaveMemberConfigText();
    EnsureConfigExists(savedConfig, name);

    NetapiSession session;
    if (!session.Ready()) {
        RestoreMemberConfigText(savedConfig);
        return kInternalError;
    }
    session.SetCredentials(Field(request, "user"), Field(request, "password"));
    DomainController dc;
    uint32_t status = FindWritableDC(domain, dc, answer, current.passwordServers);
    if (status != 0) {
        RestoreMemberConfigText(savedConfig);
        return status;
    }

    MemberConfig config;
    config.workgroup = dc.workgroup;
    config.realm = Upper(dc.dnsDomain);
    config.netbiosName = name;
    config.passwordServers = current.passwordServers;
    WriteMemberConfig(config);
    session.Restart();

    std::string provisioning;
    bool reused = false;
    bool checkFailed = false;
    status = ProvisionAccount(session, dc, name, container, reuse, answer, provisioning, reused,
                              checkFailed);
    if (status != 0) {
        RestoreMemberConfigText(savedConfig);
        return status;
    }
    status = RequestJoin(session, provisioning, answer);
    if (status == 0) status = CreateKeytab(session, config, dc.name, answer);
    if (status == kNoTrustSamAccount) {
        // The account was just made: the KDC that does not know it is another DC, which the
        // account has not reached, because the DC that made it stopped answering.
        answer["error"] = dc.name + ", which made the account, stopped answering before it " +
                          "reached the other domain controllers (" + answer["error"] + ")";
        status = kNoLogonServers;
    }
    if (status != 0) {
        // An account that was there before stays (with its new password): it is not ours to
        // delete.
        Undo(session, reused ? std::string() : dc.name, dc.dnsDomain, account, savedConfig, answer);
        return status;
    }
    AnswerDomainController(dc, answer);
    return 0;
}

uint32_t OfflineJoin(Fields const& request, Fields& answer) {
    std::string const name = AccountNameForHost();
    if (name.empty()) {
        answer["error"] = "the host name cannot be a computer account name";
        return kInvalidComputerName;
    }
    std::string const workgroup = Upper(Field(request, "netbios-domain"));
    std::string const dnsDomain = Lower(Field(request, "dns-domain"));
    if (workgroup.empty() || dnsDomain.empty()) return kInvalidDomainName;
    std::string const account = Field(request, "account");
    if (!account.empty() && Upper(account) != name + "$") {
        answer["error"] =
            "the machine account '" + account + "' is not this host's ('" + name + "$')";
        return kInvalidComputerName;
    }
    ConfigLock lock;
    MemberConfig current = ReadMemberConfig();
    if (current.IsMember() && HoldsMachineSecret(current.workgroup)) {
        answer["error"] = "this host is already a member of " + current.DnsDomain();
        return kAlreadyJoined;
    }
    std::string const savedConfig = SaveMemberConfigText();
    MemberConfig config;
    config.workgroup = workgroup;
    config.realm = Upper(dnsDomain);
    config.netbiosName = name;
    config.passwordServers = current.passwordServers;
    WriteMemberConfig(config);
    NetapiSession session;
    if (!session.Ready()) {
        RestoreMemberConfigText(savedConfig);
        return kInternalError;
    }
    uint32_t status = RequestJoin(session, Field(request, "provisioning"), answer);
    DomainController dc;
    if (status == 0) status = FindWritableDC(dnsDomain, dc, answer, config.passwordServers);
    if (status == 0) status = CreateKeytab(session, config, dc.name, answer);
    if (status != 0) {
        // The account belongs to whoever provisioned it; only this host's part is undone.
        Undo(session, "", dnsDomain, account, savedConfig, answer);
        return status;
    }
    return 0;
}

uint32_t Leave(Fields const& request, Fields& answer) {
    std::string const user = Field(request, "user");
    std::string const password = Field(request, "password");
    ConfigLock lock;
    MemberConfig config = ReadMemberConfig();
    if (!config.IsMember() || !HoldsMachineSecret(config.workgroup)) {
        answer["error"] = "this host holds no machine password of a domain";
        return kNotJoined;
    }
    NetapiSession session;
    if (!session.Ready()) return kInternalError;
    if (request.count("user") != 0) {
        session.SetCredentials(user, password);
        std::string const account = config.netbiosName + "$";
        std::string const madeOn = Field(request, "made-on");
        if (!madeOn.empty()) {
            // The undoing of a join that failed: the account goes from the DC that made it (from
            // another when that one stopped answering), and the host's part goes whatever became
            // of it; the answer names an account that stays.
            DeleteMadeAccount(madeOn, config.DnsDomain(), account, answer);
        } else {
            // The account goes first: when the DC refuses, the host stays joined.
            uint32_t const status = DeleteOwnAccount(session, config, account, answer);
            if (status != 0) return status;
        }
    }
    NET_API_STATUS status = NetUnjoinDomain(nullptr, "", "", NETSETUP_JOIN_DOMAIN);
    if (status != 0) {
        answer["error"] = "leaving: " + session.ErrorText(status);
        return status;
    }
    MemberConfig left;
    left.workgroup = config.workgroup;
    left.netbiosName = config.netbiosName;
    left.passwordServers = config.passwordServers;
    WriteMemberConfig(left);
    return 0;
}

uint32_t Provision(Fields const& request, Fields& answer) {
    NetapiSession session;
    bool checkFailed = false;
    return Provision(session, request, answer, checkFailed);
}

uint32_t Provision(NetapiSession& session, Fields const& request, Fields& answer,
                   bool& checkFailed) {
    checkFailed = false;
    std::string const hostName = Field(request, "host-name");
    std::string const name = Upper(hostName.substr(0, hostName.find('.')));
    if (name.empty() || name.size() > 15 ||
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") != std::string::npos) {
        answer["error"] = "'" + hostName + "' cannot be a computer account name";
        return kInvalidComputerName;
    }
    if (!StartSession(session, request, answer)) return kInternalError;
    DomainController dc;
    uint32_t status = FindWritableDC(Field(request, "domain"), dc, answer);
    if (status != 0) return status;
    std::string provisioning;
    bool reused = false;
    status = ProvisionAccount(session, dc, name, Field(request, "container"), false, answer,
                              provisioning, reused, checkFailed);
    if (status != 0) return status;
    answer["provisioning"] = provisioning;
    answer["account"] = name + "$";
    AnswerDomainController(dc, answer);
    return 0;
}

// Deletes a computer account this service provisioned for a host that was never told of it
// (its request was answered with a time-out before the DC finished). On the DC that made it,
// when named, so that replication cannot bring it back from there.
uint32_t Unprovision(Fields const& request, Fields& answer) {
    std::string const account = Field(request, "account");
    if (account.size() < 2 || account.back() != '$') {
        answer["error"] = "'" + account + "' is not a computer account name";
        return kInvalidParameter;
    }
    NetapiSession session;
    if (!StartSession(session, request, answer)) return kInternalError;
    DomainController dc;
    dc.name = Field(request, "dc");
    if (dc.name.empty()) {
        uint32_t const status = FindWritableDC(Field(request, "domain"), dc, answer);
        if (status != 0) return status;
    }
    NET_API_STATUS const status = NetUserDel(dc.name.c_str(), account.c_str());
    if (DeletedOrAbsent(status)) {
        answer["deleted"] = status == 0 ? "yes" : "no";
        return 0;
    }
    answer["error"] = "deleting " + account + ": " + session.ErrorText(status);
    if (status == kNetConnectFailed) {
        return ConnectionFailure(session, status, Upper(Field(request, "domain")), answer);
    }
    return status;
}

namespace {

std::string SidText(domsid const& sid) {
    uint64_t authority = 0;
    for (uint8_t byte : sid.id_auth) authority = (authority << 8) | byte;
    std::string text = "S-" + std::to_string(sid.sid_rev_num) + "-" + std::to_string(authority);
    for (int i = 0; i < sid.num_auths && i < MAXSUBAUTHS; ++i) {
        text += "-" + std::to_string(sid.sub_auths[i]);
    }
    return text;
}

}  // namespace

uint32_t DomainInfo(Fields const& request, Fields& answer) {
    NetapiSession session;
    if (!StartSession(session, request, answer)) return kInternalError;
    DomainController dc;
    uint32_t status = FindWritableDC(Field(request, "domain"), dc, answer);
    if (status != 0) return status;
    uint8_t* buffer = nullptr;
    NET_API_STATUS found = NetUserModalsGet(dc.name.c_str(), 2, &buffer);
    auto const* modals = reinterpret_cast<USER_MODALS_INFO_2 const*>(buffer);
    if (found == 0 && modals != nullptr && modals->usrmod2_domain_id != nullptr) {
        answer["sid"] = SidText(*modals->usrmod2_domain_id);
    }
    if (buffer != nullptr) NetApiBufferFree(buffer);
    if (found == kNetConnectFailed)
        return ConnectionFailure(session, found, Upper(dc.dnsDomain), answer);
    if (found == kSemaphoreTimeout) return kNoLogonServers;
    if (found != 0 || answer["sid"].empty()) {
        answer["error"] = "the domain's SID: " + session.ErrorText(found);
        return found != 0 ? static_cast<uint32_t>(found) : kInternalError;
    }
    answer["netbios-domain"] = dc.workgroup;
    answer["dns-domain"] = dc.dnsDomain;
    answer["dc"] = dc.name;
    return 0;
}

uint32_t FindDomainController(Fields const& request, Fields& answer) {
    std::string const domain = Field(request, "domain");
    std::string const site = Field(request, "site");
    NetapiSession session;
    if (!session.Ready()) return kInternalError;
    DOMAIN_CONTROLLER_INFO* info = nullptr;
    NET_API_STATUS status =
        DsGetDcName(nullptr, domain.c_str(), nullptr, site.empty() ? nullptr : site.c_str(),
                    DS_DIRECTORY_SERVICE_REQUIRED | DS_RETURN_DNS_NAME, &info);
    if (status != 0 || info == nullptr) return DomainLookupFailure(domain);
    answer["dc"] = StripBackslashes(info->domain_controller_name);
    NetApiBufferFree(info);
    return 0;
}

}  // namespace sambahelper
