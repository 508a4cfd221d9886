// Activation edits the PAM service file through the PAM model: the provider's module goes in
// as "sufficient" for auth and account, and the module it replaces comes out. Switching is
// all-or-nothing: when the second of the two files cannot be written, the first is put back.
#include <authentication/active_directory_store.h>
#include <authentication/atomic_file_stream.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <syslog.h>
#include <systemconfiguration/pam_policy.h>

#include <algorithm>
#include <sstream>

#include "change_record.h"
#include "files_lock.h"
#include "paths.h"
#include "permit_entry.h"
#include "store_switch.h"

using SystemConfiguration::InvalidControlException;
using SystemConfiguration::InvalidEntryException;
using SystemConfiguration::InvalidFacilityException;
using SystemConfiguration::PAMControl;
using SystemConfiguration::PAMEntry;
using SystemConfiguration::PAMFacility;
using SystemConfiguration::PAMPolicy;
using SystemConfiguration::PAMStack;

namespace ostrel {
namespace authentication {

namespace {

using paths::kPAMFile;
char const* const kServiceName = paths::kPAMServiceName;
char const* const kModuleDirectory = paths::kPAMModuleDirectory;
char const* const kReplacedModule = paths::kReplacedPAMModule;
char const* const kAccessModule = paths::kAccessPAMModule;
PAMFacility::Facility const kEditedFacilities[] = {PAMFacility::Auth, PAMFacility::Account};
// Deactivation also takes the provider's module out of the stacks an administrator may have
// added it to.
PAMFacility::Facility const kOtherFacilities[] = {PAMFacility::Password, PAMFacility::Session};
char const* const kPermitModule = paths::kPermitPAMModule;
char const* const kPermitModuleName = paths::kPermitPAMModuleName;

void Parse(std::string const& content, PAMPolicy& policy) {
    std::istringstream in(content);
    in >> policy;
}

// The first line at which the file's text, read from its start, is refused.
unsigned RefusedLine(std::string const& content) {
    unsigned line = 1;
    for (std::string::size_type end = content.find('\n');; end = content.find('\n', end + 1)) {
        PAMPolicy prefix(kServiceName);
        try {
            Parse(content.substr(0, end == std::string::npos ? end : end + 1), prefix);
        } catch (std::exception const&) {
            return line;
        }
        if (end == std::string::npos) return line;
        ++line;
    }
}

// The model's own message, prefixed with the file and the line it refused, in the model's class.
template <class Refusal>
[[noreturn]] void ThrowWithPlace(Refusal const& refusal, std::string const& content) {
    unsigned const line = RefusedLine(content);
    throw Refusal(std::string(kPAMFile) + ", line " + std::to_string(line) + ": " + refusal.what(),
                  kPAMFile, line);
}

PAMPolicy ReadPolicy(std::string const& content) {
    PAMPolicy policy(kServiceName);
    try {
        Parse(content, policy);
    } catch (InvalidFacilityException const& refusal) {
        ThrowWithPlace(refusal, content);
    } catch (InvalidControlException const& refusal) {
        ThrowWithPlace(refusal, content);
    } catch (InvalidEntryException const& refusal) {
        ThrowWithPlace(refusal, content);
    }
    return policy;
}

std::string Text(PAMPolicy const& policy) {
    std::ostringstream text;
    text << policy;
    return text.str();
}

// A bracketed control's numeric actions ("success=2") jump over that many following entries
// of the stack. An entry inserted into or removed from the stretch a jump passes over would
// move where the jump lands; each such count changes by `delta` so that every jump still lands
// on the entry it landed on before. A count that drops to 0 becomes "ignore": like a jump, and
// unlike "ok", it leaves the stack's result as it was (the PAM library refuses a jump of 0 and
// names "ignore" in its place). "ok" would count the entry's success, so that a stack that
// only jumped over the removed entry to its end would turn from a denial into a success.
void KeepJumpsLanding(PAMStack& stack, std::size_t position, int delta) {
    for (std::size_t i = 0; i < position && i < stack.size(); ++i) {
        PAMEntry& entry = stack[i];
        if (entry.control() != PAMControl::Complex) continue;
        std::string text = entry.control();
        bool changed = false;
        for (std::size_t equals = text.find('='); equals != std::string::npos;
             equals = text.find('=', equals + 1)) {
            std::size_t const end = text.find_first_not_of("0123456789", equals + 1);
            if (end == equals + 1 || end == std::string::npos) continue;
            unsigned long const jump = std::stoul(text.substr(equals + 1, end - equals - 1));
            // Inserted: in the stretch or just before the landing entry; removed: in the stretch.
            bool const passes = delta > 0 ? position <= i + jump + 1 : position <= i + jump;
            if (!passes) continue;
            unsigned long const moved = jump + delta;
            std::string const replacement = moved == 0 ? "ignore" : std::to_string(moved);
            text.replace(equals + 1, end - equals - 1, replacement);
            changed = true;
        }
        if (!changed) continue;
        PAMEntry updated(PAMControl(PAMControl::Complex, text), entry.module());
        updated.parameters() = entry.parameters();
        updated.setModuleMayBeMissing(entry.moduleMayBeMissing());
        entry = updated;
    }
}

void Insert(PAMStack& stack, PAMStack::iterator where, PAMEntry const& entry) {
    std::size_t const position = static_cast<std::size_t>(where - stack.begin());
    stack.insert(where, entry);
    KeepJumpsLanding(stack, position, +1);
}

PAMStack::iterator Erase(PAMStack& stack, PAMStack::iterator which) {
    std::size_t const position = static_cast<std::size_t>(which - stack.begin());
    stack.erase(which);
    KeepJumpsLanding(stack, position, -1);
    return stack.begin() + static_cast<std::ptrdiff_t>(position);
}

// Only the first entry of the replaced module goes; a real edit logs it.
bool RemoveReplacedModule(PAMStack& stack, bool log = true) {
    PAMStack::iterator old = stack.find(kReplacedModule);
    if (old == stack.end()) return false;
    if (log) {
        syslog(LOG_INFO, "Update PAM Config: Removing existing PAM entry: %s", kReplacedModule);
    }
    Erase(stack, old);
    return true;
}

std::string FileName(std::string const& module) {
    return module.substr(module.rfind('/') + 1);
}

// Where the provider's "sufficient" entry goes: right after pam_access; without it, after the
// stack's leading required and requisite entries (pam_env, pam_faildelay, a lockout's
// pre-check), which must run for every user, domain users included.
PAMStack::iterator InsertionPoint(PAMStack& stack) {
    PAMStack::iterator access = stack.find(kAccessModule);
    if (access != stack.end()) return access + 1;
    PAMStack::iterator point = stack.begin();
    while (point != stack.end() && (point->control() == PAMControl::Required ||
                                    point->control() == PAMControl::Requisite)) {
        ++point;
    }
    return point;
}

// The login-permission check goes into the account stack right before the provider's first
// entry there (after the stack's leading entries when it has none). Its refusal ends the
// stack at once, before the provider's "sufficient" entry could grant the account; its
// PAM_IGNORE (local users, everyone permitted) counts for nothing. A module that cannot be
// loaded (PAM logs it) is ignored too: a broken installation must not lock local accounts
// out of a host. Returns whether it was missing.
bool AddPermitEntry(PAMStack& account, std::string const& providerModule) {
    for (PAMEntry const& entry : account) {
        if (FileName(entry.module()) == kPermitModuleName) return false;
    }
    PAMStack::iterator point = account.begin();
    while (point != account.end() && FileName(point->module()) != providerModule) ++point;
    if (point == account.end()) point = InsertionPoint(account);
    Insert(account, point,
           PAMEntry(PAMControl(PAMControl::Complex, paths::kPermitPAMControl), kPermitModule));
    return true;
}

// The one activation edit, shared by MakeActive and the preview of it.
PAMPolicy Activated(PAMPolicy policy, PAMEntry const& entry, bool log) {
    for (PAMFacility::Facility facility : kEditedFacilities) {
        PAMStack& stack = policy[facility];
        RemoveReplacedModule(stack, log);
        if (std::find(stack.begin(), stack.end(), entry) == stack.end()) {
            Insert(stack, InsertionPoint(stack), entry);
        }
        if (facility == PAMFacility::Account) AddPermitEntry(stack, FileName(entry.module()));
    }
    return policy;
}

}  // namespace

PAMEntry ActiveDirectoryStore::GetPAMEntryForProvider() const {
    PAMEntry entry(PAMControl(PAMControl::Sufficient), kModuleDirectory + provider->PAMModule());
    std::list<std::string> const& parameters = provider->PAMModuleParameters();
    entry.parameters().assign(parameters.begin(), parameters.end());
    return entry;
}

PAMPolicy ActiveDirectoryStore::CurrentPolicy() {
    return ReadPolicy(TakeSnapshot(kPAMFile).content);
}

PAMPolicy ActiveDirectoryStore::ActivatedPolicy() const {
    return Activated(CurrentPolicy(), GetPAMEntryForProvider(), false);
}

void ActiveDirectoryStore::MakeActive() {
    ChangeRecord changes;
    PAMEntry const entry = GetPAMEntryForProvider();
    FilesLock lock;
    WatchedFiles const watched{kPAMFile, kRecordFile};
    AuthenticationConfiguration configuration;
    FileSnapshot const record = TakeSnapshot(kRecordFile);
    FileSnapshot const pam = TakeSnapshot(kPAMFile);
    // Formatted first, so that a policy the writer refuses leaves no trace on disk.
    std::string const after = Text(Activated(ReadPolicy(pam.content), entry, true));
    // The record changes only once the PAM file says so; when either write fails, both files
    // go back as they were.
    UndoIfFails(
        [&] {
            ReplaceFile(kPAMFile, after);
            configuration["remote-authentication-store"] = GetDisplayName();
            configuration.Write();
        },
        [&] {
            RestoreIfChanged(pam);
            RestoreIfChanged(record);
        });
}

void ActiveDirectoryStore::MakeInactive() {
    ChangeRecord changes;
    std::string const module = FileName(GetPAMEntryForProvider().module());
    FilesLock lock;
    WatchedFiles const watched{kPAMFile};
    PAMPolicy policy = ReadPolicy(TakeSnapshot(kPAMFile).content);
    bool changed = false;
    // Every entry of the provider's module goes, whatever an administrator made of its control
    // or parameters: any one left lets domain users in. The login-permission check goes with it.
    auto removeProvider = [&](PAMStack& stack) {
        for (PAMStack::iterator e = stack.begin(); e != stack.end();) {
            std::string const name = FileName(e->module());
            if (name != module && name != kPermitModuleName) {
                ++e;
                continue;
            }
            e = Erase(stack, e);
            changed = true;
        }
    };
    for (PAMFacility::Facility facility : kEditedFacilities) {
        PAMStack& stack = policy[facility];
        changed = RemoveReplacedModule(stack) || changed;
        removeProvider(stack);
    }
    // Stacks the file does not have stay absent.
    for (PAMFacility::Facility facility : kOtherFacilities) {
        if (policy.stacks().count(facility) != 0) removeProvider(policy[facility]);
    }
    // A file that holds none of them is left alone: nothing to write, nothing that can fail.
    if (changed) ReplaceFile(kPAMFile, Text(policy));
}

bool AddPermitEntryWhileActive(ActiveDirectoryStore const& store) {
    PAMEntry const entry = store.GetPAMEntryForProvider();
    FilesLock lock;
    if (!store.IsActive()) return false;
    PAMPolicy policy = ReadPolicy(TakeSnapshot(kPAMFile).content);
    if (!AddPermitEntry(policy[PAMFacility::Account], FileName(entry.module()))) return false;
    ReplaceFile(kPAMFile, Text(policy));
    return true;
}

}  // namespace authentication
}  // namespace ostrel
