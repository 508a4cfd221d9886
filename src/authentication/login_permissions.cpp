// Who may log in: the list file, checked names, and the store's bounded lookup of a name.
//
// The file is in the library's key-value format: "permit" is "all" or "listed"; each listed
// account is a key "user.NNN" or "group.NNN" whose value is "ID SID NAME" ("-" for an unknown
// ID or SID; the name, last, may hold blanks). pam_tslauth_permit.so reads the same file.
#include <authentication/active_directory_store.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <authentication/login_permissions.h>
#include <authentication/worker_calls.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "change_record.h"
#include "file_content.h"
#include "files_lock.h"
#include "paths.h"
#include "permit_entry.h"
#include "store_switch.h"

namespace ostrel {
namespace authentication {

namespace {

char const* const kFile = paths::kLoginPermissionsFile;
// The module reads at most 64 KiB less one byte: 100 names of 256 bytes with their SIDs stay
// well within, and a longer text is refused before anything is written.
std::size_t const kMostAccounts = 100;
std::size_t const kLongestName = 256;
std::size_t const kLongestText = 65535;

char const* KindWord(LoginPermissions::Kind kind) {
    return kind == LoginPermissions::kGroup ? "group" : "user";
}

bool Refused(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

void CheckName(std::string const& name) {
    if (name.empty() || name.size() > kLongestName || name.front() == ' ' || name.back() == ' ') {
        throw InvalidAccountNameException();
    }
    for (char c : name) {
        if (Refused(c)) throw InvalidAccountNameException();
    }
}

// The host's number for the name through its name service, or -1.
long HostId(LoginPermissions::Kind kind, std::string const& name) {
    std::vector<char> buffer(16384);
    if (kind == LoginPermissions::kGroup) {
        struct group entry, *found = nullptr;
        if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr) {
            return -1;
        }
        return static_cast<long>(found->gr_gid);
    }
    struct passwd entry, *found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return -1;
    }
    return static_cast<long>(found->pw_uid);
}

// "ID SID NAME" back into an account; false for a value this library did not write.
bool ParseValue(std::string const& value, LoginPermissions::Account& account) {
    std::size_t const first = value.find(' ');
    std::size_t const second = first == std::string::npos ? first : value.find(' ', first + 1);
    if (second == std::string::npos || second + 1 >= value.size()) return false;
    std::string const id = value.substr(0, first);
    std::string const sid = value.substr(first + 1, second - first - 1);
    account.name = value.substr(second + 1);
    account.sid = sid == "-" ? std::string() : sid;
    if (id == "-") {
        account.id = -1;
        return true;
    }
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos || id.size() > 10) {
        return false;
    }
    account.id = std::stol(id);
    return true;
}

// The worker of LookupAccount: nothing it meets escapes it.
void LookupAccountInt(boost::shared_ptr<ActiveDirectoryProvider> provider,
                      boost::shared_ptr<RequestState> state, std::string name,
                      boost::shared_ptr<DirectoryAccount> result) {
    try {
        *result = provider->LookupAccount(name);
        state->Done(nullptr);
    } catch (Exception const& e) {
        state->Done(&e);
    } catch (std::exception const& e) {
        Exception wrapped(std::string("LookupAccount failed: ") + e.what());
        state->Done(&wrapped);
    } catch (...) {
        Exception wrapped("LookupAccount failed with an unknown error");
        state->Done(&wrapped);
    }
}

}  // namespace

DirectoryAccount ActiveDirectoryStore::LookupAccount(std::string const& name) const {
    boost::shared_ptr<RequestState> state = boost::make_shared<RequestState>();
    boost::shared_ptr<DirectoryAccount> result = boost::make_shared<DirectoryAccount>();
    TslauthThreadUtil::ScheduleThread(std::bind(LookupAccountInt, provider, state, name, result));
    state->WaitResult(timeout);
    return *result;
}

LoginPermissions::LoginPermissions() : everyone(true) {}

LoginPermissions LoginPermissions::Load() {
    LoginPermissions permissions;
    struct stat status;
    if (::stat(kFile, &status) != 0 && errno == ENOENT) return permissions;
    Configuration const file(kFile);
    auto const bad = [](std::string const& what) {
        return ConfigurationError(std::string("Unable to read '") + kFile + "': " + what, kFile);
    };
    std::string const& permit = file["permit"];
    if (permit != "all" && permit != "listed") throw bad("\"permit\" is neither all nor listed");
    permissions.everyone = permit == "all";
    for (auto const& entry : file) {
        if (entry.first == "permit") continue;
        Account account;
        if (entry.first.compare(0, 5, "user.") == 0) {
            account.kind = kUser;
        } else if (entry.first.compare(0, 6, "group.") == 0) {
            account.kind = kGroup;
        } else {
            throw bad("unknown key '" + entry.first + "'");
        }
        if (!ParseValue(entry.second, account)) {
            throw bad("the value of '" + entry.first + "' is not \"ID SID NAME\"");
        }
        if (!permissions.everyone) permissions.accounts.push_back(account);
    }
    return permissions;
}

LoginPermissions LoginPermissions::Only(ActiveDirectoryStore const& store, Kind kind,
                                        std::vector<std::string> const& names,
                                        std::vector<std::string>& warnings) {
    if (names.empty() || names.size() > kMostAccounts) throw InvalidAccountNameException();
    for (std::string const& name : names) CheckName(name);
    LoginPermissions permissions;
    permissions.everyone = false;
    for (std::string const& name : names) {
        Account account;
        account.kind = kind;
        account.name = name;
        try {
            DirectoryAccount const found = store.LookupAccount(name);
            if (found.isGroup != (kind == kGroup)) {
                throw UnknownAccountException("'" + found.name + "' is a " +
                                              (found.isGroup ? "group" : "user") +
                                              " in the directory, not a " + KindWord(kind));
            }
            CheckName(found.name);
            account.name = found.name;
            account.sid = found.sid;
            for (char c : account.sid) {
                if (c == ' ' || Refused(c)) throw InvalidAccountNameException();
            }
        } catch (NoSuchUserException const&) {
            throw UnknownAccountException(std::string("The directory has no ") + KindWord(kind) +
                                          " '" + name + "'");
        } catch (NoSuchGroupException const&) {
            throw UnknownAccountException(std::string("The directory has no ") + KindWord(kind) +
                                          " '" + name + "'");
        } catch (UnknownAccountException const&) {
            throw;
        } catch (InvalidAccountNameException const&) {
            throw;
        } catch (Exception const& e) {
            // A restriction stored unchecked can only keep users out, never let more in.
            warnings.push_back(std::string("the directory could not be asked about ") +
                               KindWord(kind) + " '" + name + "' (" + e.what() +
                               "): kept as given, matched by name only");
        }
        account.id = HostId(kind, account.name);
        bool duplicate = false;
        for (Account const& listed : permissions.accounts) {
            duplicate = duplicate || listed.name == account.name;
        }
        if (!duplicate) permissions.accounts.push_back(account);
    }
    return permissions;
}

std::string LoginPermissions::Text() const {
    std::map<std::string, std::string> entries;
    entries["permit"] = everyone ? "all" : "listed";
    std::size_t numbers[2] = {0, 0};
    for (Account const& account : accounts) {
        char key[32];
        std::snprintf(key, sizeof key, "%s.%03zu", KindWord(account.kind),
                      ++numbers[account.kind == kGroup]);
        entries[key] = (account.id < 0 ? std::string("-") : std::to_string(account.id)) + " " +
                       (account.sid.empty() ? std::string("-") : account.sid) + " " + account.name;
    }
    std::string text;
    for (auto const& entry : entries) text += entry.first + " = \"" + entry.second + "\"\n";
    return text;
}

LoginPermissions::Changes LoginPermissions::Save(ActiveDirectoryStore const& store) const {
    Changes changes;
    std::string const text = Text();
    if (text.size() >= kLongestText) {
        throw ConfigurationError(std::string("Unable to write '") + kFile +
                                     "': the list is longer than " +
                                     std::to_string(kLongestText - 1) + " bytes",
                                 kFile);
    }
    // Told to the caller through GetLastHostChanges, like every other change of the host.
    ChangeRecord record;
    FilesLock lock;
    WatchedFiles const watched{kFile, paths::kPAMFile};
    std::string current;
    int error = 0;
    ReadFailure const read = ReadFileContent(kFile, current, error);
    if (read != ReadFailure::None && error != ENOENT) {
        throw IOError(std::string("Cannot read '") + kFile + "': " + std::strerror(error));
    }
    if (read != ReadFailure::None || current != text) {
        ReplaceFile(kFile, text);
        // A new file is made owner-only; every process that checks a login must read it.
        if (read != ReadFailure::None && ::chmod(kFile, 0644) != 0) {
            throw FilePermissionError(std::strerror(errno));
        }
        changes.push_back(kFile);
    }
    if (AddPermitEntryWhileActive(store)) changes.push_back(paths::kPAMFile);
    return changes;
}

}  // namespace authentication
}  // namespace ostrel
