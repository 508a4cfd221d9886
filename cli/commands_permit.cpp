// permit: which directory users may log in to the host.
#include <authentication/authentication.h>

#include <iostream>
#include <memory>

#include "changes.h"
#include "commands.h"
#include "exit_codes.h"
#include "output.h"

namespace tslauth {

using namespace ostrel::authentication;

namespace {

// How long one name's lookup waits for the directory.
int const kLookupTimeout = 30;

std::string AccountText(LoginPermissions::Account const& account) {
    std::string text =
        (account.kind == LoginPermissions::kGroup ? "group " : "user  ") + account.name;
    std::string details = account.sid;
    if (account.id >= 0) {
        details += std::string(details.empty() ? "" : ", ") +
                   (account.kind == LoginPermissions::kGroup ? "GID " : "UID ") +
                   std::to_string(account.id);
    }
    return text + (details.empty() ? " (not checked with the directory)" : " (" + details + ")");
}

Json AccountsJson(LoginPermissions const& permissions, LoginPermissions::Kind kind) {
    Json out = Json::array();
    for (LoginPermissions::Account const& account : permissions.Accounts()) {
        if (account.kind != kind) continue;
        out.push_back({{"name", account.name},
                       {"sid", account.sid.empty() ? Json() : Json(account.sid)},
                       {"id", account.id < 0 ? Json() : Json(account.id)}});
    }
    return out;
}

}  // namespace

Json LoginPermissionsJson(LoginPermissions const& permissions) {
    return {{"permit", permissions.PermitsEveryone() ? "all" : "listed"},
            {"users", AccountsJson(permissions, LoginPermissions::kUser)},
            {"groups", AccountsJson(permissions, LoginPermissions::kGroup)}};
}

std::string LoginPermissionsText(LoginPermissions const& permissions) {
    if (permissions.PermitsEveryone()) return "every directory user\n";
    std::string text = permissions.Accounts().empty() ? "no directory user\n" : "only\n";
    for (LoginPermissions::Account const& account : permissions.Accounts()) {
        text += "  " + AccountText(account) + "\n";
    }
    return text;
}

int Permit(Arguments const& arguments) {
    bool const all = arguments.Flag("all"), users = arguments.Flag("users"),
               groups = arguments.Flag("groups"), json = arguments.Flag("json");
    if (all + users + groups > 1) throw UsageError("permit takes one of --all, --users, --groups");
    if (!users && !groups) {
        arguments.ExpectPositionals(0, 0);
    } else if (arguments.Positionals().empty()) {
        throw UsageError(std::string("permit --") + (users ? "users" : "groups") +
                         " needs at least one name");
    }

    if (!all && !users && !groups) {
        LoginPermissions const current = LoginPermissions::Load();
        if (json) {
            std::cout << JsonText(LoginPermissionsJson(current)) << "\n";
        } else {
            std::cout << "May log in: " << LoginPermissionsText(current);
        }
        return kSuccess;
    }

    ActiveDirectoryStore const store(kLookupTimeout);
    std::vector<std::string> warnings;
    LoginPermissions const wanted =
        all ? LoginPermissions()
            : LoginPermissions::Only(store,
                                     users ? LoginPermissions::kUser : LoginPermissions::kGroup,
                                     arguments.Positionals(), warnings);
    for (std::string const& warning : warnings)
        std::cerr << "tslauth: warning: " << warning << "\n";
    std::vector<std::string> const changes = RunChangingHost(json, [&] { wanted.Save(store); });
    if (json) {
        std::cout << JsonText({{"login_permissions", LoginPermissionsJson(wanted)},
                               {"warnings", warnings},
                               {"changes", ChangesJson(changes)}})
                  << "\n";
    } else {
        std::cout << "May log in: " << LoginPermissionsText(wanted);
    }
    // A lookup that timed out may still be inside the plug-in: nothing is unloaded under it.
    ExitNow(kSuccess);
}

}  // namespace tslauth
