// tslauth: the command-line front end over libtslauth. Each subcommand is a thin layer over
// one or a few calls of the public classes; errors are the library's own messages.
#include <iostream>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "exit_codes.h"

namespace tslauth {

namespace {

OptionRules Options(std::set<std::string> flags, std::set<std::string> valued = {}) {
    flags.insert("help");
    return OptionRules{flags, valued};
}

char const kExitCodes[] =
    "Exit status:\n"
    "  0   success\n"
    "  1   preflight: at least one check failed\n"
    "  2   usage error: unknown command or option, missing or extra argument\n"
    "  3   invalid input: the library refused a name, address, credential or file\n"
    "  4   directory failure: the directory or its plug-in reported an error\n"
    "  5   time-out: the directory did not answer in time (status: cached answers shown)\n"
    "  6   I/O error: a file is missing or could not be read or written\n"
    "  70  internal error\n";

char const kPasswordNote[] =
    "The password is read from --password-file FILE (its first line), else from a prompt\n"
    "without echo when standard input is a terminal, else from the first line of standard\n"
    "input. It is never taken from the command line.\n";

int Help(Arguments const&);

}  // namespace

std::vector<Command> const& Commands() {
    static std::vector<Command> const commands = {
        {"stores", "stores [--json]",
         "Lists the registered authentication stores; the active one is marked '*'.\n",
         Options({"json"}), Stores},
        {"activate", "activate NAME",
         "Makes the store NAME (\"None\" or \"Active Directory\") the active one. Activating\n"
         "\"Active Directory\" adds its PAM module to /etc/pam.d/system-auth-generic;\n"
         "activating \"None\" takes it out again.\n",
         Options({}), Activate},
        {"status", "status [--json] [--timeout SECONDS]",
         "Shows the active store, the joined domain, the preferred domain controllers, the\n"
         "machine account, the trust state (with its name) and the trusted domains. The\n"
         "membership queries wait at the same time, together at most SECONDS (default 60)\n"
         "for the directory. A query that gets no answer in time, or fails, shows what this\n"
         "process had cached and says so (or its error); the exit status is then 5 after a\n"
         "time-out, else 4 after a failure.\n",
         Options({"json"}, {"timeout"}), Status},
        {"join",
         "join DOMAIN[/CONTAINER] --user NAME [--password-file FILE] "
         "[--skip-hostname-check] [--json]",
         std::string("Joins the host to DOMAIN with an account allowed to add computers; the\n"
                     "computer account goes into CONTAINER, or the domain's default. The\n"
                     "host-name checks (see preflight) are skipped with --skip-hostname-check.\n"
                     "Each warning of the checks and each change they make to /etc/hosts and\n"
                     "/etc/resolv.conf is printed on standard error (and with --json in the\n"
                     "output). A wrong password is not tried again; a transient failure is, up\n"
                     "to 8 attempts 30 s apart. On a terminal an elapsed-time line shows while\n"
                     "the join runs, and which attempt comes next while it waits.\n") +
             kPasswordNote,
         Options({"skip-hostname-check", "json"}, {"user", "password-file"}), Join},
        {"leave", "leave [--user NAME [--password-file FILE]]",
         std::string("Leaves the domain. With --user the computer account is deleted too, with\n"
                     "that account's password.\n") +
             kPasswordNote,
         Options({}, {"user", "password-file"}), Leave},
        {"proxy-domain", "proxy-domain SERVER [--json]",
         "Prints the DNS domain that the authentication proxy at SERVER serves (asked\n"
         "without certificate verification). SERVER: an IPv4 address or a host name, either\n"
         "perhaps with :9443.\n",
         Options({"json"}), ProxyDomain},
        {"import-certificate", "import-certificate FILE SERVER",
         "Records the SHA-1 thumbprint of the first PEM certificate in FILE for the\n"
         "authentication proxy at SERVER (for each IPv4 address of a host name).\n",
         Options({}), ImportCertificate},
        {"join-proxy", "join-proxy SERVER [--container C] [--skip-hostname-check] [--json]",
         "Joins the domain through the authentication proxy at SERVER: the proxy creates\n"
         "the computer account (in container C, or its default) and the host joins with it.\n"
         "The proxy's certificate is verified when\n"
         "UserVars.ActiveDirectoryVerifyQAPCertificate is 1 (when 0, a warning says so).\n"
         "Warnings and changes to the host's files are shown as for join.\n",
         Options({"skip-hostname-check", "json"}, {"container"}), JoinProxy},
        {"preflight", "preflight DOMAIN [--json]",
         "Runs the checks a join to DOMAIN would make, changing nothing: the host name\n"
         "resolves, its short name matches the resolved name and is not reserved, the fully\n"
         "qualified name is the expected one, the domain resolves, and the short name fits\n"
         "the 15 characters of a computer account name. Each check prints pass or FAIL, and\n"
         "a failure a hint on what to fix. The exit status is 1 when a check fails.\n",
         Options({"json"}), Preflight},
        {"pam show", "pam show [--json]",
         "Prints the policy of /etc/pam.d/system-auth-generic as the library reads it.\n",
         Options({"json"}), PamShow},
        {"pam preview", "pam preview [--json]",
         "Shows, as a unified diff, what activating \"Active Directory\" would change in\n"
         "/etc/pam.d/system-auth-generic. Nothing is written.\n",
         Options({"json"}), PamPreview},
        {"help", "help [COMMAND]", "Shows the help of tslauth or of one command.\n", Options({}),
         Help},
    };
    return commands;
}

namespace {

void Overview(std::ostream& out) {
    out << "Usage: tslauth COMMAND [ARGUMENTS]\n\n"
           "Drives the host's remote authentication: the active store, Active Directory\n"
           "membership, the authentication proxy and the PAM configuration.\n\nCommands:\n";
    for (Command const& command : Commands()) out << "  tslauth " << command.synopsis << "\n";
    out << "\n'tslauth COMMAND --help' describes one command. Queries take --json for\n"
           "scripts. Errors go to standard error as the library reports them.\n\n"
        << kExitCodes;
}

Command const* Find(std::string const& name) {
    for (Command const& command : Commands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

void CommandHelp(Command const& command) {
    std::cout << "Usage: tslauth " << command.synopsis << "\n\n"
              << command.description << "\n"
              << kExitCodes;
}

int Help(Arguments const& arguments) {
    arguments.ExpectPositionals(0, 2);
    if (arguments.Positionals().empty()) {
        Overview(std::cout);
        return kSuccess;
    }
    std::string name = arguments.Positionals()[0];
    if (arguments.Positionals().size() == 2) name += " " + arguments.Positionals()[1];
    Command const* command = Find(name);
    if (command == nullptr) throw UsageError("unknown command '" + name + "'");
    CommandHelp(*command);
    return kSuccess;
}

int Run(std::vector<std::string> words) {
    if (words.empty()) throw UsageError("no command given");
    if (words[0] == "--help" || words[0] == "-h") words[0] = "help";
    std::string name = words[0];
    std::size_t taken = 1;
    if (name == "pam") {
        if (words.size() < 2 || words[1] == "--help") {
            std::cout << "Usage: tslauth pam show [--json]\n"
                         "       tslauth pam preview [--json]\n";
            return words.size() < 2 ? kUsage : kSuccess;
        }
        name += " " + words[1];
        taken = 2;
    }
    Command const* command = Find(name);
    if (command == nullptr) throw UsageError("unknown command '" + name + "'");
    Arguments const arguments(std::vector<std::string>(words.begin() + taken, words.end()),
                              command->options);
    if (arguments.Flag("help")) {
        CommandHelp(*command);
        return kSuccess;
    }
    return command->run(arguments);
}

}  // namespace

}  // namespace tslauth

int main(int argc, char** argv) {
    try {
        return tslauth::Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (tslauth::UsageError const& e) {
        std::cerr << "tslauth: " << e.what() << "\n";
        std::cerr << "Try 'tslauth --help'.\n";
        return tslauth::kUsage;
    } catch (std::exception const& e) {
        std::cerr << "tslauth: " << tslauth::Describe(e) << "\n";
        return tslauth::ExitCodeFor(e);
    }
}
