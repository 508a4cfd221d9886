#ifndef TOOLS_TSLAUTH_COMMANDS_H
#define TOOLS_TSLAUTH_COMMANDS_H

#include <string>
#include <vector>

#include "arguments.h"
#include "output.h"

namespace ostrel {
namespace authentication {
class LoginPermissions;
}
}  // namespace ostrel

namespace tslauth {

// One subcommand: its name, the synopsis and text of its --help, its options, and what it
// does. `run` returns the exit status or throws.
struct Command {
    std::string name;
    std::string synopsis;
    std::string description;
    OptionRules options;
    int (*run)(Arguments const& arguments);
};

// Every subcommand, in the order the help lists them.
std::vector<Command> const& Commands();

int Stores(Arguments const& arguments);
int Activate(Arguments const& arguments);
int Status(Arguments const& arguments);
int Join(Arguments const& arguments);
int Leave(Arguments const& arguments);
int DomainControllers(Arguments const& arguments);
int ProxyDomain(Arguments const& arguments);
int ImportCertificate(Arguments const& arguments);
int JoinProxy(Arguments const& arguments);
int Preflight(Arguments const& arguments);
int PamShow(Arguments const& arguments);
int PamPreview(Arguments const& arguments);
int Permit(Arguments const& arguments);

// Who may log in, as permit and status show it: a JSON object, or text after "May log in: ".
Json LoginPermissionsJson(ostrel::authentication::LoginPermissions const& permissions);
std::string LoginPermissionsText(ostrel::authentication::LoginPermissions const& permissions);

// Writes both standard streams out and ends the process at once: after a time-out a worker
// thread may still be inside the plug-in, which must not be unloaded under it.
[[noreturn]] void ExitNow(int status);

}  // namespace tslauth

#endif
